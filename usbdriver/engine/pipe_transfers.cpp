// Starting and stopping the streaming pipes, the transfers that circulate on them, and the
// per-start stream state.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

// A stop anywhere in the driver makes a concurrent second stop return at once.
volatile LONG g_StopInProgress = 0;

constexpr ULONG kTransferInFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kStopStallCount = 100;  // 100 x 100 us before the drain wait
constexpr ULONG kStopStallMicroseconds = 100;
constexpr ULONG kDrainWaitSteps = 40;  // 40 x 100 ms
constexpr LONGLONG kDrainWaitStep = -100LL * 10000LL;

// Idle playback units: silent audio, the idle MIDI and command bytes in both gaps.
void PrepareSilentUnits(PUCHAR buffer, ULONG units) {
    RtlZeroMemory(buffer, units * kPlaybackUnitBytes);
    for (ULONG u = 0; u < units; ++u) {
        PUCHAR unit = buffer + u * kPlaybackUnitBytes;
        unit[kPlaybackMidiByteOffset0] = kMidiIdleByte;
        unit[kPlaybackCommandByteOffset0] = kCommandIdleByte;
        unit[kPlaybackMidiByteOffset1] = kMidiIdleByte;
        unit[kPlaybackCommandByteOffset1] = kCommandIdleByte;
    }
}

void FillIdle(TransferRecord* transfer) {
    if (transfer->group->role == PipeRolePlayback)
        PrepareSilentUnits(transfer->buffer, static_cast<ULONG>(transfer->length / kPlaybackUnitBytes));
    else
        RtlZeroMemory(transfer->buffer, transfer->length);
}

BOOLEAN WaitDrained(PipeGroup* group) {
    for (ULONG step = 0; step < kDrainWaitSteps; ++step) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kDrainWaitStep;
        if (KeWaitForSingleObject(&group->drained, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS)
            return TRUE;
    }
    return InterlockedCompareExchange(&group->pending, 0, 0) == 0;
}

void FreeGroup(PipeGroup* group, BOOLEAN freeIrps) {
    for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
        TransferRecord* transfer = group->transfers[i];
        if (transfer == nullptr) continue;
        if (transfer->urb != nullptr) ExFreePoolWithTag(transfer->urb, kPipePoolTag);
        if (freeIrps && transfer->irp != nullptr) IoFreeIrp(transfer->irp);
        ExFreePoolWithTag(transfer, kPipePoolTag);
        group->transfers[i] = nullptr;
    }
    ExFreePoolWithTag(group, kPipePoolTag);
}

PIRP* IrpSlot(StreamEngine& engine, LONG role, ULONG index) {
    switch (role) {
        case PipeRolePlayback:
            return &engine.m_PlaybackIrps[index];
        case PipeRoleCapture:
            return &engine.m_CaptureIrps[index];
        default:
            return &engine.m_MidiInIrp;
    }
}

}  // namespace

NTSTATUS SubmitTransfer(TransferRecord* transfer) {
    PipeGroup* group = transfer->group;
    URB* urb = transfer->urb;
    RtlZeroMemory(urb, kTransferUrbBytes);
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           group->pipe.PipeHandle, transfer->buffer, nullptr,
                                           transfer->length, group->transferFlags, nullptr);
    PIRP irp = transfer->irp;
    IoReuseIrp(irp, STATUS_PENDING);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, group->routine, transfer, TRUE, TRUE, TRUE);
    return IofCallDriver(group->engine->m_LowerDevice, irp);
}

