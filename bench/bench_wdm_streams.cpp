// Cost of the port-class driver's side of streaming: one iteration is one second of audio at
// 96 kHz on a virtual Q407 LX in virtual time, with a 16-bit stereo playback and a 16-bit stereo
// recording stream on each of ZEL_Wave1..4 and a 16-bit 8-channel playback stream on ZEL_Wave9:
// the streams' services, the conversion between the clients' 16-bit samples and the engine's
// 32-bit ones, and the ring moves. The machine's own cost (the engine, the emulated bus and device,
// the client's pumping) is taken out by timing, in the same iteration, a second in which only one
// recording stream keeps the device streaming; the difference is the measured time. The baseline
// copies the clients' bytes of one second with memcpy; ratio_vs_copy is the WDM side's cost in
// copies of what its clients move. Times are the process's CPU time (every emulated processor's
// and the client's), so that waiting and other programs on the machine do not count.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

namespace {

using q407::tools::CaptureStream;
using q407::tools::PlaybackStream;

constexpr uint32_t kRate = 96000;
constexpr double kStep = 0.01;
constexpr int kCopies = 20;  // memcpy rounds per iteration, for a time well above the clock's step

double ProcessSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

double SecondOfStreaming(q407::tools::WdmMachine& machine, std::vector<PlaybackStream>& plays,
                         std::vector<CaptureStream>& captures) {
    const double start = ProcessSeconds();
    for (double t = 0; t < 1.0 - 1e-9; t += kStep) {
        for (PlaybackStream& p : plays) (void)p.Pump();  // a drained stream simply idles
        machine.Advance(kStep);
        for (CaptureStream& c : captures) c.Pump(SIZE_MAX);
    }
    return ProcessSeconds() - start;
}

std::vector<uint8_t> Silence(int channels, double seconds) {
    // Never-zero samples, so that every conversion does real work.
    std::vector<std::vector<int32_t>> s(static_cast<size_t>(channels),
                                        std::vector<int32_t>(size_t(seconds * kRate), 0x00210000));
    return q407::tools::PackSamples(s, 16);
}

void BM_WdmStreamsSecondAt96k(benchmark::State& state) {
    q407::tools::WdmMachine machine;
    q407::tools::WdmMachineOptions options;
    options.rate = kRate;
    std::string error;
    if (!machine.Boot(options, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    q407::tools::ClientScope scope(machine);
    // The stream that keeps the device running in both halves of the measurement.
    std::vector<CaptureStream> keeper(1);
    std::vector<PlaybackStream> none;
    if (keeper[0].Open(L"ZEL_Wave8", q407::tools::PinFormat(kRate, 2, 16, false)) != 0 ||
        keeper[0].Start() != 0) {
        state.SkipWithError("ZEL_Wave8 did not record");
        return;
    }
    const size_t clientBytes = size_t(kRate) * (4 * 2 * 2 + 4 * 2 * 2 + 8 * 2);
    std::vector<uint8_t> from(clientBytes, 0x5A), to(clientBytes);
    double wdm = 0, copy = 0;
    for (auto _ : state) {
        const double base = SecondOfStreaming(machine, none, keeper);
        std::vector<PlaybackStream> plays(5);
        std::vector<CaptureStream> captures(4);
        bool opened = true;
        for (int k = 1; k <= 4; ++k) {
            const std::wstring name = L"ZEL_Wave" + std::to_wstring(k);
            opened = opened &&
                     plays[size_t(k - 1)].Open(name, q407::tools::PinFormat(kRate, 2, 16, false),
                                               Silence(2, 1.2)) == 0 &&
                     captures[size_t(k - 1)].Open(name,
                                                  q407::tools::PinFormat(kRate, 2, 16, false)) == 0;
        }
        opened = opened && plays[4].Open(L"ZEL_Wave9", q407::tools::PinFormat(kRate, 8, 16, true),
                                         Silence(8, 1.2)) == 0;
        for (auto& p : plays) opened = opened && p.Start() == 0;
        for (auto& c : captures) opened = opened && c.Start() == 0;
        if (!opened) {
            state.SkipWithError("a WDM stream did not open or start");
            return;
        }
        captures.push_back(std::move(keeper[0]));
        const double full = SecondOfStreaming(machine, plays, captures);
        keeper[0] = std::move(captures.back());
        captures.pop_back();
        for (auto& p : plays) p.Close();
        for (auto& c : captures) c.Close();

        const double c0 = ProcessSeconds();
        for (int i = 0; i < kCopies; ++i) {
            std::memcpy(to.data(), from.data(), clientBytes);
            benchmark::DoNotOptimize(to.data());
            benchmark::ClobberMemory();
        }
        const double c = (ProcessSeconds() - c0) / kCopies;
        const double w = full > base ? full - base : 0.0;
        state.SetIterationTime(w);
        wdm += w;
        copy += c;
    }
    keeper[0].Close();
    state.counters["client_bytes_per_second"] = double(clientBytes);
    state.counters["copy_us"] = 1e6 * copy / double(state.iterations());
    state.counters["ratio_vs_copy"] = copy > 0 ? wdm / copy : 0.0;
}
BENCHMARK(BM_WdmStreamsSecondAt96k)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
