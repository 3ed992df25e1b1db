#include "tests/support/wine/wine_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/wine_prefix.h"

extern char** environ;

namespace q407::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

#ifndef Q407_WINE_LOADER_PATH
#define Q407_WINE_LOADER_PATH "/usr/lib/wine/wine64"
#endif
#ifndef Q407_WINESERVER_PATH
#define Q407_WINESERVER_PATH "/usr/lib/wine/wineserver"
#endif
#ifndef Q407_WINE_TEMPLATE
#define Q407_WINE_TEMPLATE ""
#endif
#ifndef Q407_WINE_RUNS_DIR
#define Q407_WINE_RUNS_DIR "/tmp"
#endif

constexpr Timeout kToolTimeout{15000};
constexpr Timeout kXvfbTimeout{10000};

int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// argv/envp arrays for execve, built before fork (the child only calls async-signal-safe
// functions).
struct ExecArgs {
    explicit ExecArgs(const std::vector<std::string>& strings) {
        for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
        pointers.push_back(nullptr);
    }
    char** data() { return pointers.data(); }
    std::vector<char*> pointers;
};

bool FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Ends the child's whole process group, then reaps it; bounded.
void KillGroup(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

}  // namespace

std::optional<ScreenRect> ParseReadyLine(std::string_view line) {
    std::istringstream in{std::string(line)};
    std::string word, name;
    ScreenRect rect;
    if (!(in >> word >> name >> rect.x >> rect.y >> rect.width >> rect.height)) return std::nullopt;
    if (word != "ready" || rect.width < 0 || rect.height < 0) return std::nullopt;
    std::string rest;
    if (in >> rest) return std::nullopt;
    return rect;
}

std::optional<std::pair<int, int>> PngSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[24] = {};
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (std::memcmp(header, kSignature, 8) != 0 || std::memcmp(header + 12, "IHDR", 4) != 0)
        return std::nullopt;
    auto be32 = [&](int at) {
        return static_cast<int>((uint32_t{header[at]} << 24) | (uint32_t{header[at + 1]} << 16) |
                                (uint32_t{header[at + 2]} << 8) | uint32_t{header[at + 3]});
    };
    return std::make_pair(be32(16), be32(20));
}

std::optional<int> RunBounded(const std::vector<std::string>& argv,
                              const std::vector<std::string>& environment,
                              const std::string& outputPath, Timeout timeout) {
    if (argv.empty()) return std::nullopt;
    ExecArgs args(argv);
    ExecArgs env(environment);
    std::string output = outputPath.empty() ? "/dev/null" : outputPath;
    pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (null >= 0) dup2(null, 0);
        execve(args.data()[0], args.data(), env.data());
        execvpe(args.data()[0], args.data(), env.data());
        _exit(127);
    }
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return std::nullopt;
        }
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) {
            KillGroup(pid);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// ---- WineProcess

WineProcess::~WineProcess() {
    if (!exited_) Kill();
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
}

bool WineProcess::ReadMore(Clock::time_point deadline) {
    if (output_ < 0) return false;
    pollfd fd = {output_, POLLIN, 0};
    int ready = poll(&fd, 1, Remaining(deadline));
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return false;
    char buffer[4096];
    ssize_t got = read(output_, buffer, sizeof buffer);
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    if (got == 0) {
        // End of output: a last line without its line end still counts.
        if (!pending_.empty()) lines_.push_back(std::move(pending_));
        pending_.clear();
        close(output_);
        output_ = -1;
        return true;
    }
    pending_.append(buffer, static_cast<size_t>(got));
    size_t start = 0;
    for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = pending_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(std::move(line));
    }
    pending_.erase(0, start);
    return true;
}

std::optional<std::string> WineProcess::WaitForLine(std::string_view prefix, Timeout timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        while (consumed_ < lines_.size()) {
            const std::string& line = lines_[consumed_++];
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
        }
        if (output_ < 0 || Clock::now() >= deadline) return std::nullopt;
        if (!ReadMore(deadline) && Clock::now() >= deadline) return std::nullopt;
    }
}

std::optional<ScreenRect> WineProcess::WaitForReady(Timeout timeout) {
    std::optional<std::string> line = WaitForLine("ready ", timeout);
    if (!line) return std::nullopt;
    return ParseReadyLine(*line);
}

bool WineProcess::Send(std::string_view line) {
    if (input_ < 0) return false;
    std::string text(line);
    text.push_back('\n');
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t wrote = write(input_, text.data() + sent, text.size() - sent);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return false;  // EPIPE: the program is gone (SIGPIPE is ignored below)
        }
        sent += static_cast<size_t>(wrote);
    }
    return true;
}

void WineProcess::CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

