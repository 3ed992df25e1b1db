#include "tools/panel_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/bench_shell.h"
#include "platform/user/remote/client_link.h"
#include "sim/service/machine_server.h"
#include "tools/cli_parse.h"
#include "tools/device_command.h"
#include "tools/panel_meter_signal.h"
#include "tools/wine_prefix.h"

extern char** environ;

namespace q407::tools {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kMachineStartLimit{20000};
constexpr milliseconds kMachineStopLimit{20000};
constexpr milliseconds kToolLimit{20000};
constexpr milliseconds kXvfbLimit{10000};
// How long the schedule waits for the panel to connect to the machine before it counts anyway.
constexpr milliseconds kPanelReachLimit{30000};
constexpr milliseconds kClientLookInterval{200};
constexpr milliseconds kTemplateLimit{400000};
// The longest schedule accepted: a bound on every wait of a scheduled run.
constexpr double kMaxScheduleSeconds = 3600;
// The inputs' swelling tones: one swell takes this long on every one of the 16 inputs.
constexpr int kMeterSignalSeconds = 4;
constexpr int kDeviceInputs = 16;
constexpr uint32_t kMeterSignalRate = 44100;

// The panel program when --program is not given: $Q407_PANEL_PROGRAM, else the build's own.
std::string DefaultProgram() {
    const char* program = std::getenv("Q407_PANEL_PROGRAM");
    return program != nullptr && *program != '\0' ? program : Q407_PANEL_PROGRAM;
}

struct Options {
    std::string machine;
    std::string program = DefaultProgram();
    std::string screenshot;
    double after = 5;
    double unplugAfter = -1;
    double replugAfter = -1;
    std::string input = "levels";
    bool headless = false;
    bool json = false;
};

// A child process in a process group of its own, so that a terminal's Ctrl-C reaches only this
// command, which then stops the children in order.
class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Kill(); }

    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& outputPath, int deathSignal, int keepFd = -1) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            // Nothing but async-signal-safe calls from here on.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGPIPE, SIG_DFL);
            prctl(PR_SET_PDEATHSIG, deathSignal);
            if (getppid() != parent) _exit(127);
            setpgid(0, 0);
            const int in = open("/dev/null", O_RDONLY);
            const int output = open(outputPath.empty() ? "/dev/null" : outputPath.c_str(),
                                    O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (in >= 0) dup2(in, 0);
            if (output >= 0) {
                dup2(output, 1);
                dup2(output, 2);
            }
            if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
            execve(args[0], args.data(), envp.data());
            execvpe(args[0], args.data(), envp.data());
            _exit(127);
        }
        pid_ = pid;
        return true;
    }

    bool Running() {
        Reap(false);
        return pid_ > 0;
    }
    // The exit code once it ended (nothing while it runs or after a signal ended it).
    std::optional<int> ExitCode() const { return code_; }
    pid_t Pid() const { return pid_; }

    // Waits at most limit for the child to end; true when it has.
    bool Wait(milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            Reap(false);
            if (pid_ <= 0) return true;
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    void Signal(int signalNumber) {
        if (pid_ > 0) kill(pid_, signalNumber);
    }
    // Ends the child and its process group at once.
    void Kill() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        Reap(true);
    }

  private:
    void Reap(bool block) {
        if (pid_ <= 0) return;
        int status = 0;
        pid_t done = 0;
        do {
            done = waitpid(pid_, &status, block ? 0 : WNOHANG);
        } while (done < 0 && errno == EINTR);
        if (done == pid_ || (done < 0 && errno == ECHILD)) {
            if (done == pid_ && WIFEXITED(status)) code_ = WEXITSTATUS(status);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    std::optional<int> code_;
};

// Runs a command to its end within limit; its exit code, or nothing (killed at the limit).
std::optional<int> RunTool(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& outputPath,
                           milliseconds limit) {
    Child child;
    if (!child.Start(argv, env, outputPath, SIGKILL)) return std::nullopt;
    if (!child.Wait(limit)) return std::nullopt;
    return child.ExitCode();
}

// The environment with these NAME=VALUE entries set (replacing what it had under those names).
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& s : set) replaced = replaced || s.substr(0, s.find('=')) == name;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), set.begin(), set.end());
    return env;
}

