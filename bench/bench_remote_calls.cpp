// What a client in another Linux process pays against one in the machine's own: a device I/O
// control round trip (GetLatency, as the ASIO driver's notification thread sends it) and an event
// wake-up (SetEvent on one client thread to the return of another's wait, ping-pong, through
// events the machine made). The in-process figures come from a machine in this process, the
// others from a machine served by a child process, both in the same run. Latencies in
// microseconds, p50 and p99, and the ratio of the linked figure to the in-process one.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <vector>

#include "bench/served_machine.h"
#include "sim/host/process.h"
#include "tools/device_client.h"
#include "tools/device_rig.h"

namespace {

using Clock = std::chrono::steady_clock;
using q407::bench::Microseconds;
using q407::bench::NowNs;
using q407::bench::Percentiles;
using q407::bench::ServedMachine;
using q407::bench::Summarise;

constexpr size_t kCalls = 5000;
constexpr size_t kWakeups = 5000;

void Report(benchmark::State& state, const char* what, const Percentiles& local,
            const Percentiles& linked) {
    const std::string name(what);
    state.counters[name + "_local_p50_us"] = local.p50;
    state.counters[name + "_local_p99_us"] = local.p99;
    state.counters[name + "_linked_p50_us"] = linked.p50;
    state.counters[name + "_linked_p99_us"] = linked.p99;
    state.counters[name + "_ratio_p50"] = local.p50 > 0 ? linked.p50 / local.p50 : 0;
    state.counters[name + "_ratio_p99"] = local.p99 > 0 ? linked.p99 / local.p99 : 0;
}

// GetLatency round trips from the calling thread, through whatever machine it reaches.
std::vector<double> ControlRoundTrips(std::string* error) {
    std::vector<double> us;
    q407::tools::DeviceConnection device;
    if (!q407::tools::OpenQ407Device(&device)) {
        *error = "the device did not open";
        return us;
    }
    us.reserve(kCalls);
    for (size_t i = 0; i < kCalls; ++i) {
        q407::ControlMessage latency =
            q407::MakeControlMessage(q407::SettingsAndPanelType::GetLatency);
        const auto start = Clock::now();
        if (!q407::tools::SendControlMessage(device.handle, &latency)) {
            *error = "a request failed";
            break;
        }
        us.push_back(Microseconds(Clock::now() - start));
    }
    q407::tools::CloseQ407Device(&device);
    return us;
}

// Two client threads waking each other through auto-reset events.
struct PingPong {
    HANDLE ping = nullptr;
    HANDLE pong = nullptr;
    std::atomic<int64_t> setAt{0};
    std::vector<double> us;
};

DWORD Ponger(LPVOID context) {
    auto* p = static_cast<PingPong*>(context);
    for (size_t i = 0; i < kWakeups; ++i) {
        if (WaitForSingleObject(p->ping, 2000) != WAIT_OBJECT_0) break;
        p->us.push_back(double(NowNs() - p->setAt.load()) / 1000.0);
        SetEvent(p->pong);
    }
    return 0;
}

std::vector<double> EventWakeups(std::string* error) {
    PingPong p;
    p.us.reserve(kWakeups);
    p.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    p.pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = p.ping && p.pong ? CreateThread(nullptr, 0, Ponger, &p, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        *error = "no events or thread";
    } else {
        for (size_t i = 0; i < kWakeups; ++i) {
            p.setAt.store(NowNs());
            SetEvent(p.ping);
            if (WaitForSingleObject(p.pong, 2000) != WAIT_OBJECT_0) {
                *error = "the other thread did not answer";
                break;
            }
        }
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
    }
    if (p.ping) CloseHandle(p.ping);
    if (p.pong) CloseHandle(p.pong);
    return p.us;
}

// The machine booted in this process, its client process around the measurement.
template <typename Measure>
std::vector<double> InProcess(Measure measure, std::string* error) {
    q407::tools::DeviceRigOptions options;
    options.clockMode = q407::sim::ClockMode::Real;
    q407::tools::DeviceRig rig(options);
    if (!q407::tools::StartDeviceWithSettings(rig, q407::DefaultMixerSettings(), error)) return {};
    q407::sim::Process client("bench client");
    q407::sim::Process::Scope scope(client);
    return measure(error);
}

void BM_DeviceIoControlRoundTrip(benchmark::State& state) {
    for (auto _ : state) {
        std::string error;
        const std::vector<double> local = InProcess(ControlRoundTrips, &error);
        if (local.empty()) return state.SkipWithError(error.c_str());
        ServedMachine machine;
        if (!machine.Linked()) return state.SkipWithError(machine.Error().c_str());
        const std::vector<double> linked = ControlRoundTrips(&error);
        if (linked.empty()) return state.SkipWithError(error.c_str());
        Report(state, "ioctl", Summarise(local), Summarise(linked));
    }
}
BENCHMARK(BM_DeviceIoControlRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EventWakeup(benchmark::State& state) {
    for (auto _ : state) {
        std::string error;
        const std::vector<double> local = InProcess(EventWakeups, &error);
        if (local.size() < kWakeups) return state.SkipWithError(error.c_str());
        ServedMachine machine;
        if (!machine.Linked()) return state.SkipWithError(machine.Error().c_str());
        const std::vector<double> linked = EventWakeups(&error);
        if (linked.size() < kWakeups) return state.SkipWithError(error.c_str());
        Report(state, "event", Summarise(local), Summarise(linked));
    }
}
BENCHMARK(BM_EventWakeup)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
