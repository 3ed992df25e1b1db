// The ASIO buffer switch's wake-up across processes: from the USB driver setting the host's event
// at the end of an input period to the host's bufferSwitch callback, over 10,000 periods at
// L = 32 and 96 kHz, with the host in this process and the machine in another, beside the same
// with both in this process (as bench_asio_wakeup.cpp measures it), in the same run. This file
// also holds the served machine's side: the child process boots the machine with these settings
// and serves it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/served_machine.h"
#include "sim/service/audio_handlers.h"
#include "sim/service/machine_server.h"
#include "tools/asio_device_session.h"

namespace {

using q407::bench::EventStamp;
using q407::bench::kServeSocketEnv;
using q407::bench::kServeStampEnv;
using q407::bench::MapStamp;
using q407::bench::NowNs;
using q407::bench::ServedMachine;
using q407::bench::Summarise;

constexpr size_t kPeriods = 10000;
constexpr uint32_t kRate = 96000;
constexpr uint32_t kLatency = 32;

EventStamp* g_stamp = nullptr;

void StampEventSet() {
    g_stamp->setAt.store(NowNs());
    g_stamp->sets.fetch_add(1);
}

// The child's one benchmark: the machine, until the parent closes our standard input.
void ServeMachine(benchmark::State& state) {
    for (auto _ : state) {
        g_stamp = MapStamp(std::getenv(kServeStampEnv));
        if (g_stamp == nullptr) return state.SkipWithError("no stamp page");
        q407::tools::DeviceSessionOptions options;
        options.rate = kRate;
        options.latency = kLatency;
        options.buffers = 2;
        options.realTime = true;
        q407::tools::DeviceSession session;
        std::string error;
        if (!session.Boot(options, &error)) return state.SkipWithError(error.c_str());
        session.SetAsioEventProbe(StampEventSet);
        q407::service::MachineServer server({std::getenv(kServeSocketEnv)});
        q407::service::AddAudioHandlers(server.Handlers());
        if (!server.Start(&error)) return state.SkipWithError(error.c_str());
        char byte;
        while (read(STDIN_FILENO, &byte, 1) > 0) {
        }
        server.Stop();
        session.SetAsioEventProbe(nullptr);
    }
}

const bool g_serving = [] {
    if (std::getenv(kServeSocketEnv) != nullptr)
        benchmark::RegisterBenchmark("ServeMachine", ServeMachine)->Iterations(1);
    return true;
}();

using q407::bench::Percentiles;

void Report(benchmark::State& state, const Percentiles& local, const Percentiles& linked) {
    state.counters["asio_local_p50_us"] = local.p50;
    state.counters["asio_local_p99_us"] = local.p99;
    state.counters["asio_linked_p50_us"] = linked.p50;
    state.counters["asio_linked_p99_us"] = linked.p99;
    state.counters["asio_ratio_p50"] = local.p50 > 0 ? linked.p50 / local.p50 : 0;
    state.counters["asio_ratio_p99"] = local.p99 > 0 ? linked.p99 / local.p99 : 0;
}

// Buffer switches of an ASIO session, each timed from the stamp of the event's setting.
struct SwitchTimes {
    std::vector<double> us;
    std::string error;
};

q407::tools::AsioSessionRequest SwitchRequest(EventStamp* stamp, std::vector<double>* us,
                                              std::atomic<size_t>* count) {
    q407::tools::AsioSessionRequest request;
    request.outputs = {0};
    request.inputs = {0};
    request.frames = (kPeriods + 32) * kLatency;
    request.switched = [stamp, us, count] {
        const size_t i = count->load();
        if (i < us->size()) {
            (*us)[i] = double(NowNs() - stamp->setAt.load()) / 1000.0;
            count->store(i + 1);
        }
    };
    return request;
}

// The first switches wait for the stream's start-up: not part of the steady state.
std::vector<double> SteadyState(const std::vector<double>& us, size_t n) {
    const size_t skip = n > kPeriods ? n - kPeriods : 0;
    return {us.begin() + static_cast<long>(skip), us.begin() + static_cast<long>(n)};
}

SwitchTimes LocalSwitches() {
    SwitchTimes out;
    q407::tools::DeviceSessionOptions options;
    options.rate = kRate;
    options.latency = kLatency;
    options.buffers = 2;
    options.realTime = true;
    q407::tools::DeviceSession session;
    if (!session.Boot(options, &out.error)) return out;
    EventStamp stamp{};
    g_stamp = &stamp;
    session.SetAsioEventProbe(StampEventSet);
    std::vector<double> us(kPeriods + 64);
    std::atomic<size_t> count{0};
    q407::tools::DeviceSessionResult result;
    const auto failure = session.Run(SwitchRequest(&stamp, &us, &count), &result, &out.error);
    session.SetAsioEventProbe(nullptr);
    g_stamp = nullptr;
    if (failure == q407::tools::AsioSessionFailure::None)
        out.us = SteadyState(us, std::min(count.load(), us.size()));
    return out;
}

SwitchTimes LinkedSwitches(EventStamp* stamp) {
    SwitchTimes out;
    std::vector<double> us(kPeriods + 64);
    std::atomic<size_t> count{0};
    q407::tools::DeviceSessionResult result;
    const auto failure =
        q407::tools::RunLinkedSession("", SwitchRequest(stamp, &us, &count), &result, &out.error);
    if (failure == q407::tools::AsioSessionFailure::None)
        out.us = SteadyState(us, std::min(count.load(), us.size()));
    return out;
}

void BM_AsioBufferSwitchWakeup(benchmark::State& state) {
    for (auto _ : state) {
        const SwitchTimes local = LocalSwitches();
        if (local.us.empty()) return state.SkipWithError(("in process: " + local.error).c_str());
        ServedMachine machine;
        if (!machine.Linked()) return state.SkipWithError(machine.Error().c_str());
        const SwitchTimes linked = LinkedSwitches(machine.Stamp());
        if (linked.us.empty()) return state.SkipWithError(("linked: " + linked.error).c_str());
        Report(state, Summarise(local.us), Summarise(linked.us));
        state.counters["linked_periods"] = double(linked.us.size());
    }
}
BENCHMARK(BM_AsioBufferSwitchWakeup)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