// The last lines of a log, for an error message.
std::string Tail(const std::string& path, size_t lines = 6) {
    std::ifstream in(path);
    std::vector<std::string> all;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) all.push_back(line);
    std::string text;
    for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
        text += "\n    " + all[i];
    return text;
}

// A window's place on the screen, as the window program reports it.
struct WindowRect {
    long x = 0;
    long y = 0;
    long width = 0;
    long height = 0;
    std::string title;
};

// The rectangle and title of the window program's answer ("window X Y W H visible V title T");
// nothing for "window none", a hidden window, a window of no size, or anything else.
std::optional<WindowRect> ParseWindowAnswer(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        WindowRect rect;
        int visible = 0;
        if (std::sscanf(line.c_str(), "window %ld %ld %ld %ld visible %d", &rect.x, &rect.y,
                        &rect.width, &rect.height, &visible) == 5 &&
            rect.width > 0 && rect.height > 0 && visible == 1) {
            const size_t title = line.find(" title ");
            if (title != std::string::npos) rect.title = line.substr(title + 7);
            return rect;
        }
    }
    return std::nullopt;
}

// import's crop geometry for rect, its part left or above the screen cut off; nothing when no
// part of it is on the screen.
std::optional<std::string> CropGeometry(WindowRect rect) {
    if (rect.x < 0) {
        rect.width += rect.x;
        rect.x = 0;
    }
    if (rect.y < 0) {
        rect.height += rect.y;
        rect.y = 0;
    }
    if (rect.width <= 0 || rect.height <= 0) return std::nullopt;
    return std::to_string(rect.width) + "x" + std::to_string(rect.height) + "+" +
           std::to_string(rect.x) + "+" + std::to_string(rect.y);
}

bool IsPng(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char header[8] = {};
    in.read(header, sizeof(header));
    return in.gcount() == 8 && std::memcmp(header, "\x89PNG\r\n\x1a\n", 8) == 0;
}

// A panel that already runs on the machine (its message window is registered there) is shown
// instead of starting a second one, as the panel program itself does with a second start.
bool ShowRunningPanel(const std::string& socket) {
    std::string error;
    if (!remote::ClientLink::Connect(socket, L"q407 panel", &error)) return false;
    win32::HWND window = win32::FindWindowW(L"Q407 Class", nullptr);
    // Show the main dialog; both fail only when the window has just gone.
    const bool shown =
        window != nullptr && win32::PostMessageW(window, win32::WM_SHOWWINDOW, 9, 0) != 0;
    if (shown) (void)win32::SetForegroundWindow(window);
    remote::ClientLink::Disconnect();
    return shown;
}

