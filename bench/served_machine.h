// Measuring against a machine served by a child process: this benchmark program run again with
// the machine's socket in its environment, booting the machine and serving it instead of
// measuring, until the parent closes its standard input. A page both processes map carries the
// moment the USB driver sets the ASIO host's event (the steady clock is the system's monotonic
// clock, the same in both).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace q407::bench {

inline constexpr char kServeSocketEnv[] = "Q407_BENCH_SERVE_SOCKET";
inline constexpr char kServeStampEnv[] = "Q407_BENCH_SERVE_STAMP";

struct EventStamp {
    std::atomic<int64_t> setAt;  // steady clock, ns
    std::atomic<uint64_t> sets;
};
static_assert(std::atomic<int64_t>::is_always_lock_free);

// The page at path, created when missing; null when it cannot be mapped.
EventStamp* MapStamp(const std::string& path);
int64_t NowNs();

struct Percentiles {
    double p50 = 0, p99 = 0;
};
Percentiles Summarise(std::vector<double> us);
double Microseconds(std::chrono::steady_clock::duration d);

// The machine's process for a measurement; this process is linked to it while it lives.
class ServedMachine {
  public:
    ServedMachine();
    ~ServedMachine();  // unlinks, ends the child and waits for it
    ServedMachine(const ServedMachine&) = delete;
    ServedMachine& operator=(const ServedMachine&) = delete;

    bool Linked() const { return linked_; }
    const std::string& Error() const { return error_; }
    EventStamp* Stamp() const { return stamp_; }

  private:
    std::string socket_, stampPath_, error_;
    EventStamp* stamp_ = nullptr;
    pid_t child_ = -1;
    int feed_ = -1;
    bool linked_ = false;
};

}  // namespace q407::bench
