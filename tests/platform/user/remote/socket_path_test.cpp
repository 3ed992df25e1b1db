#include "platform/user/remote/socket_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace q407::remote {
namespace {

// Sets an environment variable for the scope and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SocketPath, ChoosesTheOverrideThenTheRuntimeFolderThenTmp) {
    const std::string tmp = "/tmp/q407-" + std::to_string(getuid()) + "/machine.sock";
    {
        ScopedEnv machine("Q407_MACHINE", "/somewhere/m.sock");
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/tmp");
        EXPECT_EQ(DefaultMachineSocket(), "/somewhere/m.sock");
    }
    ScopedEnv machine("Q407_MACHINE", "");
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/tmp");
        EXPECT_EQ(DefaultMachineSocket(), "/tmp/q407/machine.sock");
    }
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/no/such/folder/here");
        EXPECT_EQ(DefaultMachineSocket(), tmp);
    }
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(DefaultMachineSocket(), tmp);
    }
}

}  // namespace
}  // namespace q407::remote
