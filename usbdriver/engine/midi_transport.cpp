// MIDI and codec command bytes. Outgoing bytes ride in the gaps of the playback units, MIDI
// paced so that the device's MIDI output is never fed faster than the wire takes; incoming MIDI
// arrives on the bulk pipe, 5 bytes per transfer padded with the idle value.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

// A slot may carry a MIDI byte where the entry is non-zero. Two slots per 20 frames.
constexpr UCHAR kPacing44k[] = {1, 2, 0, 3, 4, 5, 0};
constexpr UCHAR kPacing48k[] = {1, 2, 0, 3, 4, 0, 5, 6, 0, 7, 0};
constexpr UCHAR kPacing88k[] = {1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0, 5, 0};
constexpr UCHAR kPacing96k[] = {1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0, 5, 0, 0, 6, 0, 0, 7, 0, 0, 0};

constexpr ULONG kMidiInBytesExamined = 4;  // the fifth byte of a transfer is never examined

UCHAR TakeByte(RingBuffer* ring) {
    UCHAR value = 0;
    (void)Read(ring, &value, 1);
    return value;
}

}  // namespace

void StreamEngine::SelectMidiPacing(ULONG rate) {
    switch (rate) {
        case 48000:
            m_MidiPacingTable = kPacing48k;
            m_MidiPacingLength = sizeof(kPacing48k);
            break;
        case 88200:
            m_MidiPacingTable = kPacing88k;
            m_MidiPacingLength = sizeof(kPacing88k);
            break;
        case 96000:
            m_MidiPacingTable = kPacing96k;
            m_MidiPacingLength = sizeof(kPacing96k);
            break;
        default:
            m_MidiPacingTable = kPacing44k;
            m_MidiPacingLength = sizeof(kPacing44k);
            break;
    }
}

void StreamEngine::FillUnitGapBytes(PUCHAR unit) {
    static constexpr ULONG kGaps[2][2] = {
        {kPlaybackMidiByteOffset0, kPlaybackCommandByteOffset0},
        {kPlaybackMidiByteOffset1, kPlaybackCommandByteOffset1},
    };
    for (const auto& gap : kGaps) {
        UCHAR midi = kMidiIdleByte;
        if (GetReadAvailable(&m_MidiOutRingBuffer) > 0 && m_MidiPacingTable != nullptr &&
            m_MidiPacingLength != 0) {
            // The slot counter moves only while bytes wait, so pacing restarts with each burst.
            if (m_MidiPacingTable[m_MidiOutSlotCounter % m_MidiPacingLength] != 0) {
                midi = TakeByte(&m_MidiOutRingBuffer);
                ++m_Counters.midiOutBytes;
            }
            ++m_MidiOutSlotCounter;
        }
        unit[gap[0]] = midi;

        UCHAR command = kCommandIdleByte;
        if (GetReadAvailable(&m_CommandRingBuffer) > 0) {
            command = TakeByte(&m_CommandRingBuffer);
            ++m_Counters.commandBytes;
        }
        unit[gap[1]] = command;
    }
}

void StreamEngine::ProcessMidiInput(const UCHAR* data, ULONG length) {
    ++m_Counters.midiInCompletions;
    if (InterlockedCompareExchange(&m_MidiInOpenCount, 0, 0) == 0) return;
    ULONG examined =
        m_MidiInByteCount < kMidiInBytesExamined ? m_MidiInByteCount : kMidiInBytesExamined;
    // A short transfer leaves the rest of the buffer as the previous one wrote it.
    if (examined > length) examined = length;
    for (ULONG i = 0; i < examined; ++i) {
        if (data[i] == kMidiIdleByte) continue;
        if (Write(&m_MidiInRingBuffer, &data[i], 1) == 1) ++m_Counters.midiInBytes;
    }
    const EngineNotifications* facade = m_Facade;
    if (facade != nullptr && facade->NotifyMidiIn != nullptr) facade->NotifyMidiIn(facade->context);
}

void StreamEngine::OpenMidiPort(LONG port, LONG input) {
    UNREFERENCED_PARAMETER(port);
    if (input != 0) {
        // With no port open nobody reads the ring; the MIDI input completion writes it under its
        // lock, so emptying it there leaves it consistent.
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_MidiInLock);
        if (m_MidiInOpenCount <= 0) {
            InterlockedExchange(&m_MidiInOpenCount, 0);
            Flush(&m_MidiInRingBuffer);
        }
        InterlockedIncrement(&m_MidiInOpenCount);
        KeReleaseSpinLock(&m_MidiInLock, irql);
    } else {
        InterlockedIncrement(&m_MidiOutOpenCount);
    }
}

void StreamEngine::CloseMidiPort(LONG port, LONG input) {
    UNREFERENCED_PARAMETER(port);
    if (input != 0) {
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_MidiInLock);
        if (InterlockedDecrement(&m_MidiInOpenCount) <= 0) {
            InterlockedExchange(&m_MidiInOpenCount, 0);
            Flush(&m_MidiInRingBuffer);
        }
        KeReleaseSpinLock(&m_MidiInLock, irql);
    } else {
        InterlockedDecrement(&m_MidiOutOpenCount);
    }
}

LONG StreamEngine::WriteMidiOutByte(LONG port, UCHAR value) {
    UNREFERENCED_PARAMETER(port);
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_ClientRingLock);
    const LONG written = Write(&m_MidiOutRingBuffer, &value, 1) == 1 ? 1 : 0;
    KeReleaseSpinLock(&m_ClientRingLock, irql);
    return written;
}

ULONG StreamEngine::ReadMidiInByte(LONG port) {
    UNREFERENCED_PARAMETER(port);
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_ClientRingLock);
    const ULONG value =
        GetReadAvailable(&m_MidiInRingBuffer) <= 0 ? 0xFFFFFFFFu : TakeByte(&m_MidiInRingBuffer);
    KeReleaseSpinLock(&m_ClientRingLock, irql);
    return value;
}

LONG StreamEngine::WriteCommandBytes(LONG length, const UCHAR* data) {
    if (length <= 0 || data == nullptr) return 0;
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_ClientRingLock);
    const LONG written = Write(&m_CommandRingBuffer, data, length);
    KeReleaseSpinLock(&m_ClientRingLock, irql);
    return written;
}

}  // namespace q407
