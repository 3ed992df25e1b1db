// MIDI IN as the device delivers it: ProcessMidiInput over transfers of any length and content
// (exactly sized buffers), under the MIDI IN spin lock, mixed with clients opening and closing
// the port and reading bytes, at whatever rate the status record (writable by clients) names
// when the stream state is reset. Checked against a model queue: the examined bytes of each
// transfer that are not idle arrive in order while there is room, nothing else arrives, and the
// ring's indices stay in 0..2*size-1.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "fuzz/fuzz_engine_rig.h"
#include "fuzz/fuzz_input.h"
#include "sim/host/trace_log.h"

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;

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
    RingBuffer& ring = engine.m_MidiInRingBuffer;

    // Each input starts with the port closed and the stream state reset at a fuzzed rate.
    const uint32_t oldRate = rig->Status().sampleRate;
    rig->Status().sampleRate = in.Byte() & 1 ? in.Word() : kSampleRates[in.Byte() % 4];
    engine.ResetStreamState();
    rig->Status().sampleRate = oldRate;
    engine.m_MidiInOpenCount = 0;
    Flush(&ring);
    const ULONG perTransfer = engine.m_MidiInByteCount < 4 ? engine.m_MidiInByteCount : 4;
    Check(perTransfer == 2 || perTransfer == 4);

    LONG open = 0;
    std::deque<uint8_t> model;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % 5) {
            case 0:
            case 1: {
                const uint32_t length = in.Byte() % 12;
                auto block = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
                for (uint32_t i = 0; i < length; ++i) block[i] = op & 0x80 ? 0xFD : in.Byte();
                if (length > 0 && (op & 0x40)) block[0] = in.Byte();
                const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&engine.m_MidiInLock);
                engine.ProcessMidiInput(block.get(), length);
                KeReleaseSpinLock(&engine.m_MidiInLock, irql);
                if (open > 0) {
                    for (uint32_t i = 0; i < length && i < perTransfer; ++i)
                        if (block[i] != kMidiIdleByte &&
                            model.size() < static_cast<size_t>(kMidiInRingBytes))
                            model.push_back(block[i]);
                }
                break;
            }
            case 2: {
                const ULONG value = engine.ReadMidiInByte(0);
                if (model.empty()) {
                    Check(value == 0xFFFFFFFFu);
                } else {
                    Check(value == model.front());
                    model.pop_front();
                }
                break;
            }
            case 3:
                engine.OpenMidiPort(0, 1);
                if (open <= 0) {
                    open = 0;
                    model.clear();
                }
                ++open;
                break;
            default:
                engine.CloseMidiPort(0, 1);
                if (--open <= 0) {
                    open = 0;
                    model.clear();
                }
                break;
        }
        Check(engine.m_MidiInOpenCount == open);
        Check(ring.readIndex >= 0 && ring.readIndex < 2 * ring.size);
        Check(ring.writeIndex >= 0 && ring.writeIndex < 2 * ring.size);
        Check(GetReadAvailable(&ring) == static_cast<int32_t>(model.size()));
    }
    engine.m_MidiInOpenCount = 0;
    Flush(&ring);
    sim::TraceLog::Instance().Clear();
    return 0;
}
