// Starting and stopping the streaming pipes, the transfers that circulate on them, and the
// per-start stream state.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

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

// A group may be freed once no restart holds it and every transfer has been retired.
BOOLEAN WaitRestartIdle(PipeGroup* group) {
    for (ULONG step = 0; step < kDrainWaitSteps; ++step) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kDrainWaitStep;
        if (KeWaitForSingleObject(&group->restartIdle, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS)
            return TRUE;
    }
    return FALSE;
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
    if (group->restartItem != nullptr) IoFreeWorkItem(group->restartItem);
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

void StreamEngine::FillIdle(TransferRecord* transfer) {
    if (transfer->group->role == PipeRolePlayback)
        PrepareSilentUnits(transfer->buffer,
                           static_cast<ULONG>(transfer->length / kPlaybackUnitBytes));
    else
        RtlZeroMemory(transfer->buffer, transfer->length);
}

void StreamEngine::PrepareTransfer(TransferRecord* transfer) {
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
}

NTSTATUS SubmitTransfer(TransferRecord* transfer) {
    StreamEngine* engine = transfer->group->engine;
    engine->PrepareTransfer(transfer);
    return IofCallDriver(engine->m_LowerDevice, transfer->irp);
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
            ENGINE_TRACE("UsbStartStream ERROR no memory for transfer %u of pipe 0x%02X\n",
                         static_cast<unsigned>(i), group->pipe.EndpointAddress);
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
            ENGINE_TRACE("UsbStartStream ERROR no memory for transfer %u of pipe 0x%02X\n",
                         static_cast<unsigned>(i), group->pipe.EndpointAddress);
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
        // The first failure stands: a later transfer that went down does not make up for one
        // that could not be built.
        if (NT_SUCCESS(result) && !NT_SUCCESS(sent)) result = sent;
    }
    return result;
}

