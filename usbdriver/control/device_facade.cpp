// The device facade's life, its notification entry points and the operations it adds to the
// engine's: the streaming gate, the channel queries and the settings-apply thread.
#include "usbdriver/control/device_facade.h"

#include "usbdriver/control/client_attachment.h"
#include "usbdriver/control/control_pool.h"
#include "usbdriver/engine/engine_trace.h"

namespace q407 {
namespace {

constexpr LONG kGatedChannels = 8;  // the streaming gate counts channels 0..7 only
constexpr LONG kPlaybackMuteNode = 1;
constexpr ULONG kTopologyMuteSubdevices = 4;

// The engine's notification table points here; the context is the facade.
void OnOutputPeriod(PVOID context) {
    NotifyOutputPeriod(static_cast<DeviceFacade*>(context));
}
void OnInputPeriod(PVOID context) {
    NotifyInputPeriod(static_cast<DeviceFacade*>(context));
}
LONG OnAsioPeriod(PVOID context) {
    return SignalAsioPeriod(static_cast<DeviceFacade*>(context));
}
void OnMidiIn(PVOID context) {
    NotifyMidiIn(static_cast<DeviceFacade*>(context));
}

void CallStreamEntries(DeviceFacade* facade, LONG direction, LONG firstCode, LONG secondCode) {
    for (LONG stream = 0; stream < kNotifiedStreams; ++stream) {
        const LONG codes[2] = {firstCode, secondCode};
        for (LONG code : codes) {
            StreamNotification& entry = facade->streamTable[direction][stream][code];
            if (InterlockedCompareExchange(&entry.active, 0, 0) == 0) continue;
            PVOID callback = InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&entry.callback), nullptr, nullptr);
            PVOID context = InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&entry.context), nullptr, nullptr);
            // A registration that changed the entry meanwhile turned it off first: skip this
            // period rather than call a callback with another registration's context.
            if (InterlockedCompareExchange(&entry.active, 0, 0) == 0 || callback == nullptr)
                continue;
            reinterpret_cast<StreamNotifyCallback>(callback)(direction, code, context);
        }
    }
}

// Entry 0 of the MIDI-input table gets the MIDI-input (0) and removal (1) notices. The context is
// published last by the registration, so a context seen here comes with its callback.
void CallMidiEntryZero(DeviceFacade* facade, LONG argument) {
    MidiInNotification& midi = facade->midiInTable[0];
    PVOID context = InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&midi.context), nullptr, nullptr);
    if (context != nullptr && midi.callback != nullptr) midi.callback(1, 0, context, argument);
}

// The settings-apply thread: applies its own copy of the pending block, then lets the next
// request start another thread.
void SettingsApplyRoutine(PVOID context) {
    auto* facade = static_cast<DeviceFacade*>(context);
    StreamEngine* engine = facade->engine;
    MixerSettings copy;
    RtlCopyMemory(&copy, &engine->m_PendingSettings, sizeof(copy));
    const NTSTATUS status = engine->ApplySettings(&copy);
    if (!NT_SUCCESS(status)) ENGINE_TRACE("MyThreadStart ApplySettings 0x%08X\n", status);
    InterlockedExchange(&engine->m_SettingsThreadBusy, 0);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A settings thread that was started is waited for before its engine can go, and its object
// released once it has ended.
void ReapSettingsThread(DeviceFacade* facade) {
    if (facade->settingsThread == nullptr) return;
    const NTSTATUS status =
        KeWaitForSingleObject(facade->settingsThread, Executive, KernelMode, FALSE, nullptr);
    (void)status;  // an untimed kernel-mode wait on a thread returns when it has ended
    ObDereferenceObject(facade->settingsThread);
    facade->settingsThread = nullptr;
}

}  // namespace

NTSTATUS CreateFacade(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT lowerDevice,
                      DeviceFacade** facade) {
    *facade = nullptr;
    auto* record = static_cast<DeviceFacade*>(
        ExAllocatePoolWithTag(DriverPoolType(), sizeof(DeviceFacade), kFacadePoolTag));
    if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(record, sizeof(*record));
    KeInitializeEvent(&record->attachmentLock, SynchronizationEvent, TRUE);
    const NTSTATUS status = InitializeFacade(record, deviceObject, lowerDevice);
    if (!NT_SUCCESS(status)) {
        DestroyFacade(record);
        return status;
    }
    AttachFacade(record);
    *facade = record;
    return STATUS_SUCCESS;
}

