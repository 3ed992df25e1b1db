// The capture completion's work on what the device sent: ProcessCapture over transfer buffers of
// any length filled with arbitrary units, with any received byte count, while the latency in the
// status record (mapped writable into client processes) takes any value. Runs on a started engine
// under the capture spin lock, as the completion does. Checked: whole units only are taken (never
// more than the buffer holds), the input ring's indices stay in 0..2*size-1 with at most size bytes
// readable, every whole period is distributed, and the meters stay in range.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_engine_rig.h"
#include "fuzz/fuzz_input.h"
#include "sim/host/trace_log.h"

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;

void CheckRing(const q407::RingBuffer& ring) {
    Check(ring.readIndex >= 0 && ring.readIndex < 2 * ring.size);
    Check(ring.writeIndex >= 0 && ring.writeIndex < 2 * ring.size);
    const int32_t available = q407::GetReadAvailable(&ring);
    Check(available >= 0 && available <= ring.size);
}

}  // namespace

// Starts the engine before the first input, so its start-up is not charged to one.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)q407::fuzzing::StartedRig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace q407;
    Input in(data, size);
    tools::EngineRig* rig = &fuzzing::StartedRig();
    StreamEngine& engine = rig->Engine();
    EngineStatus& status = rig->Status();
    Flush(&engine.m_InAudioRingBuffer);

    // Up to 16 transfers; each names its buffer length, its received count and a fill pattern.
    for (int transfers = 0; transfers < 16 && !in.Empty(); ++transfers) {
        status.latency = in.Word();
        const uint32_t length = in.Word() % (8 * kCaptureUnitBytes + 1);
        uint32_t received = in.Word();
        if (received & 0x80000000u)
            received %= 8 * kCaptureUnitBytes + 2;  // mostly near the buffer
        const uint8_t seed = in.Byte();
        const uint8_t step = in.Byte();

        // The buffer is exactly as long as the transfer says, so reading past it is caught.
        auto block = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
        for (uint32_t i = 0; i < length; ++i)
            block[i] = static_cast<uint8_t>(seed + step * i) ^ (i % 7 == 0 ? in.Byte() : 0);
        TransferRecord transfer{};
        transfer.buffer = block.get();
        transfer.length = length;

        const ULONG64 converted = engine.m_Counters.captureUnitsConverted;
        const ULONG64 dropped = engine.m_Counters.captureUnitsDropped;
        const int32_t before = GetReadAvailable(&engine.m_InAudioRingBuffer);
        const ULONG64 periods = engine.m_Counters.inputPeriods;

        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&engine.m_CaptureLock);
        engine.ProcessCapture(&transfer, received);
        KeReleaseSpinLock(&engine.m_CaptureLock, irql);

        const uint64_t units = (received < length ? received : length) / kCaptureUnitBytes;
        const uint64_t taken = engine.m_Counters.captureUnitsConverted - converted;
        Check(taken + (engine.m_Counters.captureUnitsDropped - dropped) == units);

        CheckRing(engine.m_InAudioRingBuffer);
        // The period length is latched at the stream reset; what a client writes into the status
        // record meanwhile must not change it.
        const ULONG latency = engine.m_PeriodFrames;
        Check(latency >= static_cast<ULONG>(kMinLatency) &&
              latency <= static_cast<ULONG>(kMaxLatency));
        const int64_t period =
            static_cast<int64_t>(latency) * static_cast<int64_t>(kCaptureFrameBytes);
        const int32_t after = GetReadAvailable(&engine.m_InAudioRingBuffer);
        Check(after < period);
        Check(after % static_cast<int32_t>(kCaptureFrameBytes) == 0);
        const uint64_t distributed = engine.m_Counters.inputPeriods - periods;
        Check(static_cast<int64_t>(before) + static_cast<int64_t>(taken * kAudioSlotBytes) ==
              static_cast<int64_t>(distributed) * period + after);
        for (UCHAR peak : status.inputPeak) Check(peak <= 127);
    }
    sim::TraceLog::Instance().Clear();
    return 0;
}
