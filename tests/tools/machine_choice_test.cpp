// Which machine a client command uses: the running one on --machine or the default socket, else
// a private one; and what is refused on the way.
#include "tools/machine_choice.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "sim/service/audio_handlers.h"
#include "sim/service/machine_server.h"
#include "tools/info_command.h"
#include "tools/mixer_command.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

using Command = int (*)(int, char**, std::ostream&, std::ostream&);

int RunCommand(Command command, std::vector<std::string> args, std::string* out, std::string* err) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream o, e;
    const int rc = command(static_cast<int>(argv.size()), argv.data(), o, e);
    *out = o.str();
    *err = e.str();
    return rc;
}

std::string SocketPath(const std::string& what) {
    return testing::TempDir() + what + "-" + std::to_string(getpid()) + ".sock";
}

// The default socket for the scope.
class DefaultSocket {
  public:
    explicit DefaultSocket(const std::string& path) { setenv("Q407_MACHINE", path.c_str(), 1); }
    ~DefaultSocket() { unsetenv("Q407_MACHINE"); }
};

TEST(MachineChoiceTest, WithoutARunningMachineTheCommandBootsItsOwn) {
    DefaultSocket none(SocketPath("nobody"));
    std::ostringstream err;
    MachineChoice choice;
    EXPECT_FALSE(choice.Choose({}, "q407 info", {}, true, err).has_value());
    EXPECT_FALSE(choice.Linked());
    EXPECT_EQ(choice.Describe(), "a private machine");
    EXPECT_EQ(err.str(), "");
}

TEST(MachineChoiceTest, AMachineAskedForMustAnswerAndPrivateOptionsAreRefused) {
    const std::string absent = SocketPath("absent");
    std::ostringstream err;
    MachineChoice choice;
    EXPECT_EQ(choice.Choose({absent, false}, "q407 info", {}, true, err), 1);
    EXPECT_NE(err.str().find("q407 info: no machine on " + absent), std::string::npos) << err.str();
    EXPECT_FALSE(choice.Linked());

    std::ostringstream refused;
    EXPECT_EQ(choice.Choose({absent, false}, "q407 mixer", {"--realtime"}, true, refused), 2);
    EXPECT_NE(refused.str().find("--realtime needs a private machine"), std::string::npos)
        << refused.str();

    // The commands say the same with their own exit statuses.
    std::string out, message;
    EXPECT_EQ(RunCommand(InfoCommand, {"--machine", absent}, &out, &message), 1);
    EXPECT_NE(message.find("no machine on " + absent), std::string::npos) << message;
    EXPECT_EQ(RunCommand(MixerCommand, {"--machine", absent, "--realtime"}, &out, &message), 2);
    EXPECT_NE(message.find("--realtime"), std::string::npos) << message;
    EXPECT_EQ(RunCommand(MixerCommand, {"--machine", absent, "--private"}, &out, &message), 2);
}

TEST(MachineChoiceTest, ARunningMachineIsUsedUnlessTheCommandNeedsItsOwn) {
    WdmMachine machine;
    WdmMachineOptions options;
    options.realTime = true;
    std::string error;
    ASSERT_TRUE(machine.Boot(options, &error)) << error;
    const std::string socket = SocketPath("running");
    service::MachineServer server({socket});
    service::AddAudioHandlers(server.Handlers());
    ASSERT_TRUE(server.Start(&error)) << error;
    DefaultSocket running(socket);

    std::ostringstream err;
    {
        MachineChoice choice;
        EXPECT_FALSE(choice.Choose({}, "q407 mixer", {}, true, err).has_value());
        EXPECT_TRUE(choice.Linked());
        EXPECT_EQ(choice.Describe(), "the running machine on " + socket);
    }
    {
        MachineChoice choice;  // an option only a private machine serves
        EXPECT_FALSE(choice.Choose({}, "q407 mixer", {"--realtime"}, true, err).has_value());
        EXPECT_FALSE(choice.Linked());
    }
    {
        MachineChoice choice;  // a command that keeps its own machine unless told
        EXPECT_FALSE(choice.Choose({}, "q407 demo", {}, false, err).has_value());
        EXPECT_FALSE(choice.Linked());
        MachineChoice forced;
        EXPECT_FALSE(forced.Choose({"", true}, "q407 mixer", {}, true, err).has_value());
        EXPECT_FALSE(forced.Linked());
    }
    EXPECT_EQ(err.str(), "");

    // The mixer command lists the running machine's mixers and says which machine it used.
    std::string out, message;
    ASSERT_EQ(RunCommand(MixerCommand, {"--json"}, &out, &message), 0) << message;
    const nlohmann::json report = nlohmann::json::parse(out);
    EXPECT_EQ(report["machine"], "the running machine on " + socket);
    EXPECT_FALSE(report["mixers"].empty());
    EXPECT_TRUE(report["passed"].get<bool>());

    // q407 info reads the device from this program's thread through the link.
    ASSERT_EQ(RunCommand(InfoCommand, {"--json"}, &out, &message), 0) << message;
    const nlohmann::json info = nlohmann::json::parse(out);
    EXPECT_EQ(info["machine"], "the running machine on " + socket);
    EXPECT_EQ(info["outputs"], 8);
    EXPECT_EQ(info["inputs"], 16);
}

}  // namespace
}  // namespace q407::tools