// A q407 device request to the machine, in this process; its JSON answer, or nothing with *why.
std::optional<nlohmann::json> AskMachine(const std::string& socket,
                                         const std::vector<std::string>& request,
                                         std::string* why) {
    std::vector<std::string> args = {"--machine", socket, "--json"};
    args.insert(args.end(), request.begin(), request.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::ostringstream out, err;
    const int code = tools::DeviceCommand(static_cast<int>(argv.size()), argv.data(), out, err);
    nlohmann::json answer = nlohmann::json::parse(out.str(), nullptr, false);
    if (code != 0 || !answer.is_object()) {
        *why = err.str();
        while (!why->empty() && why->back() == '\n') why->pop_back();
        return std::nullopt;
    }
    return answer;
}

// The clients connected to the machine (the asker not counted); -1 when it cannot tell.
int MachineClients(const std::string& socket) {
    std::string why;
    const std::optional<nlohmann::json> answer = AskMachine(socket, {"list"}, &why);
    if (!answer || !answer->contains("clients") || !(*answer)["clients"].is_number_integer())
        return -1;
    return (*answer)["clients"].get<int>();
}

std::string SelfPath() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

class PanelRun {
  public:
    PanelRun(const Options& options, std::ostream& out, std::ostream& err)
        : o_(options), out_(out), err_(err) {}
    ~PanelRun() { Stop(); }

    int Run(int signals);
    nlohmann::json Report() const;
    const std::string& Error() const { return error_; }

  private:
    void Progress(const std::string& line) {
        (o_.json ? err_ : out_) << "q407 panel: " << line << std::endl;
    }
    bool Fail(const std::string& why) {
        if (error_.empty()) error_ = why;
        return false;
    }
    bool MakeRunDir();
    bool StartMachine();
    bool StartXvfb();
    bool PreparePrefix();
    bool StartPanel();
    // Shows the panel's main window ("&Open"), without waiting for it.
    bool StartOpening();
    // Whether the opening has ended; false on a failure that ends the run.
    bool OpeningEnded(bool* ended);
    bool ChangeDevice(const char* action, double at);
    bool TakeScreenshot();
    // The wait for the panel: false on a failure, true when it is time to stop.
    bool Watch(int signals);
    std::vector<std::string> WineEnvironment() const;
    void Stop();

    const Options& o_;
    std::ostream& out_;
    std::ostream& err_;
    std::string error_;
    std::string runDir_;
    std::string socket_;
    std::string display_;
    std::string prefix_;
    bool privateMachine_ = false;
    bool alreadyRunning_ = false;
    bool headless_ = false;
    bool stopped_ = false;
    bool screenshotWritten_ = false;
    int stopSignal_ = 0;
    int clientsBefore_ = 0;
    double reachedAfter_ = -1;  // seconds from the panel's start to its connection
    std::optional<bool> machineClean_;
    std::string machineTail_;  // what an unclean machine said last, kept past the run folder
    std::optional<int> panelExit_;
    bool openingLooked_ = false;
    std::optional<WindowRect> window_;    // the main window once opened
    std::optional<WindowRect> shotRect_;  // what the screenshot shows
    nlohmann::json events_ = nlohmann::json::array();
    Child machine_;
    Child xvfb_;
    Child panel_;
    Child opener_;
};

bool PanelRun::MakeRunDir() {
    std::string pattern = (fs::temp_directory_path() / "q407-panel-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return Fail(std::string("cannot make a run folder: ") + std::strerror(errno));
    runDir_ = pattern;
    return true;
}

bool PanelRun::StartMachine() {
    if (!o_.machine.empty()) {
        socket_ = o_.machine;
        if (!service::MachineAnswersOn(socket_)) return Fail("no machine answers on " + socket_);
        if (ShowRunningPanel(socket_)) {
            alreadyRunning_ = true;
            Progress("a panel already runs on the machine on " + socket_ + ": brought it up");
            return true;
        }
        Progress("using the machine on " + socket_);
        return true;
    }
    privateMachine_ = true;
    socket_ = runDir_ + "/machine.sock";
    const std::string self = SelfPath();
    if (self.empty()) return Fail("cannot find the q407 program itself");
    Progress("starting a machine with one Q407 LX (inputs: " + o_.input + ") on " + socket_);
    std::string input = o_.input;
    if (input == "levels") {
        input = runDir_ + "/levels.wav";
        std::string why;
        if (!WriteWavFile(input,
                          MeterSignalClip(kMeterSignalRate, kDeviceInputs, kMeterSignalSeconds),
                          &why, 16))
            return Fail(why);
    }
    const std::string log = runDir_ + "/machine.log";
    if (!machine_.Start({self, "machine", "--socket", socket_, "--units", "1", "--input", input,
                         "--settings", runDir_ + "/settings.reg", "--log", log},
                        EnvironmentWith({}), runDir_ + "/machine.out", SIGTERM))
        return Fail("cannot start the machine");
    const auto deadline = Clock::now() + kMachineStartLimit;
    while (!service::MachineAnswersOn(socket_)) {
        if (!machine_.Running())
            return Fail("the machine did not start:" + Tail(runDir_ + "/machine.out"));
        if (Clock::now() >= deadline) return Fail("the machine did not answer in time");
        std::this_thread::sleep_for(milliseconds(50));
    }
    return true;
}

bool PanelRun::StartXvfb() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return Fail("cannot make a pipe for Xvfb");
    Progress("starting a private X screen (Xvfb, 1024x768)");
    const bool started = xvfb_.Start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp", "-noreset"},
                                     EnvironmentWith({}), runDir_ + "/xvfb.log", SIGKILL, fds[1]);
    close(fds[1]);
    std::string number;
    const auto deadline = Clock::now() + kXvfbLimit;
    while (started && number.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd fd = {fds[0], POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[32];
        const ssize_t got = read(fds[0], buffer, sizeof(buffer));
        if (got <= 0) break;
        number.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos)
        return Fail("Xvfb did not start (is it installed?)" + Tail(runDir_ + "/xvfb.log"));
    display_ = ":" + number.substr(0, number.find('\n'));
    return true;
}

bool PanelRun::PreparePrefix() {
    const std::string templatePrefix = Q407_WINE_TEMPLATE;
    if (!fs::exists(templatePrefix + "/user.reg")) {
        Progress("making the template Wine prefix (about 20 s, once per build)");
        const std::string stamp = templatePrefix + ".stamp";
        const std::optional<int> made =
            RunTool({"/bin/sh", Q407_WINE_PREFIX_SCRIPT, templatePrefix, stamp},
                    EnvironmentWith({std::string("WINE_LOADER=") + Q407_WINE_LOADER,
                                     std::string("WINESERVER=") + Q407_WINESERVER}),
                    runDir_ + "/template.log", kTemplateLimit);
        if (!made || *made != 0)
            return Fail("the template Wine prefix could not be made" +
                        Tail(runDir_ + "/template.log"));
    }
    prefix_ = runDir_ + "/prefix";
    std::string why;
    if (!CopyWinePrefix(templatePrefix, prefix_, headless_, &why)) return Fail(why);
    return true;
}

std::vector<std::string> PanelRun::WineEnvironment() const {
    const char* debug = std::getenv("WINEDEBUG");
    return EnvironmentWith({"DISPLAY=" + display_, "WINEPREFIX=" + prefix_,
                            std::string("WINEDEBUG=") + (debug != nullptr ? debug : "-all"),
                            "WINEDLLOVERRIDES=mscoree,mshtml=", "Q407_MACHINE=" + socket_});
}

bool PanelRun::StartPanel() {
    Progress("starting " + o_.program + " under Wine on display " + display_);
    if (!panel_.Start({Q407_WINE_LOADER, o_.program}, WineEnvironment(), runDir_ + "/panel.log",
                      SIGKILL))
        return Fail("cannot start " + std::string(Q407_WINE_LOADER));
    return true;
}

bool PanelRun::ChangeDevice(const char* action, double at) {
    std::string why;
    const bool ok = AskMachine(socket_, {action, "0"}, &why).has_value();
    events_.push_back({{"action", action}, {"at", at}, {"ok", ok}});
    if (!ok) return Fail(std::string("unit 0 could not be ") + action + "ged: " + why);
    Progress(std::string(action == std::string("unplug") ? "unplugged" : "plugged in") + " unit 0");
    return true;
}

bool PanelRun::StartOpening() {
    if (access(Q407_PANEL_WINDOW_PROGRAM, R_OK) != 0) {
        if (!o_.screenshot.empty())
            return Fail(std::string("no window program at ") + Q407_PANEL_WINDOW_PROGRAM +
                        " to find the panel's main window (build the q407_panel_window target)");
        Progress("cannot open the panel's main window: no " +
                 std::string(Q407_PANEL_WINDOW_PROGRAM));
        return true;
    }
    if (!opener_.Start({Q407_WINE_LOADER, Q407_PANEL_WINDOW_PROGRAM, "open"}, WineEnvironment(),
                       runDir_ + "/open.out", SIGKILL))
        return Fail("cannot start the window program");
    return true;
}

bool PanelRun::OpeningEnded(bool* ended) {
    *ended = !opener_.Running();
    if (!*ended || openingLooked_) return true;
    openingLooked_ = true;
    window_ = ParseWindowAnswer(runDir_ + "/open.out");
    if (!window_) {
        if (!o_.screenshot.empty())
            return Fail("the panel's main window could not be found or shown" +
                        Tail(runDir_ + "/open.out") + Tail(runDir_ + "/panel.log"));
        Progress("the panel's main window could not be found or shown" +
                 Tail(runDir_ + "/open.out", 1));
        return true;
    }
    char line[128];
    std::snprintf(line, sizeof(line), "opened the panel's main window (%ldx%ld at %ld,%ld)",
                  window_->width, window_->height, window_->x, window_->y);
    Progress(line);
    return true;
}

bool PanelRun::TakeScreenshot() {
    // Where the main window is now (it may have been moved since it was opened).
    const std::string answer = runDir_ + "/window.out";
    fs::remove(answer);
    const std::optional<int> looked = RunTool({Q407_WINE_LOADER, Q407_PANEL_WINDOW_PROGRAM},
                                              WineEnvironment(), answer, kToolLimit);
    const std::optional<WindowRect> rect =
        looked && *looked == 0 ? ParseWindowAnswer(answer) : std::nullopt;
    if (!rect) return Fail("the panel's main window is no longer shown" + Tail(answer));
    const std::optional<std::string> crop = CropGeometry(*rect);
    if (!crop) return Fail("the panel's main window is off the screen");
    const std::optional<int> code =
        RunTool({"import", "-display", display_, "-window", "root", "-crop", *crop, "+repage",
                 o_.screenshot},
                EnvironmentWith({"DISPLAY=" + display_}), runDir_ + "/import.log", kToolLimit);
    if (!code || *code != 0 || !IsPng(o_.screenshot))
        return Fail("the screenshot could not be written to " + o_.screenshot +
                    " (is imagemagick's import installed?)" + Tail(runDir_ + "/import.log"));
    screenshotWritten_ = true;
    shotRect_ = rect;
    Progress("wrote the screenshot " + o_.screenshot + " (the main window, " + *crop + ")");
    return true;
}

bool PanelRun::Watch(int signals) {
    // The schedule counts from when the panel has connected to the machine (Wine takes a few
    // seconds to start it), or from the end of the wait for that.
    const auto launched = Clock::now();
    std::optional<Clock::time_point> start;
    auto nextLook = launched;
    bool unplugged = false;
    bool replugged = false;
    bool openingStarted = false;
    for (;;) {
        pollfd fd = {signals, POLLIN, 0};
        const int ready = poll(&fd, 1, 50);
        if (ready > 0) {
            signalfd_siginfo info{};
            if (read(signals, &info, sizeof(info)) == sizeof(info)) {
                stopSignal_ = static_cast<int>(info.ssi_signo);
                Progress("stopping");
                return true;
            }
        }
        if (!panel_.Running()) {
            panelExit_ = panel_.ExitCode();
            if (!o_.screenshot.empty())
                return Fail("the panel ended before the screenshot" + Tail(runDir_ + "/panel.log"));
            if (!panelExit_ || *panelExit_ != 0)
                return Fail("the panel ended with a failure" + Tail(runDir_ + "/panel.log"));
            return true;
        }
        if (privateMachine_ && !machine_.Running())
            return Fail("the machine ended under the panel" + Tail(runDir_ + "/machine.out"));
        // A machine of someone else's that stopped takes its socket with it: the panel ends
        // with it rather than stay behind with nothing to show.
        if (!privateMachine_ && !fs::exists(socket_)) {
            Progress("the machine on " + socket_ + " went away");
            return true;
        }
        const auto now = Clock::now();
        if (!start && now >= nextLook) {
            nextLook = now + kClientLookInterval;
            if (MachineClients(socket_) > clientsBefore_) {
                start = now;
                reachedAfter_ = std::chrono::duration<double>(now - launched).count();
                char line[96];
                std::snprintf(line, sizeof(line), "the panel reached the machine after %.1f s",
                              reachedAfter_);
                Progress(line);
            }
        }
        if (!start && now >= launched + kPanelReachLimit) {
            start = now;
            Progress("the panel has not connected to the machine; the schedule counts from now");
        }
        if (!start) continue;
        if (!openingStarted) {
            openingStarted = true;
            if (!StartOpening()) return false;
        }
        bool opened = false;
        if (!OpeningEnded(&opened)) return false;
        const double elapsed = std::chrono::duration<double>(now - *start).count();
        if (o_.unplugAfter >= 0 && !unplugged && elapsed >= o_.unplugAfter) {
            unplugged = true;
            if (!ChangeDevice("unplug", elapsed)) return false;
        }
        if (o_.replugAfter >= 0 && !replugged && elapsed >= o_.replugAfter) {
            replugged = true;
            if (!ChangeDevice("plug", elapsed)) return false;
        }
        if (!o_.screenshot.empty() && elapsed >= o_.after && opened) return TakeScreenshot();
    }
}

int PanelRun::Run(int signals) {
    headless_ = o_.headless;
    if (!headless_) {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') {
            headless_ = true;
        } else {
            display_ = display;
        }
    }
    bool ok = MakeRunDir() && StartMachine();
    if (ok && alreadyRunning_) {
        if (!o_.screenshot.empty() || o_.unplugAfter >= 0)
            ok = Fail(
                "a panel already runs on the machine; its screenshot and schedule belong "
                "to the command that started it");
        Stop();
        return ok ? kPanelExitOk : kPanelExitFailed;
    }
    ok = ok && (!headless_ || StartXvfb()) && PreparePrefix();
    if (ok) clientsBefore_ = std::max(MachineClients(socket_), 0);
    ok = ok && StartPanel();
    if (ok && o_.screenshot.empty() && !o_.json)
        Progress("running; Ctrl-C stops the panel" +
                 std::string(privateMachine_ ? " and its machine" : ""));
    ok = ok && Watch(signals);
    Stop();
    if (privateMachine_ && machineClean_ && !*machineClean_)
        ok = Fail("the machine did not stop clean" + machineTail_);
    return ok && error_.empty() ? kPanelExitOk : kPanelExitFailed;
}

