// Where the machine listens: its socket private to the user, one machine per socket, a socket
// left by a machine that died replaced, and nothing left behind when the machine stops.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "sim/service/machine_server.h"
#include "tests/sim/service/raw_client.h"

namespace q407::service::testing {
namespace {

class ServerBindingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char directory[] = "/tmp/q407-binding-XXXXXX";
        ASSERT_NE(::mkdtemp(directory), nullptr);
        root_ = directory;
    }
    void TearDown() override {
        ::unlink((root_ + "/run/q407/machine.sock").c_str());
        ::rmdir((root_ + "/run/q407").c_str());
        ::rmdir((root_ + "/run").c_str());
        ::unlink((root_ + "/machine.sock").c_str());
        ::rmdir(root_.c_str());
    }

    static mode_t Mode(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    static bool Exists(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }

    std::string root_;
};

TEST_F(ServerBindingTest, SocketIsPrivateAndOnlyOneMachineListensOnIt) {
    const std::string path = root_ + "/run/q407/machine.sock";
    MachineServer first(MachineServerOptions{path});
    std::string error;
    ASSERT_TRUE(first.Start(&error)) << error;
    EXPECT_EQ(Mode(root_ + "/run/q407"), 0700u);
    EXPECT_EQ(Mode(path), 0600u);

    MachineServer second(MachineServerOptions{path});
    EXPECT_FALSE(second.Start(&error));
    EXPECT_EQ(error, "a machine is already running on " + path);
    // The refused machine leaves the running one's socket alone.
    second.Stop();
    EXPECT_TRUE(Exists(path));
    RawClient client(path);
    EXPECT_TRUE(client.Connected());
    client.Disconnect();

    first.Stop();
    EXPECT_FALSE(Exists(path));
    first.Stop();  // again: nothing to do
    EXPECT_EQ(first.ConnectionCount(), 0u);
}

TEST_F(ServerBindingTest, StaleSocketIsReplacedAndOtherFilesAreNot) {
    const std::string path = root_ + "/machine.sock";
    {  // A machine that died: its socket file stays, nobody listens.
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(s);
    }
    ASSERT_TRUE(Exists(path));
    {
        MachineServer server(MachineServerOptions{path});
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        RawClient client(path);
        EXPECT_TRUE(client.Connected());
    }
    EXPECT_FALSE(Exists(path));

    std::ofstream(path) << "not a socket";
    MachineServer server(MachineServerOptions{path});
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_EQ(error, path + " exists and is not a socket");
    EXPECT_TRUE(Exists(path));

    MachineServer tooLong(MachineServerOptions{root_ + "/" + std::string(200, 'x')});
    EXPECT_FALSE(tooLong.Start(&error));
}

}  // namespace
}  // namespace q407::service::testing
