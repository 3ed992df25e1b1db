#include "bench/served_machine.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/user/remote/client_link.h"

extern char** environ;

namespace q407::bench {

using Clock = std::chrono::steady_clock;
using remote::ClientLink;

Percentiles Summarise(std::vector<double> us) {
    Percentiles p;
    if (us.empty()) return p;
    std::sort(us.begin(), us.end());
    p.p50 = us[us.size() / 2];
    p.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return p;
}

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

EventStamp* MapStamp(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if (ftruncate(fd, 4096) != 0) {
        close(fd);
        return nullptr;
    }
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return page == MAP_FAILED ? nullptr : static_cast<EventStamp*>(page);
}

ServedMachine::ServedMachine() {
    const std::string base = "/tmp/q407-bench-" + std::to_string(getpid());
    socket_ = base + ".sock";
    stampPath_ = base + ".stamp";
    stamp_ = MapStamp(stampPath_);
    int feed[2];
    if (stamp_ == nullptr || pipe2(feed, O_CLOEXEC) != 0) {
        error_ = "no stamp page or pipe";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, feed[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env{std::string(kServeSocketEnv) + "=" + socket_,
                                 std::string(kServeStampEnv) + "=" + stampPath_};
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--benchmark_filter=^ServeMachine/";
    char* argv[] = {self.data(), filter.data(), nullptr};
    if (posix_spawn(&child_, self.c_str(), &actions, nullptr, argv, envp.data()) != 0) child_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(feed[0]);
    feed_ = feed[1];
    if (child_ < 0) {
        error_ = "the machine's process did not start";
        return;
    }
    // The machine boots, then listens.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
        if (ClientLink::Connect(socket_, L"q407 bench", &error_)) {
            linked_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
ServedMachine::~ServedMachine() {
    if (linked_) ClientLink::Disconnect();
    if (feed_ >= 0) close(feed_);
    if (child_ > 0) waitpid(child_, nullptr, 0);
    if (stamp_ != nullptr) munmap(stamp_, 4096);
    unlink(stampPath_.c_str());
}

}  // namespace q407::bench
