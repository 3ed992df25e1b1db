// The ASIO buffer switch's wake-up, in real time: from the USB driver setting the host's event at
// the end of an input period to the host's bufferSwitch callback on the driver's notification
// thread, over 10,000 periods at L = 32 and 96 kHz (a period every 333 us), through the real
// driver library on the emulated machine. The baseline, measured in the same run and paced the
// same way, is a plain event wake-up between two threads (a mutex and a condition variable).
// Latencies are reported in microseconds as p50, p99 and maximum; the ratios put the driver's
// wake-up against the plain one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/asio_device_session.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kPeriods = 10000;
constexpr uint32_t kRate = 96000;
constexpr uint32_t kLatency = 32;
constexpr auto kPeriod = std::chrono::nanoseconds(1'000'000'000LL * kLatency / kRate);

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;
};

Percentiles Summarise(std::vector<double> us) {
    Percentiles p;
    if (us.empty()) return p;
    std::sort(us.begin(), us.end());
    p.p50 = us[us.size() / 2];
    p.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    p.max = us.back();
    return p;
}

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// A plain auto-reset event between two threads, set once a period.
std::vector<double> PlainEventWakeups() {
    std::mutex mu;
    std::condition_variable cv;
    bool signalled = false;
    bool done = false;
    Clock::time_point setAt;
    std::vector<double> wakeups;
    wakeups.reserve(kPeriods);
    std::thread waiter([&] {
        std::unique_lock<std::mutex> lock(mu);
        while (wakeups.size() < kPeriods) {
            cv.wait(lock, [&] { return signalled || done; });
            if (done) break;
            signalled = false;
            wakeups.push_back(Microseconds(Clock::now() - setAt));
        }
    });
    auto next = Clock::now();
    for (size_t i = 0; i < kPeriods; ++i) {
        next += kPeriod;
        std::this_thread::sleep_until(next);
        std::lock_guard<std::mutex> lock(mu);
        setAt = Clock::now();
        signalled = true;
        cv.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        done = true;
        cv.notify_one();
    }
    waiter.join();
    return wakeups;
}

// The USB driver's side: the moment it is about to set the host's event.
std::atomic<int64_t> g_eventSetAt{0};  // steady clock, ns
std::atomic<uint64_t> g_eventSets{0};

void StampEventSet() {
    g_eventSetAt.store(Clock::now().time_since_epoch().count());
    g_eventSets.fetch_add(1);
}

struct DriverWakeups {
    std::vector<double> us;
    uint64_t late = 0;  // callbacks that came after the next period's event
    std::string error;
};

DriverWakeups AsioBufferSwitchWakeups() {
    DriverWakeups out;
    q407::tools::DeviceSessionOptions options;
    options.rate = kRate;
    options.latency = kLatency;
    options.buffers = 2;  // one period per capture completion
    options.realTime = true;
    q407::tools::DeviceSession session;
    if (!session.Boot(options, &out.error)) return out;
    session.SetAsioEventProbe(StampEventSet);

    std::vector<double> us(kPeriods + 64);
    std::atomic<size_t> count{0};
    uint64_t lastSets = 0;
    uint64_t late = 0;
    q407::tools::AsioSessionRequest request;
    request.outputs = {0};
    request.inputs = {0};
    request.frames = (kPeriods + 32) * kLatency;
    request.switched = [&] {
        const int64_t now = Clock::now().time_since_epoch().count();
        const uint64_t sets = g_eventSets.load();
        const size_t i = count.load();
        if (i < us.size()) {
            us[i] = double(now - g_eventSetAt.load()) / 1000.0;
            count.store(i + 1);
        }
        if (lastSets != 0 && sets > lastSets + 1) ++late;
        lastSets = sets;
    };
    q407::tools::DeviceSessionResult result;
    if (session.Run(request, &result, &out.error) != q407::tools::AsioSessionFailure::None)
        return out;
    session.SetAsioEventProbe(nullptr);
    // The first switches wait for the stream's start-up: not part of the steady state.
    const size_t n = std::min(count.load(), us.size());
    const size_t skip = n > kPeriods ? n - kPeriods : 0;
    out.us.assign(us.begin() + static_cast<long>(skip), us.begin() + static_cast<long>(n));
    out.late = late;
    return out;
}

void BM_BufferSwitchWakeup(benchmark::State& state) {
    for (auto _ : state) {
        const Percentiles plain = Summarise(PlainEventWakeups());
        const DriverWakeups driver = AsioBufferSwitchWakeups();
        if (driver.us.empty()) {
            state.SkipWithError(("the ASIO session did not run: " + driver.error).c_str());
            return;
        }
        const Percentiles asio = Summarise(driver.us);
        state.counters["plain_p50_us"] = plain.p50;
        state.counters["plain_p99_us"] = plain.p99;
        state.counters["plain_max_us"] = plain.max;
        state.counters["asio_p50_us"] = asio.p50;
        state.counters["asio_p99_us"] = asio.p99;
        state.counters["asio_max_us"] = asio.max;
        state.counters["ratio_p50"] = plain.p50 > 0 ? asio.p50 / plain.p50 : 0;
        state.counters["ratio_p99"] = plain.p99 > 0 ? asio.p99 / plain.p99 : 0;
        state.counters["periods"] = double(driver.us.size());
        state.counters["late_switches"] = double(driver.late);
    }
}
BENCHMARK(BM_BufferSwitchWakeup)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