void WineProcess::Reap(bool block, Timeout timeout) {
    if (exited_ || pid_ < 0) return;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            status_ = status;
            return;
        }
        if (done < 0 && errno != EINTR) {
            exited_ = true;
            status_ = -1;
            return;
        }
        if (!block || Clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<int> WineProcess::WaitForExit(Timeout timeout) {
    Reap(true, timeout);
    if (!exited_) {
        Kill();
        return std::nullopt;
    }
    if (status_ >= 0 && WIFEXITED(status_)) return WEXITSTATUS(status_);
    return std::nullopt;
}

void WineProcess::Kill() {
    if (exited_ || pid_ < 0) return;
    KillGroup(pid_);
    Reap(true, std::chrono::seconds(5));
    if (!exited_) {
        // Stuck in the kernel: leave it to wineserver -k at session end, never wait forever.
        std::fprintf(stderr, "wine session: process %d did not end after SIGKILL\n",
                     static_cast<int>(pid_));
    }
}

void WineProcess::Signal(int signal) {
    if (!exited_ && pid_ > 0) kill(pid_, signal);
}

bool WineProcess::Running() {
    Reap(false, Timeout{0});
    return !exited_;
}

std::string WineProcess::ErrorText() const {
    std::ifstream file(errorPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// ---- WineSession

WineSession& WineSession::Shared() {
    static WineSession session;
    return session;
}

WineSession::WineSession() {
    // A program that dies under us must not take the test with it on the next write.
    signal(SIGPIPE, SIG_IGN);
    if (access(Q407_WINE_LOADER_PATH, X_OK) != 0) {
        reason_ = "wine64 is not installed (" Q407_WINE_LOADER_PATH ")";
    } else if (!FindOnPath("Xvfb")) {
        reason_ = "Xvfb is not installed";
    } else if (!FindOnPath("xdotool") || !FindOnPath("import")) {
        reason_ = "xdotool or imagemagick is not installed";
    } else if (std::string(Q407_WINE_TEMPLATE).empty() ||
               !fs::exists(fs::path(Q407_WINE_TEMPLATE) / "user.reg")) {
        reason_ = "no template Wine prefix (build the target q407_wine_prefix)";
    }
    if (!reason_.empty()) return;
    if (!StartXvfb()) {
        if (reason_.empty()) reason_ = "Xvfb did not start";
        return;
    }
    if (!CopyPrefix() && reason_.empty()) reason_ = "the Wine prefix could not be copied";
}

WineSession::~WineSession() {
    if (!prefix_.empty()) {
        KillWine();
        std::error_code ignored;  // a leftover folder in the build tree is harmless
        fs::remove_all(runDir_, ignored);
    }
    if (xvfb_ > 0) {
        kill(xvfb_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200 && waitpid(xvfb_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kill(xvfb_, SIGKILL);
        waitpid(xvfb_, &status, WNOHANG);
    }
}

bool WineSession::StartXvfb() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::string fdText = std::to_string(fds[1]);
    std::vector<std::string> argv = {"Xvfb",        "-displayfd", fdText, "-screen", "0",
                                     "1024x768x24", "-nolisten",  "tcp",  "-noreset"};
    ExecArgs args(argv);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Xvfb dies with the test process, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        setpgid(0, 0);
        fcntl(fds[1], F_SETFD, 0);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp("Xvfb", args.data());
        _exit(127);
    }
    close(fds[1]);
    xvfb_ = pid;
    auto deadline = Clock::now() + kXvfbTimeout;
    std::string number;
    while (number.find('\n') == std::string::npos) {
        pollfd fd = {fds[0], POLLIN, 0};
        int ready = poll(&fd, 1, Remaining(deadline));
        if (ready <= 0) {
            if (ready < 0 && errno == EINTR) continue;
            break;
        }
        char buffer[32];
        ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got <= 0) break;
        number.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        reason_ = "Xvfb did not report its display";
        return false;
    }
    number.erase(number.find('\n'));
    display_ = ":" + number;
    return true;
}

bool WineSession::CopyPrefix() {
    runDir_ = std::string(Q407_WINE_RUNS_DIR) + "/run-" + std::to_string(getpid());
    prefix_ = runDir_ + "/prefix";
    std::error_code error;
    fs::remove_all(runDir_, error);
    std::string why;
    if (!tools::CopyWinePrefix(Q407_WINE_TEMPLATE, prefix_, true, &why)) {
        reason_ = why;
        return false;
    }
    return true;
}

std::vector<std::string> WineSession::Environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> env;
    auto overridden = [&](const std::string& entry) {
        std::string name = entry.substr(0, entry.find('='));
        for (const char* own : {"DISPLAY", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES"})
            if (name == own) return true;
        for (const std::string& e : extra)
            if (e.substr(0, e.find('=')) == name) return true;
        return false;
    };
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (!overridden(entry)) env.push_back(entry);
    }
    // The session's own settings, unless the caller gives one of them (a first entry wins).
    auto given = [&](const std::string& name) {
        for (const std::string& e : extra)
            if (e.substr(0, e.find('=')) == name) return true;
        return false;
    };
    if (!given("DISPLAY")) env.push_back("DISPLAY=" + display_);
    if (!given("WINEPREFIX")) env.push_back("WINEPREFIX=" + prefix_);
    if (!given("WINEDEBUG")) env.push_back("WINEDEBUG=-all");
    if (!given("WINEDLLOVERRIDES")) env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    for (const std::string& e : extra) env.push_back(e);
    return env;
}

std::unique_ptr<WineProcess> WineSession::Start(const std::string& program,
                                                const std::vector<std::string>& args,
                                                const std::vector<std::string>& environment) {
    if (!Available()) return nullptr;
    std::vector<std::string> argv = {Q407_WINE_LOADER_PATH, program};
    argv.insert(argv.end(), args.begin(), args.end());
    return Spawn(argv, environment);
}

std::unique_ptr<WineProcess> WineSession::StartNative(const std::vector<std::string>& argv,
                                                      const std::vector<std::string>& environment) {
    if (!Available() || argv.empty()) return nullptr;
    return Spawn(argv, environment);
}

std::unique_ptr<WineProcess> WineSession::Spawn(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& environment) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return nullptr;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return nullptr;
    }
    std::unique_ptr<WineProcess> process(new WineProcess);
    process->errorPath_ = runDir_ + "/program-" + std::to_string(++started_) + ".stderr";
    ExecArgs execArgs(argv);
    std::vector<std::string> envStrings = Environment(environment);
    ExecArgs execEnv(envStrings);
    std::string errorPath = process->errorPath_;
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        return nullptr;
    }
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        execve(execArgs.data()[0], execArgs.data(), execEnv.data());
        _exit(127);
    }
    setpgid(pid, pid);  // either side may run first
    close(in[0]);
    close(out[1]);
    process->pid_ = pid;
    process->input_ = in[1];
    process->output_ = out[0];
    return process;
}

