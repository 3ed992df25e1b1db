// A winelib program's plain Win32 device calls, through the bridge, against a q407 machine
// started on a socket of its own: enumeration, the version query, handles of both kinds, and the
// device changes sent to its window.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/wine/wine_session.h"

namespace q407::test {
namespace {

using namespace std::chrono_literals;

const char* const kBridgeProgram = Q407_WINE_PROGRAM_device_bridge_program;
constexpr Timeout kPatience{60000};

class DeviceBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) GTEST_SKIP() << wine_.UnavailableReason();
        dir_ = std::string(Q407_BRIDGE_TEST_DIR) + "/run-" + std::to_string(getpid());
        // A socket's path has room for 107 bytes.
        if (dir_.size() > 90) dir_ = "/tmp/q407-bridge-" + std::to_string(getpid());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        socket_ = dir_ + "/m.sock";
    }

    void TearDown() override {
        StopMachine();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    void StartMachine() {
        machine_ =
            wine_.StartNative({Q407_PROGRAM, "machine", "--socket", socket_, "--settings",
                               dir_ + "/registry.txt", "--log", dir_ + "/trace.log", "--json"});
        ASSERT_TRUE(machine_);
        std::optional<std::string> started = machine_->WaitForLine("{", kPatience);
        ASSERT_TRUE(started) << machine_->ErrorText();
        ASSERT_NE(started->find("\"started\""), std::string::npos) << *started;
    }

    // Stops the machine as a person would (SIGINT); its exit code.
    std::optional<int> StopMachine() {
        if (!machine_) return std::nullopt;
        machine_->Signal(SIGINT);
        std::optional<int> code = machine_->WaitForExit(kPatience);
        machine_.reset();
        return code;
    }

    // q407 device --machine SOCKET ARGS: true when it succeeded.
    bool Device(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {Q407_PROGRAM, "device", "--machine", socket_};
        argv.insert(argv.end(), args.begin(), args.end());
        std::optional<int> code = RunBounded(argv, {}, dir_ + "/device.out", kPatience);
        return code == 0;
    }

    std::unique_ptr<WineProcess> StartProgram() {
        std::unique_ptr<WineProcess> program =
            wine_.Start(kBridgeProgram, {}, {"Q407_MACHINE=" + socket_});
        if (program && !program->WaitForReady()) {
            ADD_FAILURE() << "no ready line; " << program->ErrorText();
            return nullptr;
        }
        return program;
    }

    // Sends a command; the answer line starting with prefix.
    static std::string Ask(WineProcess& program, const std::string& command,
                           const std::string& prefix) {
        if (!program.Send(command)) return "(program gone) " + program.ErrorText();
        return program.WaitForLine(prefix, kPatience)
            .value_or("(no answer) " + program.ErrorText());
    }

    static int Count(const WineProcess& program, const std::string& prefix) {
        int count = 0;
        for (const std::string& line : program.Lines())
            if (line.rfind(prefix, 0) == 0) ++count;
        return count;
    }

    WineSession& wine_ = WineSession::Shared();
    std::string dir_;
    std::string socket_;
    std::unique_ptr<WineProcess> machine_;
};

TEST_F(DeviceBridgeTest, EnumeratesOpensAndAsksTheInterfaceVersion) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    std::unique_ptr<WineProcess> program = StartProgram();
    ASSERT_TRUE(program);

    EXPECT_EQ(Ask(*program, "enumerate", "paths"), "paths 1");
    const std::string path = program->WaitForLine("path ", kPatience).value_or("");
    EXPECT_EQ(path.rfind("path \\\\?\\", 0), 0u) << path;

    // The version fields were preset to 0xFF: the answer is the driver's own.
    EXPECT_EQ(Ask(*program, "version", "version"), "version 1 0 returned 128");

    // Wine's own handles still close through the same CloseHandle; a device handle closes once
    // and is dead afterwards.
    EXPECT_EQ(Ask(*program, "handles", "event"), "event 1 again 0 6");
    EXPECT_EQ(program->WaitForLine("device", kPatience), "device 1 again 0 6 control 0 6");
    // Ordinary files are Wine's.
    EXPECT_EQ(Ask(*program, "files", "file"), "file 1 3 1 1");

    EXPECT_TRUE(program->Send("quit"));
    EXPECT_EQ(program->WaitForExit(kPatience), 0);
    EXPECT_EQ(Count(*program, "error"), 0) << program->ErrorText();
    EXPECT_EQ(StopMachine(), 0);
}

TEST_F(DeviceBridgeTest, DeviceChangesReachTheWindowOnItsOwnThread) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    std::unique_ptr<WineProcess> program = StartProgram();
    ASSERT_TRUE(program);
    ASSERT_EQ(Ask(*program, "enumerate", "paths"), "paths 1");
    const std::string path = program->WaitForLine("path ", kPatience).value_or("path ?").substr(5);

    ASSERT_EQ(Ask(*program, "register", "registered"), "registered 1");
    ASSERT_TRUE(Device({"unplug", "0"}));
    EXPECT_EQ(program->WaitForLine("removal", kPatience), "removal " + path + " gui class");
    EXPECT_EQ(Ask(*program, "enumerate", "paths"), "paths 0");
    ASSERT_TRUE(Device({"plug", "0"}));
    EXPECT_EQ(program->WaitForLine("arrival", kPatience), "arrival " + path + " gui class");
    EXPECT_EQ(Ask(*program, "version", "version"), "version 1 0 returned 128");

    // After unregistering, changes no longer come; a second unregister is refused.
    EXPECT_EQ(Ask(*program, "unregister", "unregistered"), "unregistered 1 again 0 6");
    ASSERT_TRUE(Device({"unplug", "0"}));
    EXPECT_EQ(Ask(*program, "enumerate", "paths"), "paths 0");
    ASSERT_TRUE(Device({"plug", "0"}));
    EXPECT_EQ(Ask(*program, "enumerate", "paths"), "paths 1");
    EXPECT_EQ(Count(*program, "removal"), 1);
    EXPECT_EQ(Count(*program, "arrival"), 1);

    EXPECT_TRUE(program->Send("quit"));
    EXPECT_EQ(program->WaitForExit(kPatience), 0);
    EXPECT_EQ(Count(*program, "error"), 0) << program->ErrorText();
}

TEST_F(DeviceBridgeTest, AMachineThatGoesAwayLeavesTheProgramWorking) {
    // No machine yet: nothing is present and nothing opens.
    std::unique_ptr<WineProcess> program = StartProgram();
    ASSERT_TRUE(program);
    EXPECT_EQ(Ask(*program, "enumerate", "paths"), "paths 0");
    EXPECT_EQ(Ask(*program, "version", "error"), "error open 2");

    // A machine that comes later is found; registered notifications end with it.
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    EXPECT_EQ(Ask(*program, "enumerate", "paths"), "paths 1");
    ASSERT_EQ(Ask(*program, "register", "registered"), "registered 1");
    EXPECT_EQ(StopMachine(), 0);
    EXPECT_EQ(Ask(*program, "enumerate", "paths"), "paths 0");

    // And one started again is found again.
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    EXPECT_EQ(Ask(*program, "version", "version"), "version 1 0 returned 128");

    EXPECT_TRUE(program->Send("quit"));
    EXPECT_EQ(program->WaitForExit(kPatience), 0);
}

}  // namespace
}  // namespace q407::test