void PanelRun::Stop() {
    if (stopped_) return;
    stopped_ = true;
    if (!prefix_.empty()) {
        // The panel and every Wine process of its prefix, then the wine server itself.
        const std::vector<std::string> env = WineEnvironment();
        (void)RunTool({Q407_WINESERVER, "-k"}, env, "", kToolLimit);
        if (!panel_.Wait(kToolLimit)) panel_.Kill();
        if (!panelExit_) panelExit_ = panel_.ExitCode();
        (void)RunTool({Q407_WINESERVER, "-w"}, env, "", kToolLimit);
    }
    panel_.Kill();
    opener_.Kill();
    if (privateMachine_) {
        machine_.Signal(SIGTERM);
        if (machine_.Wait(kMachineStopLimit)) {
            machineClean_ = machine_.ExitCode() == 0;
        } else {
            machine_.Kill();
            machineClean_ = false;
        }
    }
    if (machineClean_ && !*machineClean_) machineTail_ = Tail(runDir_ + "/machine.out");
    xvfb_.Signal(SIGTERM);
    if (!xvfb_.Wait(milliseconds(3000))) xvfb_.Kill();
    if (!runDir_.empty()) {
        std::error_code ignored;  // a leftover folder in /tmp is no failure of the panel
        fs::remove_all(runDir_, ignored);
    }
}

