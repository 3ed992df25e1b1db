// The completions' per-transfer work on what the device sent, called directly on a started engine.
#include <vector>

#include "engine_fixture.h"

namespace q407::test {
namespace {

class CaptureWorkTest : public EngineTest {
  protected:
    struct Taken {
        ULONG64 converted;
        ULONG64 dropped;
    };
    // One capture completion's work on a buffer of `length` bytes that reports `received`.
    Taken Process(ULONG length, ULONG received) {
        std::vector<UCHAR> buffer(length, 0x5A);
        TransferRecord transfer{};
        transfer.buffer = buffer.data();
        transfer.length = length;
        StreamEngine& e = Engine();
        const EngineCounters before = e.m_Counters;
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&e.m_CaptureLock);
        e.ProcessCapture(&transfer, received);
        KeReleaseSpinLock(&e.m_CaptureLock, irql);
        return {e.m_Counters.captureUnitsConverted - before.captureUnitsConverted,
                e.m_Counters.captureUnitsDropped - before.captureUnitsDropped};
    }
};

TEST_F(CaptureWorkTest, ReceivedCountBeyondTheBufferTakesOnlyTheUnitsTheBufferHolds) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Flush(&Engine().m_InAudioRingBuffer);
    // One whole unit and a part of the next in the buffer; the count claims four units.
    Taken t = Process(1500, 4096);
    EXPECT_EQ(t.converted, 1u);
    EXPECT_EQ(t.dropped, 0u);

    t = Process(2048, 0xFFFFFFFFu);
    EXPECT_EQ(t.converted, 2u);
    t = Process(0, 1024);
    EXPECT_EQ(t.converted + t.dropped, 0u);
    // Within the buffer the count decides: a partial unit is not taken.
    t = Process(4096, 3000);
    EXPECT_EQ(t.converted, 2u);
}

}  // namespace
}  // namespace q407::test
