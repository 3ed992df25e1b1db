// Starting the project's programs by their Windows names as separate Linux processes.
#include "platform/user/program_launcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace q407::win32::bench;

namespace {

class PanelCommandVariable : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* old = std::getenv("Q407_PANEL_COMMAND")) saved_ = old;
        dir_ =
            std::filesystem::temp_directory_path() / ("q407-launcher-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        if (saved_.empty())
            unsetenv("Q407_PANEL_COMMAND");
        else
            setenv("Q407_PANEL_COMMAND", saved_.c_str(), 1);
        std::filesystem::remove_all(dir_);
    }
    std::string saved_;
    std::filesystem::path dir_;
};

}  // namespace

TEST_F(PanelCommandVariable, ThePanelStartsFromTheConfiguredCommandWithoutBeingWaitedFor) {
    const std::filesystem::path marker = dir_ / "started";
    // The program outlives the call: it is still running when the launcher returns.
    const std::string command = "sleep 0.5; touch '" + marker.string() + "'";
    setenv("Q407_PANEL_COMMAND", command.c_str(), 1);
    EXPECT_EQ(KnownProgramCommand(L"C:\\Program Files\\Q407\\q407PAN.EXE"),
              (std::vector<std::string>{"/bin/sh", "-c", command}));
    ASSERT_TRUE(StartKnownProgram(L"Q407Pan.exe"));
    EXPECT_FALSE(std::filesystem::exists(marker));
    for (int i = 0; i < 1000 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST_F(PanelCommandVariable, UnknownProgramsAndAMissingToolStartNothing) {
    setenv("Q407_PANEL_COMMAND", "true", 1);
    EXPECT_TRUE(KnownProgramCommand(L"notepad.exe").empty());
    EXPECT_FALSE(StartKnownProgram(L"notepad.exe"));
    EXPECT_TRUE(KnownProgramCommand(L"Q407Pan.exe.bak").empty());
    // Without the variable: the q407 tool next to this executable, which a test binary lacks.
    unsetenv("Q407_PANEL_COMMAND");
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    if (std::filesystem::exists(self.parent_path() / "q407")) GTEST_SKIP();
    EXPECT_TRUE(KnownProgramCommand(L"Q407Pan.exe").empty());
    EXPECT_FALSE(StartKnownProgram(L"Q407Pan.exe"));
}
