// The engine's own rings and their storage, created once at initialisation and freed with the
// device.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

PUCHAR AllocateZeroed(SIZE_T bytes) {
    auto* p = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType(), bytes, kEnginePoolTag));
    if (p != nullptr) RtlZeroMemory(p, bytes);
    return p;
}

void FreeStorage(PUCHAR& p) {
    if (p != nullptr) ExFreePoolWithTag(p, kEnginePoolTag);
    p = nullptr;
}

// A ring whose storage is missing stays zeroed: it reads as empty and full and is never written.
void CreateRing(RingBuffer* ring, PUCHAR& storage, SIZE_T storageBytes, int32_t elementSize,
                int32_t elements, int32_t channels, const char* failureTrace) {
    storage = AllocateZeroed(storageBytes);
    if (storage == nullptr ||
        Initialize(ring, elementSize, elements, storage, channels, elementSize) != 0) {
        FreeStorage(storage);
        RtlZeroMemory(ring, sizeof(*ring));
        ENGINE_TRACE("%s", failureTrace);
    }
}

}  // namespace

void StreamEngine::CreateRings() {
    FreeRings();
    CreateRing(&m_AsioOutRingBuffer, m_AsioOutStorage, SIZE_T(kAsioRingElements) * 4, 4,
               kAsioRingElements, kOutputChannelCount, "ASIO buffer empty\n");
    CreateRing(&m_MidiOutRingBuffer, m_MidiOutStorage, kMidiOutRingBytes, 1, kMidiOutRingBytes, 1,
               "MIDI OUT buffer empty\n");
    CreateRing(&m_CommandRingBuffer, m_CommandStorage, kCommandRingBytes, 1, kCommandRingBytes, 1,
               "CODEC buffer empty\n");
    CreateRing(&m_MidiInRingBuffer, m_MidiInStorage, kMidiInRingBytes, 1, kMidiInRingBytes, 1,
               "Midi IN buffer empty\n");
    CreateRing(&m_InAudioRingBuffer, m_InAudioStorage, kInAudioRingBytes, 1, kInAudioRingBytes, 1,
               "RingBuffer IN buffer empty\n");
    CreateRing(&m_OutAudioRingBuffer, m_OutAudioStorage, kOutAudioRingAllocation, 1,
               kOutAudioRingBytes, kOutputChannelCount, "m_OutAudioRingBuffer buffer empty\n");
    m_MidiInBuffer = AllocateZeroed(kMidiInTransferBytes);
    m_ZeroBuffer = reinterpret_cast<LONG*>(AllocateZeroed(kZeroBufferBytes));
}

NTSTATUS StreamEngine::CreateRoutingRings() {
    FreeStorage(m_RoutingStorage);
    RtlZeroMemory(m_RoutingRings, sizeof(m_RoutingRings));
    RtlZeroMemory(m_RoutingRingSlots, sizeof(m_RoutingRingSlots));
    m_RoutingStorage = AllocateZeroed(kRoutingPoolBytes);
    if (m_RoutingStorage == nullptr) return STATUS_NO_MEMORY;

    const SIZE_T ringBytes = SIZE_T(kRoutingRingElements) * sizeof(LONG);
    SIZE_T offset = 0;
    for (ULONG i = 0; i < kRoutingRingCount; ++i) {
        if (offset + ringBytes > kRoutingPoolBytes) return STATUS_UNSUCCESSFUL;
        (void)Initialize(&m_RoutingRings[i], sizeof(LONG), kRoutingRingElements,
                         m_RoutingStorage + offset, 1, sizeof(LONG));
        offset += ringBytes;
    }
    // Capture channels of MME, then of ASIO; the other kinds receive no routed signal.
    for (LONG c = 0; c < kChannelSlotCount; ++c) {
        m_RoutingRingSlots[RouteRecordIndex(ClientKind::MME, c)] = &m_RoutingRings[c];
        m_RoutingRingSlots[RouteRecordIndex(ClientKind::ASIO, c)] =
            &m_RoutingRings[kChannelSlotCount + c];
    }
    return STATUS_SUCCESS;
}

void StreamEngine::FreeRings() {
    FreeStorage(m_AsioOutStorage);
    FreeStorage(m_MidiOutStorage);
    FreeStorage(m_CommandStorage);
    FreeStorage(m_MidiInStorage);
    FreeStorage(m_InAudioStorage);
    FreeStorage(m_OutAudioStorage);
    FreeStorage(m_RoutingStorage);
    FreeStorage(m_MidiInBuffer);
    PUCHAR zero = reinterpret_cast<PUCHAR>(m_ZeroBuffer);
    FreeStorage(zero);
    m_ZeroBuffer = nullptr;
    RtlZeroMemory(&m_AsioOutRingBuffer, sizeof(RingBuffer));
    RtlZeroMemory(&m_MidiOutRingBuffer, sizeof(RingBuffer));
    RtlZeroMemory(&m_CommandRingBuffer, sizeof(RingBuffer));
    RtlZeroMemory(&m_MidiInRingBuffer, sizeof(RingBuffer));
    RtlZeroMemory(&m_InAudioRingBuffer, sizeof(RingBuffer));
    RtlZeroMemory(&m_OutAudioRingBuffer, sizeof(RingBuffer));
    RtlZeroMemory(m_RoutingRings, sizeof(m_RoutingRings));
    RtlZeroMemory(m_RoutingRingSlots, sizeof(m_RoutingRingSlots));
}

}  // namespace q407