NTSTATUS InitializeFacade(DeviceFacade* facade, PDEVICE_OBJECT deviceObject,
                          PDEVICE_OBJECT lowerDevice) {
    facade->deviceObject = deviceObject;
    RtlZeroMemory(facade->eventSlots, sizeof(facade->eventSlots));
    RtlZeroMemory(facade->midiInTable, sizeof(facade->midiInTable));
    RtlZeroMemory(facade->streamTable, sizeof(facade->streamTable));
    facade->panelMappingMdl = nullptr;
    facade->panelMappingAddress = nullptr;
    facade->asioMappingMdl = nullptr;
    facade->asioMappingAddress = nullptr;

    facade->notifications.context = facade;
    facade->notifications.NotifyOutputPeriod = OnOutputPeriod;
    facade->notifications.NotifyInputPeriod = OnInputPeriod;
    facade->notifications.SignalAsioPeriod = OnAsioPeriod;
    facade->notifications.NotifyMidiIn = OnMidiIn;

    facade->engine = AllocateStreamEngine(deviceObject, lowerDevice, &facade->notifications);
    if (facade->engine == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    // The work area is the one untagged allocation of the driver.
    facade->workArea = static_cast<PUCHAR>(ExAllocatePool(DriverPoolType(), kWorkAreaBytes));
    if (facade->workArea == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(facade->workArea, kWorkAreaBytes);
    facade->workAreaSize = kWorkAreaBytes;
    facade->statusBlock = reinterpret_cast<EngineStatus*>(facade->workArea + kStatusBlockOffset);
    return facade->engine->InitDevice(facade->workArea, facade->statusBlock);
}

void NotifyRemoval(DeviceFacade* facade) {
    CallMidiEntryZero(facade, 1);
    // A settings thread still applying a block would change it under the save.
    ReapSettingsThread(facade);
    if (facade->engine != nullptr) {
        const NTSTATUS status =
            facade->engine->SaveSettings(facade->engine->GetSettings(), sizeof(MixerSettings));
        if (!NT_SUCCESS(status)) ENGINE_TRACE("NotifyRemoval SaveSettings 0x%08X\n", status);
    }
    ReleaseStatusMapping(facade, MappingSlot::Panel);
    // Slots change under the attachment lock; signalling there keeps the object alive meanwhile.
    KeWaitForSingleObject(&facade->attachmentLock, Executive, KernelMode, FALSE, nullptr);
    if (facade->eventSlots[kRemovalEventSlot] != nullptr)
        KeSetEvent(facade->eventSlots[kRemovalEventSlot], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&facade->attachmentLock, IO_NO_INCREMENT, FALSE);
}

void DestroyFacade(DeviceFacade* facade) {
    if (facade == nullptr) return;
    DetachFacade(facade);
    ReapSettingsThread(facade);
    if (facade->engine != nullptr) {
        const NTSTATUS status = facade->engine->EnableStreaming(0);
        if (!NT_SUCCESS(status)) ENGINE_TRACE("DestroyFacade EnableStreaming 0x%08X\n", status);
    }
    ReleaseStatusMapping(facade, MappingSlot::Panel);
    ReleaseStatusMapping(facade, MappingSlot::Asio);
    for (LONG slot = 0; slot < kEventSlotCount; ++slot) ClearEventSlot(facade, slot);
    if (facade->engine != nullptr) {
        facade->engine->ReleaseDevice();
        FreeStreamEngine(facade->engine);
        facade->engine = nullptr;
    }
    if (facade->workArea != nullptr) {
        ExFreePool(facade->workArea);
        facade->workArea = nullptr;
        facade->statusBlock = nullptr;
    }
    ExFreePoolWithTag(facade, kFacadePoolTag);
}

LONG SignalAsioPeriod(DeviceFacade* facade) {
    // Counted while the slot is read, so that a replaced event is not released under us.
    InterlockedIncrement(&facade->eventSignallers);
    auto* event = static_cast<PKEVENT>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&facade->eventSlots[kAsioEventSlot]), nullptr, nullptr));
    LONG signalled = 0;
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        signalled = 1;
    }
    InterlockedDecrement(&facade->eventSignallers);
    return signalled;
}

void NotifyInputPeriod(DeviceFacade* facade) {
    CallStreamEntries(facade, 1, 2, 6);
}

void NotifyOutputPeriod(DeviceFacade* facade) {
    CallStreamEntries(facade, 0, 0, 6);
}

void NotifyMidiIn(DeviceFacade* facade) {
    CallMidiEntryZero(facade, 0);
}

NTSTATUS RegisterStreamNotification(DeviceFacade* facade, LONG direction, LONG stream, LONG code,
                                    StreamNotifyCallback callback, PVOID context) {
    if (direction < 0 || direction > 1 || stream < 0 || stream >= kNotifyStreamCount || code < 0 ||
        code >= kNotifyCodeCount)
        return STATUS_INVALID_PARAMETER;
    StreamNotification& entry = facade->streamTable[direction][stream][code];
    // Off while the pair changes: a completion never sees a half-written entry as active.
    InterlockedExchange(&entry.active, 0);
    // The period notices read the pair at DISPATCH_LEVEL on another processor without a lock.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&entry.callback),
                               reinterpret_cast<PVOID>(callback));
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&entry.context), context);
    InterlockedExchange(&entry.active, context != nullptr && callback != nullptr ? 1 : 0);
    return STATUS_SUCCESS;
}

