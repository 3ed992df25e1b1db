// The cost of the two requests the ASIO driver's notification thread sends every period
// (GetLatency and ReadSettings, whose answer copies the whole settings block) to notice a change
// made in the control panel, through the emulated I/O manager from a client process, and the
// share of the shortest period (L = 32 at 96 kHz, 333 us) they take.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "shared/control_message.h"
#include "sim/host/process.h"
#include "tools/device_client.h"
#include "tools/device_rig.h"

namespace {

constexpr double kShortestPeriodNs = 1e9 * 32.0 / 96000.0;

// GetLatency and ReadSettings, as the notification thread sends them every period.
void BM_NotificationThreadRequests(benchmark::State& state) {
    q407::tools::DeviceRig rig;
    std::string error;
    if (!q407::tools::StartDeviceWithSettings(rig, q407::DefaultMixerSettings(), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    q407::sim::Process client("bench client");
    q407::sim::Process::Scope scope(client);
    q407::tools::DeviceConnection device;
    if (!q407::tools::OpenQ407Device(&device)) {
        state.SkipWithError("the device did not open");
        return;
    }
    alignas(8) unsigned char area[1872] = {};
    for (auto _ : state) {
        q407::ControlMessage latency =
            q407::MakeControlMessage(q407::SettingsAndPanelType::GetLatency);
        q407::ControlMessage settings =
            q407::MakeControlMessage(q407::SettingsAndPanelType::ReadSettings);
        q407::SetU64(settings, q407::cm::kSettingsAddress, reinterpret_cast<uint64_t>(area));
        if (!q407::tools::SendControlMessage(device.handle, &latency) ||
            !q407::tools::SendControlMessage(device.handle, &settings)) {
            state.SkipWithError("a request failed");
            break;
        }
        benchmark::DoNotOptimize(area);
    }
    q407::tools::CloseQ407Device(&device);
    // The time of a pair of requests over the period's: elapsed seconds over iterations x period.
    state.counters["period_share"] =
        benchmark::Counter(double(state.iterations()) * kShortestPeriodNs / 1e9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_NotificationThreadRequests)->Unit(benchmark::kMicrosecond);

}  // namespace