bool WineSession::RunXdotool(const std::vector<std::string>& commands) {
    if (!Available()) return false;
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), commands.begin(), commands.end());
    std::optional<int> code = RunBounded(argv, Environment({}), "", kToolTimeout);
    return code && *code == 0;
}

bool WineSession::MoveTo(int x, int y) {
    return RunXdotool({"mousemove", std::to_string(x), std::to_string(y)});
}

bool WineSession::Press(int x, int y) {
    return RunXdotool({"mousemove", std::to_string(x), std::to_string(y), "mousedown", "1"});
}

bool WineSession::Release(int x, int y) {
    return RunXdotool({"mousemove", std::to_string(x), std::to_string(y), "mouseup", "1"});
}

bool WineSession::Click(int x, int y) {
    return RunXdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
}

bool WineSession::Drag(const std::vector<std::pair<int, int>>& points) {
    if (points.empty()) return false;
    std::vector<std::string> commands = {"mousemove", std::to_string(points[0].first),
                                         std::to_string(points[0].second), "mousedown", "1"};
    // A short pause between moves: Wine merges motion it has not read yet, and a drag must be
    // seen point by point.
    for (size_t i = 1; i < points.size(); ++i) {
        commands.insert(commands.end(),
                        {"sleep", "0.03", "mousemove", std::to_string(points[i].first),
                         std::to_string(points[i].second)});
    }
    commands.insert(commands.end(), {"sleep", "0.03", "mouseup", "1"});
    return RunXdotool(commands);
}

bool WineSession::Screenshot(const std::string& path, std::optional<ScreenRect> rect) {
    if (!Available()) return false;
    std::vector<std::string> argv = {"import", "-display", display_, "-window",
                                     "root",   "-depth",   "8"};
    if (rect) {
        argv.insert(argv.end(), {"-crop",
                                 std::to_string(rect->width) + "x" + std::to_string(rect->height) +
                                     "+" + std::to_string(rect->x) + "+" + std::to_string(rect->y),
                                 "+repage"});
    }
    argv.push_back(path);
    std::optional<int> code = RunBounded(argv, Environment({}), "", kToolTimeout);
    return code && *code == 0 && fs::exists(path);
}

void WineSession::KillWine() {
    if (prefix_.empty()) return;
    std::vector<std::string> env = Environment({});
    (void)RunBounded({Q407_WINESERVER_PATH, "-k"}, env, "", kToolTimeout);  // none may run
    (void)RunBounded({Q407_WINESERVER_PATH, "-w"}, env, "", kToolTimeout);
}

}  // namespace q407::test