NTSTATUS StreamEngine::StartPipe(PipeGroup** slot, const USBD_PIPE_INFORMATION& pipe, LONG role) {
    if (pipe.PipeHandle != nullptr) {
        // A pipe that cannot be reset may still stream; its first transfer error will tell.
        const NTSTATUS reset = ResetPipe(pipe.PipeHandle);
        if (!NT_SUCCESS(reset))
            ENGINE_TRACE("UsbStartStream reset of pipe 0x%02X failed 0x%08X\n",
                         pipe.EndpointAddress, static_cast<unsigned>(reset));
    }
    auto* group = static_cast<PipeGroup*>(
        ExAllocatePoolWithTag(DriverPoolType(), sizeof(PipeGroup), kPipePoolTag));
    if (group == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(group, sizeof(*group));
    group->restartItem = IoAllocateWorkItem(m_FunctionalDevice);
    if (group->restartItem == nullptr) {
        ExFreePoolWithTag(group, kPipePoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&group->restartIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&group->parked, NotificationEvent, FALSE);
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
        // Every transfer was refused or has already been retired; the last retirement (or a
        // restart that gave up) may still be signalling the group.
        *slot = nullptr;
        if (group->transferCount == 0 || (WaitRestartIdle(group) && WaitDrained(group)))
            FreeGroup(group, FALSE);
        else
            ENGINE_TRACE("UsbStartStream ERROR pipe 0x%02X kept: its restart did not end\n",
                         pipe.EndpointAddress);
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
    NoteStreamStart();
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

    // A pipe must not keep running while the streaming flag says otherwise. The caller hears the
    // start's failure; a stop that fails as well is traced.
    auto stopAfterFailedStart = [this](NTSTATUS failure) {
        const NTSTATUS stopped = UsbStopStream();
        if (!NT_SUCCESS(stopped))
            ENGINE_TRACE("UsbStartStream ERROR stop after failed start 0x%08X\n",
                         static_cast<unsigned>(stopped));
        return failure;
    };
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (capture != nullptr) {
        status = StartPipe(&m_CaptureGroup, *capture, PipeRoleCapture);
        if (!NT_SUCCESS(status)) return stopAfterFailedStart(status);
    }
    if (midiIn != nullptr) {
        status = StartPipe(&m_MidiInGroup, *midiIn, PipeRoleMidiIn);
        if (!NT_SUCCESS(status)) return stopAfterFailedStart(status);
    }
    if (playback != nullptr) {
        status = StartPipe(&m_PlaybackGroup, *playback, PipeRolePlayback);
        if (!NT_SUCCESS(status)) return stopAfterFailedStart(status);
        InterlockedExchange(&m_Streaming, 1);
    } else if (capture != nullptr) {
        InterlockedExchange(&m_Streaming, 1);
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    ClearMeters();
    return status;
}

NTSTATUS StreamEngine::StopPipe(PipeGroup** slot) {
    PipeGroup* group = *slot;
    if (group == nullptr) return STATUS_SUCCESS;
    // A completion holding the lock has prepared its IRP, so the cancel below reaches it wherever
    // it is; one that comes after sees the flag. A restart waiting for its transfers wakes up.
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(group->lock);
    InterlockedExchange(&group->stopping, 1);
    KeSetEvent(&group->parked, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(group->lock, irql);

    for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
        TransferRecord* transfer = group->transfers[i];
        if (transfer != nullptr && transfer->irp != nullptr) IoCancelIrp(transfer->irp);
    }
    for (ULONG i = 0; i < kStopStallCount; ++i) KeStallExecutionProcessor(kStopStallMicroseconds);
    // A restart retires the transfers it holds once it sees the flag.
    const BOOLEAN restartDone = WaitRestartIdle(group);
    const BOOLEAN drained = restartDone && WaitDrained(group);
    KeClearEvent(&group->drained);
    *slot = nullptr;
    if (drained) {
        // The buffers are the engine's again: leave them idle for whoever looks next.
        for (TransferRecord* transfer : group->transfers) {
            if (transfer != nullptr) FillIdle(transfer);
        }
        FreeGroup(group, FALSE);
        return STATUS_SUCCESS;
    }
    ENGINE_TRACE("UsbStopStream ERROR pipe 0x%02X did not drain\n", group->pipe.EndpointAddress);
    // The lower driver still holds some of the IRPs: they go with the group, and the slots get
    // fresh IRPs at the next start.
    for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
        TransferRecord* transfer = group->transfers[i];
        if (transfer != nullptr) *IrpSlot(*this, group->role, i) = nullptr;
    }
    for (PipeGroup*& stale : m_StaleGroups) {
        if (stale == nullptr) {
            stale = group;
            return STATUS_IO_TIMEOUT;
        }
    }
    // No room to remember it: leaving it allocated is the only safe choice.
    return STATUS_IO_TIMEOUT;
}

void StreamEngine::ReleaseStaleGroups() {
    for (PipeGroup*& stale : m_StaleGroups) {
        if (stale == nullptr) continue;
        if (WaitRestartIdle(stale) && WaitDrained(stale))
            FreeGroup(stale, TRUE);
        else
            ENGINE_TRACE("ReleaseDevice ERROR pipe 0x%02X still busy, left allocated\n",
                         stale->pipe.EndpointAddress);
        stale = nullptr;
    }
}

NTSTATUS StreamEngine::UsbStopStream() {
    ClearMeters();
    // One stop at a time on this device: a second one waits for the first and then stops what
    // is left, so that no caller goes on while transfers are in flight. Without a time-out the
    // wait ends only when the gate is signalled.
    (void)KeWaitForSingleObject(&m_StopGate, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = StopPipe(&m_PlaybackGroup);
    const NTSTATUS capture = StopPipe(&m_CaptureGroup);
    if (NT_SUCCESS(status)) status = capture;
    const NTSTATUS midiIn = StopPipe(&m_MidiInGroup);
    if (NT_SUCCESS(status)) status = midiIn;
    ClearMeters();
    KeSetEvent(&m_StopGate, IO_NO_INCREMENT, FALSE);
    return status;
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