// The pipes may be running (the streaming gate resets at every ASIO start): each side's state
// changes under that side's lock, one lock at a time, and a ring whose two ends live on different
// sides is emptied from its reading side. Bytes queued for the device or for a MIDI client (MIDI
// out, codec commands, MIDI in) are not the stream's: they stay queued and go on in order, so no
// codec register write is ever cut in half.
void StreamEngine::ResetStreamState() {
    const ULONG n = UsbBufferCount();
    const ULONG latency = CurrentLatency();
    const ULONG rate = CurrentSampleRate();
    const BOOLEAN doubleRate = rate == 88200 || rate == 96000;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
    m_SlotSize = kAudioSlotBytes;
    // Read outside the lock by the facade's output notice; it only changes with the pipes stopped.
    const ULONG framesPerTransfer = static_cast<ULONG>(n * kPlaybackUnitFrames);
    if (m_FramesPerPlaybackTransfer != framesPerTransfer)
        m_FramesPerPlaybackTransfer = framesPerTransfer;
    m_RateFactor = doubleRate ? 2 : 1;
    SelectMidiPacing(rate);
    m_MidiOutSlotCounter = 0;
    Flush(&m_AsioOutRingBuffer);  // written and read under this lock
    RtlZeroMemory(m_OutputSourceCount, sizeof(m_OutputSourceCount));
    RtlZeroMemory(m_RouteSourceCount, sizeof(m_RouteSourceCount));
    RtlZeroMemory(m_RouteWritten, sizeof(m_RouteWritten));
    KeReleaseSpinLock(&m_PlaybackLock, irql);

    irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
    // Only a latency change moves the period length, and that stops the pipes first.
    if (m_PeriodFrames != latency) m_PeriodFrames = latency;
    Flush(&m_InAudioRingBuffer);  // written and read under this lock
    m_RouteMixFrames = static_cast<ULONG>(n * kPlaybackUnitFrames);
    m_RouteMargin =
        static_cast<ULONG>(n * (kPlaybackUnitFrames + kCaptureUnitBytes / kCaptureFrameBytes));
    m_RouteDelayChosen = FALSE;
    for (LONG t = 0; t < kRouteRecordCount; ++t) RestartRoute(t);
    KeReleaseSpinLock(&m_CaptureLock, irql);

    irql = KeAcquireSpinLockRaiseToDpc(&m_MidiInLock);
    m_MidiInByteCount = doubleRate ? 2 : 4;
    KeReleaseSpinLock(&m_MidiInLock, irql);
    ClearMeters();
}

NTSTATUS StreamEngine::StartTransfers(PipeGroup* group, LONG role) {
    const ULONG n = UsbBufferCount();
    const ULONG count = role == PipeRoleMidiIn ? 1 : n;
    const CCHAR stackSize = static_cast<CCHAR>(m_LowerDevice->StackSize + 1);
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG i = 0; i < count; ++i) {
        auto* transfer = static_cast<TransferRecord*>(
            ExAllocatePoolWithTag(DriverPoolType(), sizeof(TransferRecord), kPipePoolTag));
        if (transfer == nullptr) {
            result = STATUS_INSUFFICIENT_RESOURCES;
            continue;
        }
        RtlZeroMemory(transfer, sizeof(*transfer));
        PIRP* slot = IrpSlot(*this, role, i);
        if (*slot == nullptr)
            *slot = IoAllocateIrp(stackSize, FALSE);
        else
            IoReuseIrp(*slot, STATUS_PENDING);
        URB* urb = static_cast<URB*>(
            ExAllocatePoolWithTag(DriverPoolType(), kTransferUrbBytes, kPipePoolTag));
        PUCHAR buffer = role == PipeRolePlayback  ? m_PlaybackBuffers[i]
                        : role == PipeRoleCapture ? m_CaptureBuffers[i]
                                                  : m_MidiInBuffer;
        if (*slot == nullptr || urb == nullptr || buffer == nullptr) {
            if (*slot != nullptr) IoFreeIrp(*slot);
            *slot = nullptr;
            if (urb != nullptr) ExFreePoolWithTag(urb, kPipePoolTag);
            ExFreePoolWithTag(transfer, kPipePoolTag);
            result = STATUS_INSUFFICIENT_RESOURCES;
            continue;
        }
        transfer->index = i;
        transfer->irp = *slot;
        transfer->urb = urb;
        transfer->buffer = buffer;
        transfer->length = role == PipeRolePlayback  ? n * kPlaybackUnitBytes
                           : role == PipeRoleCapture ? n * kAudioSlotBytes
                                                     : kMidiInTransferBytes;
        transfer->group = group;
        FillIdle(transfer);
        group->transfers[i] = transfer;
        group->transferCount = i + 1;
        InterlockedIncrement(&group->pending);
        const NTSTATUS sent = SubmitTransfer(transfer);
        result = NT_SUCCESS(sent) ? STATUS_SUCCESS : sent;
    }
    return result;
}