NTSTATUS RegisterMidiInNotification(DeviceFacade* facade, LONG port, MidiInNotifyCallback callback,
                                    PVOID context) {
    if (port < 0 || port >= kMidiPortCount) return STATUS_INVALID_PARAMETER;
    MidiInNotification& entry = facade->midiInTable[port];
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&entry.context), nullptr);
    entry.callback = callback;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&entry.context), context);
    return STATUS_SUCCESS;
}

void GateStreaming(DeviceFacade* facade, LONG flag) {
    StreamEngine* engine = facade->engine;
    if (engine == nullptr || (flag != 0 && flag != 1)) return;
    LONG open = 0;
    for (LONG kind = 0; kind < kClientKindCount; ++kind) {
        for (LONG direction = 0; direction < kDirectionCount; ++direction) {
            for (LONG channel = 0; channel < kGatedChannels; ++channel)
                open += engine->IsClientChannelOpen(kind, direction, channel) != 0 ? 1 : 0;
        }
    }
    if (open != 0) return;
    const NTSTATUS status = engine->EnableStreaming(flag);
    if (!NT_SUCCESS(status)) ENGINE_TRACE("GateStreaming EnableStreaming 0x%08X\n", status);
}

LONG AnyChannelOpen(const DeviceFacade* facade) {
    const StreamEngine* engine = facade->engine;
    if (engine == nullptr) return 0;
    for (LONG kind = 0; kind < kClientKindCount; ++kind) {
        for (LONG direction = 0; direction < kDirectionCount; ++direction) {
            for (LONG channel = 0; channel < kChannelSlotCount; ++channel) {
                if (engine->IsClientChannelOpen(kind, direction, channel) != 0) return 1;
            }
        }
    }
    return 0;
}

LONG WdmRecordingRuns(const DeviceFacade* facade) {
    const StreamEngine* engine = facade->engine;
    if (engine == nullptr) return 0;
    const LONG kinds[2] = {static_cast<LONG>(ClientKind::MME),
                           static_cast<LONG>(ClientKind::DOLBY)};
    for (LONG kind : kinds) {
        for (LONG channel = 0; channel < kChannelSlotCount; ++channel) {
            if (engine->IsClientChannelOpen(kind, 1, channel) != 0) return 1;
        }
    }
    return 0;
}

void EnterTopologyControl(MixerSettings* block, ULONG subdevice, ULONG control, ULONG value) {
    // The WDM stereo streams are the MME group; its outputs-off switch is the one field of the
    // block that turns that group's outputs off, and the panel shows it as the group's OUT switch.
    if (subdevice >= kTopologyMuteSubdevices || control != static_cast<ULONG>(kPlaybackMuteNode))
        return;
    block->routeTable.records[RouteRecordIndex(ClientKind::MME, 0)].kindMute = value != 0 ? 1 : 0;
}

void StartSettingsApply(DeviceFacade* facade, ULONG subdevice, ULONG control, ULONG value,
                        ULONG value2) {
    (void)value2;  // the WDM driver sends the control's value twice
    StreamEngine* engine = facade->engine;
    if (engine == nullptr) return;
    if (InterlockedCompareExchange(&engine->m_SettingsThreadBusy, 1, 0) != 0) return;
    ReapSettingsThread(facade);  // the previous thread cleared the flag and is ending

    UCHAR info[kDeviceInfoBytes];
    const NTSTATUS infoStatus = engine->ReadDeviceInfo(info, TRUE);
    if (!NT_SUCCESS(infoStatus)) ENGINE_TRACE("MyThreadStart ReadDeviceInfo 0x%08X\n", infoStatus);
    RtlCopyMemory(&engine->m_PendingSettings, engine->GetSettings(), sizeof(MixerSettings));
    EnterTopologyControl(&engine->m_PendingSettings, subdevice, control, value);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr,
                                           nullptr, SettingsApplyRoutine, facade);
    if (!NT_SUCCESS(status)) {
        DbgPrintEx(kTraceComponent, DPFLTR_ERROR_LEVEL,
                   "MyThreadStart ERROR PsCreateSystemThread \n");
        InterlockedExchange(&engine->m_SettingsThreadBusy, 0);
        return;
    }
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &object, nullptr);
    if (NT_SUCCESS(status)) facade->settingsThread = static_cast<PKTHREAD>(object);
    status = ZwClose(thread);
    if (!NT_SUCCESS(status)) ENGINE_TRACE("MyThreadStart ZwClose 0x%08X\n", status);
}

}  // namespace q407
