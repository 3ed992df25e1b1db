// The three pipe completion routines and the per-transfer work of the audio pipes. The work runs
// at DISPATCH_LEVEL under the pipe's own spin lock, and every transfer goes down again at once,
// after the lock is released: the device's sample clock paces the whole engine.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr ULONG kPlaybackSlotSampleBytes = kPlaybackUnitFrames * 32;  // 640 bytes per slot

// How a transfer ended: removal and cancellation retire it; any other error is one the pipe
// restarts from, whether the IRP or only the URB reports it.
enum TransferEnd : LONG { EndData, EndError, EndCancelled, EndRemoved };

TransferEnd EndOf(PIRP irp, const TransferRecord* transfer) {
    const NTSTATUS irpStatus = irp->IoStatus.Status;
    const USBD_STATUS urbStatus = transfer->urb->UrbHeader.Status;
    if (urbStatus == USBD_STATUS_DEVICE_GONE || irpStatus == STATUS_DEVICE_NOT_CONNECTED ||
        irpStatus == STATUS_NO_SUCH_DEVICE || irpStatus == STATUS_DEVICE_REMOVED)
        return EndRemoved;
    if (irpStatus == STATUS_CANCELLED || urbStatus == USBD_STATUS_CANCELED) return EndCancelled;
    if (!NT_SUCCESS(irpStatus) || !USBD_SUCCESS(urbStatus)) return EndError;
    return EndData;
}

void Retire(TransferRecord* transfer) {
    PipeGroup* group = transfer->group;
    if (InterlockedDecrement(&group->pending) == 0)
        KeSetEvent(&group->drained, IO_NO_INCREMENT, FALSE);
}

// Bytes the device actually moved, never more than the buffer.
ULONG ReceivedBytes(const TransferRecord* transfer) {
    const ULONG moved = transfer->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    return moved < transfer->length ? moved : transfer->length;
}

// The head every completion shares, under the pipe's lock. A removed device, a stopping or
// given-up group and a cancellation retire the transfer; an error (or a transfer that comes back
// while the pipe restarts) is held for the restart. Otherwise the lock is still held on return,
// at *irql, and the data is the completion's to process. One instance per lock, so that each
// routine's copy folds into it.
template <KSPIN_LOCK StreamEngine::*Lock>
BOOLEAN EnterCompletion(PIRP irp, TransferRecord* transfer, StreamEngine* engine, KIRQL* irql) {
    const TransferEnd end = EndOf(irp, transfer);
    PipeGroup* group = transfer->group;
    *irql = KeAcquireSpinLockRaiseToDpc(&(engine->*Lock));
    if (end == EndRemoved || group->stopping != 0 || group->gaveUp != 0 ||
        (end == EndCancelled && group->restarting == 0)) {
        KeReleaseSpinLock(&(engine->*Lock), *irql);
        Retire(transfer);
        return FALSE;
    }
    if (end != EndData) {
        engine->HoldForRestart(transfer, end == EndError, irp->IoStatus.Status,
                               transfer->urb->UrbHeader.Status);
        KeReleaseSpinLock(&(engine->*Lock), *irql);
        return FALSE;
    }
    InterlockedExchange(&group->failedRestarts, 0);
    return TRUE;
}

