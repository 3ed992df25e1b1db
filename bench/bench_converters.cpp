// Unit converters: each iteration converts one unit (capture: one 512-byte half unit, the
// converter's call). BM_CopyBytes copies as many bytes as one call writes, as the floor any
// converter can reach.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <random>

#include "usbdriver/engine/sample_converters.h"

namespace {

using q407::ConversionPair;
using q407::SampleConverter;

template <size_t N>
std::array<uint8_t, N> RandomBytes(uint32_t seed) {
    std::mt19937 rng(seed);
    std::array<uint8_t, N> bytes;
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

void BM_ConvertPlaybackUnit(benchmark::State& state, SampleConverter convert, bool saveState) {
    alignas(64) auto frames = RandomBytes<640>(1);
    alignas(64) std::array<uint8_t, 964> unit{};
    q407::ProcessorSaveArea area{};
    const ConversionPair pair = {frames.data(), unit.data()};
    for (auto _ : state) {
        if (saveState) q407::SaveExtendedProcessorState(&area);
        convert(&pair);
        if (saveState) q407::RestoreExtendedProcessorState(&area);
        benchmark::DoNotOptimize(unit.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 964);
}

void BM_ConvertCaptureHalfUnit(benchmark::State& state, SampleConverter convert, bool saveState) {
    alignas(64) auto unit = RandomBytes<512>(2);
    alignas(64) std::array<uint8_t, 512> frames{};
    q407::ProcessorSaveArea area{};
    const ConversionPair pair = {unit.data(), frames.data()};
    for (auto _ : state) {
        if (saveState) q407::SaveExtendedProcessorState(&area);
        convert(&pair);
        if (saveState) q407::RestoreExtendedProcessorState(&area);
        benchmark::DoNotOptimize(frames.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
}

void BM_CopyBytes(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    alignas(64) auto source = RandomBytes<1024>(3);
    alignas(64) std::array<uint8_t, 1024> target{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(target.data(), source.data(), n);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// The saving set is measured as the engine's worst case: one unit per save and restore.
BENCHMARK_CAPTURE(BM_ConvertPlaybackUnit, portable, &q407::ConvertPlaybackUnitPortable, false);
BENCHMARK_CAPTURE(BM_ConvertPlaybackUnit, vectorised, &q407::ConvertPlaybackUnitVectorised, false);
BENCHMARK_CAPTURE(BM_ConvertPlaybackUnit, saving, &q407::ConvertPlaybackUnitStateSaving, true);
BENCHMARK_CAPTURE(BM_ConvertCaptureHalfUnit, portable, &q407::ConvertCaptureHalfUnitPortable,
                  false);
BENCHMARK_CAPTURE(BM_ConvertCaptureHalfUnit, vectorised, &q407::ConvertCaptureHalfUnitVectorised,
                  false);
BENCHMARK_CAPTURE(BM_ConvertCaptureHalfUnit, saving, &q407::ConvertCaptureHalfUnitStateSaving,
                  true);
// The variants behind the vectorised sets (AVX2 only with its state saved), and the hooks alone.
BENCHMARK_CAPTURE(BM_ConvertPlaybackUnit, sse2, &q407::ConvertPlaybackUnitSse2, false);
BENCHMARK_CAPTURE(BM_ConvertPlaybackUnit, avx2, &q407::ConvertPlaybackUnitAvx2, true);
BENCHMARK_CAPTURE(BM_ConvertCaptureHalfUnit, sse2, &q407::ConvertCaptureHalfUnitSse2, false);
BENCHMARK_CAPTURE(BM_ConvertCaptureHalfUnit, avx2, &q407::ConvertCaptureHalfUnitAvx2, true);

void BM_SaveRestoreProcessorState(benchmark::State& state) {
    q407::ProcessorSaveArea area{};
    for (auto _ : state) {
        q407::SaveExtendedProcessorState(&area);
        q407::RestoreExtendedProcessorState(&area);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SaveRestoreProcessorState);

// 964: the bytes of one playback unit; 512: one capture half unit.
BENCHMARK(BM_CopyBytes)->Arg(964)->Arg(512);

}  // namespace
