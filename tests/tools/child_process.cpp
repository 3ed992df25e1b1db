#include "tests/tools/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace q407::testing {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& stderrPath) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int failed = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (failed != 0) {
        close(pipeFds[0]);
        pid_ = -1;
        return false;
    }
    out_ = pipeFds[0];
    return true;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
}

bool ChildProcess::ReadLine(std::string* line, double timeoutSeconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        const size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            *line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        if (out_ < 0) return false;
        pollfd fd{out_, POLLIN, 0};
        const int ready = poll(&fd, 1, RemainingMs(end));
        if (ready <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(out_, buffer, sizeof(buffer));
        if (n <= 0) {
            close(out_);
            out_ = -1;
            continue;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

bool ChildProcess::WaitForLine(const std::string& prefix, std::string* line,
                               double timeoutSeconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(timeoutSeconds));
    std::string next;
    while (ReadLine(&next, double(RemainingMs(end)) / 1000.0)) {
        if (next.rfind(prefix, 0) == 0) {
            *line = next;
            return true;
        }
    }
    return false;
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0 && !reaped_) kill(pid_, signal);
}

int ChildProcess::Wait(double timeoutSeconds) {
    if (pid_ <= 0) return -1;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(timeoutSeconds));
    int status = 0;
    while (!reaped_) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            break;
        }
        if (Clock::now() >= end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, double timeoutSeconds) {
    ChildProcess child;
    if (!child.Start(argv)) return -1;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(timeoutSeconds));
    std::string line;
    output->clear();
    while (child.ReadLine(&line, double(RemainingMs(end)) / 1000.0)) *output += line + "\n";
    return child.Wait(double(RemainingMs(end)) / 1000.0 + 1);
}

}  // namespace q407::testing