// The tail every completion shares: under the lock the transfer is held for a restart that has
// begun meanwhile, or its IRP is readied; it goes down once the lock is released, because the
// lower driver may complete it at once, inside IofCallDriver, and this routine then runs again.
// A stop that comes after the lock is released finds the IRP ready and cancels it on its way.
template <KSPIN_LOCK StreamEngine::*Lock>
void LeaveCompletion(TransferRecord* transfer, StreamEngine* engine, KIRQL irql) {
    if (transfer->group->restarting != 0) {
        engine->HoldForRestart(transfer, FALSE, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        KeReleaseSpinLock(&(engine->*Lock), irql);
        return;
    }
    engine->PrepareTransfer(transfer);
    KeReleaseSpinLock(&(engine->*Lock), irql);
    // The completion routine sees every outcome of the call, so its status adds nothing here.
    (void)IofCallDriver(engine->m_LowerDevice, transfer->irp);
}

// An input pipe's completion: the transfer is processed under the pipe's lock and goes down
// again after it.
template <KSPIN_LOCK StreamEngine::*Lock, void (*Process)(StreamEngine&, TransferRecord*)>
NTSTATUS CompleteInput(PIRP irp, PVOID context) {
    auto* transfer = static_cast<TransferRecord*>(context);
    StreamEngine* engine = transfer->group->engine;
    KIRQL irql = PASSIVE_LEVEL;
    if (!EnterCompletion<Lock>(irp, transfer, engine, &irql))
        return STATUS_MORE_PROCESSING_REQUIRED;
    Process(*engine, transfer);
    LeaveCompletion<Lock>(transfer, engine, irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void ProcessCaptureTransfer(StreamEngine& engine, TransferRecord* transfer) {
    engine.ProcessCapture(transfer, ReceivedBytes(transfer));
}

void ProcessMidiInTransfer(StreamEngine& engine, TransferRecord* transfer) {
    engine.ProcessMidiInput(transfer->buffer, ReceivedBytes(transfer));
}

}  // namespace

void StreamEngine::ProcessPlayback(TransferRecord* transfer) {
    NoteFirstCompletion(&m_FirstPlaybackTime);
    const ULONG units = static_cast<ULONG>(transfer->length / kPlaybackUnitBytes);
    const ULONG frames = units * kPlaybackUnitFrames;
    const ULONG half = m_CurrentOutputHalf;
    if (m_HalfQueued != 0) {
        MixOutput(half, frames);
        m_HalfQueued = 0;
    }

    // Queue the half into the output ring, one 1,024-byte slot per unit.
    const LONG* samples = m_OutputStaging[half];
    for (ULONG u = 0; u < units && samples != nullptr; ++u) {
        if (GetWriteAvailable(&m_OutAudioRingBuffer) < static_cast<int32_t>(kAudioSlotBytes)) break;
        void* first = nullptr;
        void* second = nullptr;
        int32_t firstCount = 0;
        int32_t secondCount = 0;
        GetWriteRegions(&m_OutAudioRingBuffer, kAudioSlotBytes, &first, &firstCount, &second,
                        &secondCount);
        if (first == nullptr || firstCount < static_cast<int32_t>(kPlaybackSlotSampleBytes)) break;
        RtlCopyMemory(first, samples + u * kPlaybackUnitFrames * kOutputChannelCount,
                      kPlaybackSlotSampleBytes);
        AdvanceWriteIndex(&m_OutAudioRingBuffer, kAudioSlotBytes);
    }
    m_CurrentOutputHalf = half ^ 1;
    m_HalfQueued = 1;
    ++m_Counters.outputPeriods;

    // Build the transfer's units from the ring, then slot in the MIDI and command bytes.
    SaveProcessorState(&m_PlaybackSaveArea);
    for (ULONG u = 0; u < units; ++u) {
        PUCHAR unit = transfer->buffer + u * kPlaybackUnitBytes;
        void* first = nullptr;
        void* second = nullptr;
        int32_t firstCount = 0;
        int32_t secondCount = 0;
        GetReadRegions(&m_OutAudioRingBuffer, kAudioSlotBytes, &first, &firstCount, &second,
                       &secondCount);
        if (first != nullptr && firstCount >= static_cast<int32_t>(kPlaybackSlotSampleBytes)) {
            const ConversionPair pair{first, unit};
            ConvertPlaybackUnit(&pair, &m_PlaybackSaveArea);
            AdvanceReadIndex(&m_OutAudioRingBuffer, kAudioSlotBytes);
        } else {
            RtlZeroMemory(unit, kPlaybackUnitBytes);
        }
        FillUnitGapBytes(unit);
    }
    RestoreProcessorState(&m_PlaybackSaveArea);
    ++m_Counters.playbackCompletions;
}

void StreamEngine::ProcessCapture(TransferRecord* transfer, ULONG receivedBytes) {
    // The count comes from the bus's report of the device's transfer: never past the buffer.
    if (receivedBytes > transfer->length) receivedBytes = transfer->length;
    NoteFirstCompletion(&m_FirstCaptureTime);
    const ULONG units = static_cast<ULONG>(receivedBytes / kCaptureUnitBytes);
    SaveProcessorState(&m_CaptureSaveArea);
    for (ULONG u = 0; u < units; ++u) {
        const PUCHAR unit = transfer->buffer + u * kCaptureUnitBytes;
        void* first = nullptr;
        void* second = nullptr;
        int32_t firstCount = 0;
        int32_t secondCount = 0;
        // A unit goes in whole or not at all; a dropped unit leaves the ring's index alone so
        // that the frames the consumer sees stay whole and in order.
        if (GetWriteAvailable(&m_InAudioRingBuffer) < static_cast<int32_t>(kAudioSlotBytes) ||
            GetWriteRegions(&m_InAudioRingBuffer, kAudioSlotBytes, &first, &firstCount, &second,
                            &secondCount) != static_cast<int32_t>(kAudioSlotBytes) ||
            firstCount != static_cast<int32_t>(kAudioSlotBytes)) {
            ++m_Counters.captureUnitsDropped;
            continue;
        }
        const ConversionPair low{unit, first};
        ConvertCaptureHalfUnit(&low, &m_CaptureSaveArea);
        const ConversionPair high{unit + kCaptureHalfUnitBytes,
                                  static_cast<PUCHAR>(first) + kCaptureHalfUnitBytes};
        ConvertCaptureHalfUnit(&high, &m_CaptureSaveArea);
        AdvanceWriteIndex(&m_InAudioRingBuffer, kAudioSlotBytes);
        ++m_Counters.captureUnitsConverted;
    }
    RestoreProcessorState(&m_CaptureSaveArea);
    DistributeInput();
    ++m_Counters.captureCompletions;
}

NTSTATUS PlaybackCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    auto* transfer = static_cast<TransferRecord*>(context);
    StreamEngine* engine = transfer->group->engine;
    KIRQL irql = PASSIVE_LEVEL;
    if (!EnterCompletion<&StreamEngine::m_PlaybackLock>(irp, transfer, engine, &irql))
        return STATUS_MORE_PROCESSING_REQUIRED;
    engine->ProcessPlayback(transfer);
    // The half just queued is cleared for its next mix while the lock still keeps the other
    // writers of the staging halves (another completion, SilenceOutput) away.
    const LONG queued = engine->m_HalfQueued;
    if (queued != 0) {
        // Only the frames of one transfer are ever mixed into a half.
        LONG* half = engine->m_OutputStaging[engine->m_CurrentOutputHalf ^ 1];
        const SIZE_T frames = transfer->length / kPlaybackUnitBytes * kPlaybackUnitFrames;
        if (half != nullptr) RtlZeroMemory(half, frames * kOutputChannelCount * sizeof(LONG));
    }
    LeaveCompletion<&StreamEngine::m_PlaybackLock>(transfer, engine, irql);

    if (queued != 0) {
        const EngineNotifications* facade = engine->m_Facade;
        if (facade != nullptr && facade->NotifyOutputPeriod != nullptr)
            facade->NotifyOutputPeriod(facade->context);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CaptureCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    return CompleteInput<&StreamEngine::m_CaptureLock, ProcessCaptureTransfer>(irp, context);
}

NTSTATUS MidiInCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    return CompleteInput<&StreamEngine::m_MidiInLock, ProcessMidiInTransfer>(irp, context);
}

}  // namespace q407
