// What the control panel program's tests share: a machine with a virtual device on a socket of
// the test's own, the panel program and a probe program under one Wine session.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wine/wine_session.h"

namespace q407::test {

inline const char* const kPanelProgram = Q407_WINE_PROGRAM_Q407Pan;
inline const char* const kProbeProgram = Q407_WINE_PROGRAM_panel_probe_program;
inline constexpr Timeout kPatience{60000};
inline constexpr const char* kAttachedTitle = "ZEL Q407 LX Control Panel - Ver 1.4";

class PanelProgramFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) GTEST_SKIP() << wine_.UnavailableReason();
        dir_ = std::string(Q407_PANEL_TEST_DIR) + "/run-" + std::to_string(getpid());
        // A socket's path has room for 107 bytes.
        if (dir_.size() > 90) dir_ = "/tmp/q407-panel-" + std::to_string(getpid());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        socket_ = dir_ + "/m.sock";
    }

    void TearDown() override {
        if (probe_) {
            probe_->Send("quit");
            probe_->WaitForExit(kPatience);
        }
        if (panel_) panel_->Kill();
        wine_.KillWine();
        if (machine_) {
            machine_->Signal(SIGINT);
            machine_->WaitForExit(kPatience);
        }
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

    bool Device(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {Q407_PROGRAM, "device", "--machine", socket_};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunBounded(argv, {}, dir_ + "/device.out", kPatience) == 0;
    }

    std::unique_ptr<WineProcess> StartPanel() {
        return wine_.Start(kPanelProgram, {}, {"Q407_MACHINE=" + socket_});
    }

    void StartProbe() {
        probe_ = wine_.Start(kProbeProgram, {}, {"Q407_MACHINE=" + socket_});
        ASSERT_TRUE(probe_);
        ASSERT_TRUE(probe_->WaitForLine("probe ready", kPatience));
    }

    std::string Ask(const std::string& command, const std::string& prefix) {
        if (!probe_->Send(command)) return "(probe gone)";
        return probe_->WaitForLine(prefix, kPatience).value_or("(no answer)");
    }

    // The window rectangle of a "panel visible V topmost T rect X Y W H ..." answer.
    static std::optional<ScreenRect> RectOf(const std::string& answer) {
        std::istringstream in(answer);
        std::string word;
        while (in >> word && word != "rect") {
        }
        ScreenRect rect{};
        if (!(in >> rect.x >> rect.y >> rect.width >> rect.height)) return std::nullopt;
        return rect;
    }

    WineSession& wine_ = WineSession::Shared();
    std::string dir_;
    std::string socket_;
    std::unique_ptr<WineProcess> machine_;
    std::unique_ptr<WineProcess> panel_;
    std::unique_ptr<WineProcess> probe_;
};

}  // namespace q407::test

namespace q407::test {

// The panel program with Wine's trace channels (a WINEDEBUG value) on its standard error: with
// "warn+debugstr" what the program writes with OutputDebugString.
inline std::unique_ptr<WineProcess> StartTracedPanel(WineSession& wine, const std::string& socket,
                                                     const std::string& channels) {
    return wine.Start(kPanelProgram, {}, {"Q407_MACHINE=" + socket, "WINEDEBUG=" + channels});
}

}  // namespace q407::test