nlohmann::json PanelRun::Report() const {
    nlohmann::json report = {
        {"ok", error_.empty()}, {"machine", socket_},    {"private_machine", privateMachine_},
        {"display", display_},  {"headless", headless_}, {"program", o_.program},
        {"events", events_}};
    report["already_running"] = alreadyRunning_;
    report["panel_connected_after"] =
        reachedAfter_ >= 0 ? nlohmann::json(reachedAfter_) : nlohmann::json();
    report["screenshot"] = screenshotWritten_ ? nlohmann::json(o_.screenshot) : nlohmann::json();
    auto rectJson = [](const std::optional<WindowRect>& rect) {
        if (!rect) return nlohmann::json();
        return nlohmann::json{{"x", rect->x},
                              {"y", rect->y},
                              {"width", rect->width},
                              {"height", rect->height},
                              {"title", rect->title}};
    };
    report["window"] = rectJson(window_);
    report["screenshot_rect"] = rectJson(shotRect_);
    report["panel_exit"] = panelExit_ ? nlohmann::json(*panelExit_) : nlohmann::json();
    report["machine_clean"] = machineClean_ ? nlohmann::json(*machineClean_) : nlohmann::json();
    report["stop_signal"] = stopSignal_;
    if (!error_.empty()) report["error"] = error_;
    return report;
}

}  // namespace

int PanelCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    Options o;
    CLI::App app(
        "Runs the control panel under Wine against a machine with one virtual Q407 LX (started "
        "on a private socket unless --machine is given), on the current X display, or on a "
        "private Xvfb screen with --headless or when DISPLAY is unset. SIGINT or SIGTERM stops "
        "the panel and everything it started.",
        "q407 panel");
    app.add_option("--machine", o.machine, "use the machine running on this socket");
    app.add_option("--program", o.program, "the panel program (a winelib .exe.so)")
        ->capture_default_str();
    app.add_option("--input", o.input,
                   "what the private machine's inputs carry: levels (a tone swelling and falling, "
                   "a step later on each input), signal, ramp, loopback, silence or a WAV file")
        ->capture_default_str();
    app.add_flag("--headless", o.headless, "run on a private Xvfb screen");
    CLI::Option* shot = app.add_option("--screenshot", o.screenshot,
                                       "write a PNG of the panel's main window, then stop");
    app.add_option("--after", o.after,
                   "seconds to take the screenshot after (the schedule counts from when the panel "
                   "has connected to the machine)")
        ->check(CLI::Range(0.0, kMaxScheduleSeconds))
        ->needs(shot)
        ->capture_default_str();
    CLI::Option* unplug =
        app.add_option("--unplug-after", o.unplugAfter, "unplug unit 0 after this many seconds")
            ->check(CLI::Range(0.0, kMaxScheduleSeconds));
    app.add_option("--replug-after", o.replugAfter, "plug unit 0 in again after this many seconds")
        ->check(CLI::Range(0.0, kMaxScheduleSeconds))
        ->needs(unplug);
    app.add_flag("--json", o.json, "print one JSON report at the end");
    if (auto exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    if (o.replugAfter >= 0 && o.replugAfter <= o.unplugAfter) {
        err << "q407 panel: --replug-after must come later than --unplug-after\n";
        return kPanelExitUsage;
    }
    if (!o.machine.empty() && app.count("--input") > 0) {
        err << "q407 panel: --input applies to a private machine only, not with --machine\n";
        return kPanelExitUsage;
    }
    if (access(o.program.c_str(), R_OK) != 0) {
        err << "q407 panel: no panel program at " << o.program
            << " (build the Q407Pan target, or give --program)\n";
        return kPanelExitFailed;
    }

    // The stop signals are taken through a descriptor; the children get the default mask back.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    signal(SIGPIPE, SIG_IGN);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        err << "q407 panel: cannot take the stop signals: " << std::strerror(errno) << "\n";
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return kPanelExitFailed;
    }
    int status = kPanelExitFailed;
    {
        PanelRun run(o, out, err);
        status = run.Run(signals);
        if (o.json) out << run.Report().dump() << std::endl;
        if (!run.Error().empty())
            err << "q407 panel: " << run.Error() << "\n";
        else if (!o.json)
            out << "q407 panel: stopped\n";
    }
    close(signals);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return status;
}

}  // namespace q407::tools
