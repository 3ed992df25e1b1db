// Runs winelib programs for a test the way a person would see them: on a private Xvfb screen,
// in a Wine prefix of the test's own, driven with the mouse (xdotool) and looked at through
// screenshots (imagemagick's import).
//
// One session per test process (WineSession::Shared()), started on first use and reused by every
// test in it: Xvfb on a free display (1024x768x24), and a prefix copied from the build dir's
// template (hard links, with real copies of the registry files Wine rewrites), whose virtual
// desktop covers the whole screen, so screen coordinates are the same for Wine and for X. The
// session ends at process exit: wineserver -k, then Xvfb.
//
// Programs talk to the test in lines on their standard input and output. A program under test
// prints a ready line once its window is shown, giving the screen rectangle of its client area:
//     ready NAME X Y WIDTH HEIGHT
// so a test turns client coordinates into screen ones (WineProcess::WaitForReady).
//
// Every wait is bounded. A program that outlives its timeout in WaitForExit is killed (its
// process group); a process that remains is ended with wineserver -k. A test never hangs.
//
// Tests that use it skip when Xvfb, wine64 or the template prefix are missing:
//     WineSession& wine = WineSession::Shared();
//     if (!wine.Available()) GTEST_SKIP() << wine.UnavailableReason();
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace q407::test {

struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The rectangle of a ready line ("ready NAME X Y W H"); nothing for another line or a bad one.
std::optional<ScreenRect> ParseReadyLine(std::string_view line);

// Width and height recorded in a PNG file's header; nothing when it is not a PNG file.
std::optional<std::pair<int, int>> PngSize(const std::string& path);

using Timeout = std::chrono::milliseconds;
inline constexpr Timeout kDefaultTimeout{20000};

// One program the session started, under Wine or beside it.
class WineProcess {
  public:
    WineProcess(const WineProcess&) = delete;
    WineProcess& operator=(const WineProcess&) = delete;
    // Kills the program if it still runs.
    ~WineProcess();

    // The next line of the program's output that starts with prefix (earlier lines that do not
    // are passed over, and kept in Lines()); nothing when the program ends or time runs out.
    std::optional<std::string> WaitForLine(std::string_view prefix,
                                           Timeout timeout = kDefaultTimeout);
    // The client rectangle of the program's ready line.
    std::optional<ScreenRect> WaitForReady(Timeout timeout = kDefaultTimeout);
    // Writes line and a line end to the program's standard input; false when it is gone.
    bool Send(std::string_view line);
    // Closes the program's standard input (it reads end of file).
    void CloseInput();

    // The program's exit code; nothing when it did not end in time (it is then killed) or was
    // ended by a signal.
    std::optional<int> WaitForExit(Timeout timeout = kDefaultTimeout);
    void Kill();
    // Sends a signal to the program alone (not its group).
    void Signal(int signal);
    bool Running();

    // Every line the program wrote so far, and what it wrote on standard error.
    const std::vector<std::string>& Lines() const { return lines_; }
    std::string ErrorText() const;
    pid_t Pid() const { return pid_; }

  private:
    friend class WineSession;
    WineProcess() = default;
    bool ReadMore(std::chrono::steady_clock::time_point deadline);
    void Reap(bool block, Timeout timeout);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string errorPath_;
    std::string pending_;
    std::vector<std::string> lines_;
    size_t consumed_ = 0;  // lines_ already handed out or passed over by WaitForLine
    bool exited_ = false;
    int status_ = 0;
};

class WineSession {
  public:
    // The process's session, started on first call.
    static WineSession& Shared();

    WineSession(const WineSession&) = delete;
    WineSession& operator=(const WineSession&) = delete;
    ~WineSession();

    bool Available() const { return reason_.empty(); }
    const std::string& UnavailableReason() const { return reason_; }

    // Starts program (a NAME.exe.so) with args; extra environment as NAME=VALUE strings. Nothing
    // when the session is unavailable or the process cannot start.
    std::unique_ptr<WineProcess> Start(const std::string& program,
                                       const std::vector<std::string>& args = {},
                                       const std::vector<std::string>& environment = {});

    // A host program beside the Wine ones (a machine, a command), with the same line protocol;
    // argv[0] is a path.
    std::unique_ptr<WineProcess> StartNative(const std::vector<std::string>& argv,
                                             const std::vector<std::string>& environment = {});

    // The mouse, in screen coordinates. Each call returns once xdotool has sent the events; the
    // program sees them shortly after, so wait for its answer.
    bool MoveTo(int x, int y);
    bool Press(int x, int y);
    bool Release(int x, int y);
    bool Click(int x, int y);
    // Press at the first point, move through the others, release at the last.
    bool Drag(const std::vector<std::pair<int, int>>& points);

    // The whole screen, or the part in rect, as a PNG file.
    bool Screenshot(const std::string& path, std::optional<ScreenRect> rect = std::nullopt);

    // The X display (":N") and the prefix of this session.
    const std::string& Display() const { return display_; }
    const std::string& Prefix() const { return prefix_; }

    // Ends every Wine process of the prefix (wineserver -k).
    void KillWine();

  private:
    WineSession();
    bool StartXvfb();
    bool CopyPrefix();
    bool RunXdotool(const std::vector<std::string>& commands);
    std::vector<std::string> Environment(const std::vector<std::string>& extra) const;
    std::unique_ptr<WineProcess> Spawn(const std::vector<std::string>& argv,
                                       const std::vector<std::string>& environment);

    std::string reason_;
    std::string display_;
    std::string runDir_;
    std::string prefix_;
    pid_t xvfb_ = -1;
    int started_ = 0;
};

// Runs argv with the environment given (NAME=VALUE) and stdout/stderr to outputPath (or
// /dev/null when empty); its exit code, or nothing when it did not end within timeout (it is then
// killed).
std::optional<int> RunBounded(const std::vector<std::string>& argv,
                              const std::vector<std::string>& environment,
                              const std::string& outputPath, Timeout timeout);

}  // namespace q407::test