NTSTATUS StreamEngine::StartPipe(PipeGroup** slot, const USBD_PIPE_INFORMATION& pipe, LONG role) {
    if (pipe.PipeHandle != nullptr) (void)ResetPipe(pipe.PipeHandle);
    auto* group = static_cast<PipeGroup*>(
        ExAllocatePoolWithTag(DriverPoolType(), sizeof(PipeGroup), kPipePoolTag));
    if (group == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(group, sizeof(*group));
    group->engine = this;
    group->kind = role == PipeRolePlayback ? PipeKindPlayback : PipeKindCapture;
    group->role = role;
    group->pending = 0;
    KeInitializeEvent(&group->drained, NotificationEvent, FALSE);
    group->deviceObject = m_FunctionalDevice;
    group->pipe = pipe;
    switch (role) {
        case PipeRolePlayback:
            group->lock = &m_PlaybackLock;
            group->routine = PlaybackCompletion;
            group->transferFlags = USBD_TRANSFER_DIRECTION_OUT;
            break;
        case PipeRoleCapture:
            group->lock = &m_CaptureLock;
            group->routine = CaptureCompletion;
            group->transferFlags = kTransferInFlags;
            break;
        default:
            group->lock = &m_MidiInLock;
            group->routine = MidiInCompletion;
            group->transferFlags = kTransferInFlags;
            break;
    }
    *slot = group;

    NTSTATUS status = StartTransfers(group, role);
    if (InterlockedCompareExchange(&group->pending, 0, 0) == 0) {
        // Every transfer was refused or has already been retired; the last retirement may
        // still be signalling the group.
        if (group->transferCount != 0) (void)WaitDrained(group);
        *slot = nullptr;
        FreeGroup(group, FALSE);
        if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS StreamEngine::UsbStartStream() {
    if (InterlockedCompareExchange(&m_FirmwareUpdate, 0, 0) != 0) {
        ENGINE_TRACE("UsbStartStream ERROR FIRMWARE UPDATE IS RUNNING !!!!\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (m_PlaybackGroup != nullptr || m_CaptureGroup != nullptr || m_MidiInGroup != nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_SharedBlock == nullptr || m_LowerDevice == nullptr) return STATUS_INVALID_DEVICE_STATE;

    m_CurrentOutputHalf = 0;
    m_HalfQueued = 0;
    m_InputHalf = 0;
    m_PublishedHalf = 0;
    RtlZeroMemory(m_RouteSourceCount, sizeof(m_RouteSourceCount));
    RtlZeroMemory(m_RouteWritten, sizeof(m_RouteWritten));
    RtlZeroMemory(m_RoutePeriods, sizeof(m_RoutePeriods));
    m_AsioPreRoll = 0;
    if (m_Status != nullptr) m_Status->errorCounter = 0;

    const USBD_PIPE_INFORMATION* capture = nullptr;
    const USBD_PIPE_INFORMATION* playback = nullptr;
    const USBD_PIPE_INFORMATION* midiIn = nullptr;
    for (ULONG i = 0; i < m_PipeCount && i < kMaxPipes; ++i) {
        const USBD_PIPE_INFORMATION& pipe = m_Pipes[i];
        const BOOLEAN in = USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) != 0;
        if (pipe.PipeType == UsbdPipeTypeInterrupt) {
            if (in)
                capture = &pipe;
            else
                playback = &pipe;
        } else if (pipe.PipeType == UsbdPipeTypeBulk && in) {
            midiIn = &pipe;
        }
    }

    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (capture != nullptr) {
        status = StartPipe(&m_CaptureGroup, *capture, PipeRoleCapture);
        if (!NT_SUCCESS(status)) {
            // A pipe must not keep running while the streaming flag says otherwise.
            (void)UsbStopStream();
            return status;
        }
    }
    if (midiIn != nullptr) {
        status = StartPipe(&m_MidiInGroup, *midiIn, PipeRoleMidiIn);
        if (!NT_SUCCESS(status)) {
            (void)UsbStopStream();
            return status;
        }
    }
    if (playback != nullptr) {
        status = StartPipe(&m_PlaybackGroup, *playback, PipeRolePlayback);
        if (!NT_SUCCESS(status)) {
            (void)UsbStopStream();
            return status;
        }
        InterlockedExchange(&m_Streaming, 1);
    } else if (capture != nullptr) {
        InterlockedExchange(&m_Streaming, 1);
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    ClearMeters();
    return status;
}

void StreamEngine::StopPipe(PipeGroup** slot) {
    PipeGroup* group = *slot;
    if (group == nullptr) return;
    // A completion holding the lock has already resubmitted; one that comes after sees the flag.
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(group->lock);
    InterlockedExchange(&group->stopping, 1);
    KeReleaseSpinLock(group->lock, irql);

    for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
        TransferRecord* transfer = group->transfers[i];
        if (transfer != nullptr && transfer->irp != nullptr) IoCancelIrp(transfer->irp);
    }
    for (ULONG i = 0; i < kStopStallCount; ++i) KeStallExecutionProcessor(kStopStallMicroseconds);
    const BOOLEAN drained = WaitDrained(group);
    KeClearEvent(&group->drained);
    *slot = nullptr;
    if (drained) {
        // The buffers are the engine's again: leave them idle for whoever looks next.
        for (TransferRecord* transfer : group->transfers) {
            if (transfer != nullptr) FillIdle(transfer);
        }
        FreeGroup(group, FALSE);
        return;
    }
    // The lower driver still holds some of the IRPs: they go with the group, and the slots get
    // fresh IRPs at the next start.
    for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
        TransferRecord* transfer = group->transfers[i];
        if (transfer != nullptr) *IrpSlot(*this, group->role, i) = nullptr;
    }
    for (PipeGroup*& stale : m_StaleGroups) {
        if (stale == nullptr) {
            stale = group;
            return;
        }
    }
    // No room to remember it: leaving it allocated is the only safe choice.
}

void StreamEngine::ReleaseStaleGroups() {
    for (PipeGroup*& stale : m_StaleGroups) {
        if (stale == nullptr) continue;
        if (WaitDrained(stale)) FreeGroup(stale, TRUE);
        stale = nullptr;
    }
}

NTSTATUS StreamEngine::UsbStopStream() {
    ClearMeters();
    if (InterlockedCompareExchange(&g_StopInProgress, 1, 0) != 0) return STATUS_PENDING;
    StopPipe(&m_PlaybackGroup);
    StopPipe(&m_CaptureGroup);
    StopPipe(&m_MidiInGroup);
    ClearMeters();
    InterlockedExchange(&g_StopInProgress, 0);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SilenceOutput() {
    if (m_PlaybackGroup == nullptr) return STATUS_INVALID_PARAMETER;
    // The completions read the staging halves and the output ring under this lock. Transfers in
    // flight belong to the lower driver until they complete and are not written here; each is
    // rebuilt from the silent halves when it comes back.
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
    for (LONG* half : m_OutputStaging) {
        if (half != nullptr) RtlZeroMemory(half, kStagingHalfBytes);
    }
    Flush(&m_OutAudioRingBuffer);
    KeReleaseSpinLock(&m_PlaybackLock, irql);
    // The MME destinations start afresh, emptied from their reading side.
    BOOLEAN mme[kRouteRecordCount] = {};
    for (LONG c = 0; c < kChannelSlotCount; ++c) mme[RouteRecordIndex(ClientKind::MME, c)] = TRUE;
    RestartRoutes(mme);
    return STATUS_SUCCESS;
}

}  // namespace q407
