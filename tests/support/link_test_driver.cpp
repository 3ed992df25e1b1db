// The WDM audio driver's stand-in on the child device: its entry, add-device, Plug and Play
// handling, the link queries at start, and the stream and MIDI operations over the link.
#include "tests/support/link_test_driver.h"

#include <cstdint>

namespace q407::testing {
namespace {

constexpr int32_t kRenderChannels = 2;
constexpr int32_t kRenderRingElements = 16384;  // 8192 stereo frames
constexpr ULONG kCaptureChannels = 2;
constexpr ULONG kCaptureFrames = 4096;  // above any period the engine delivers
constexpr ULONG kCommonBufferBytes = 64 * 1024;
constexpr int32_t kRenderAmplitude = 0x20000000;
constexpr uint32_t kRenderHalfPeriod = 24;  // a 1 kHz square wave at 48 kHz
constexpr ULONG kRemovedArgument = 1;

LinkTestCounters g_Counters;
PDRIVER_OBJECT g_Driver = nullptr;

uint64_t Word(const void* pointer) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}
template <typename Routine>
uint64_t RoutineWord(Routine routine) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(routine));
}

LinkTestDevice* DeviceOf(PDEVICE_OBJECT device) {
    return static_cast<LinkTestDevice*>(device->DeviceExtension);
}

// --- Callbacks (DISPATCH_LEVEL) ----------------------------------------------------------------

// Keeps the render ring full of a square wave: the producer side is this callback alone.
void FillRenderRing(LinkTestDevice* device) {
    RingBuffer* ring = &device->renderRing;
    const int32_t frames = GetWriteAvailable(ring) / kRenderChannels;
    if (frames <= 0) return;
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    GetWriteRegions(ring, frames * kRenderChannels, &first, &firstCount, &second, &secondCount);
    // Regions hold whole frames: both indices only ever move by whole frames.
    auto fill = [device](void* region, int32_t count) {
        auto* samples = static_cast<int32_t*>(region);
        for (int32_t i = 0; i + 1 < count; i += kRenderChannels) {
            const bool high = (device->renderPhase / kRenderHalfPeriod) % 2 == 0;
            samples[i] = high ? kRenderAmplitude : -kRenderAmplitude;
            samples[i + 1] = samples[i];
            ++device->renderPhase;
        }
    };
    fill(first, firstCount);
    if (second != nullptr) fill(second, secondCount);
    AdvanceWriteIndex(ring, firstCount + secondCount);
    device->counters->framesRendered +=
        static_cast<uint64_t>((firstCount + secondCount) / kRenderChannels);
}

void OnStreamPeriod(LONG direction, LONG code, PVOID context) {
    auto* device = static_cast<LinkTestDevice*>(context);
    UNREFERENCED_PARAMETER(code);
    if (direction == 0) {
        ++device->counters->outputPeriods;
        FillRenderRing(device);
        return;
    }
    ++device->counters->inputPeriods;
    int32_t peak = 0;
    for (ULONG i = 0; i < device->captureFrames * kCaptureChannels; ++i) {
        const int32_t sample = device->captureBuffer[i];
        const int32_t magnitude = sample < 0 ? (sample == INT32_MIN ? INT32_MAX : -sample) : sample;
        if (magnitude > peak) peak = magnitude;
    }
    int32_t seen = device->counters->capturePeak.load();
    while (peak > seen && !device->counters->capturePeak.compare_exchange_weak(seen, peak)) {
    }
}

void OnMidi(LONG direction, LONG code, PVOID context, LONG argument) {
    auto* device = static_cast<LinkTestDevice*>(context);
    UNREFERENCED_PARAMETER(direction);
    UNREFERENCED_PARAMETER(code);
    if (static_cast<ULONG>(argument) == kRemovedArgument) {
        // The facade is going away: no dispatch call may follow.
        InterlockedExchange(&device->deviceGone, 1);
        ++device->counters->removalNotices;
        return;
    }
    ++device->counters->midiNotices;
}

// --- Requests down its own stack ----------------------------------------------------------------

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A query-interface request to the top of its own stack, as the port-class adapter sends it.
NTSTATUS QueryInterface(LinkTestDevice* device, const GUID& type, USHORT size, USHORT version,
                        PVOID record) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device->self);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &type;
    next->Parameters.QueryInterface.Size = size;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(record);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

NTSTATUS ForwardAndWait(LinkTestDevice* device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(LinkTestDevice* device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->lower, irp);
}

// --- Start and removal ---------------------------------------------------------------------------

NTSTATUS StartDevice(LinkTestDevice* device) {
    device->queryStatus =
        QueryInterface(device, *reinterpret_cast<const GUID*>(&GUID_Q407_STREAM_LINK),
                       kStreamLinkSize, kStreamLinkVersion, &device->link);
    if (!NT_SUCCESS(device->queryStatus)) return device->queryStatus;
    device->haveLink = TRUE;

    NTSTATUS status = QueryInterface(device, GUID_BUS_INTERFACE_STANDARD,
                                     sizeof(BUS_INTERFACE_STANDARD), 1, &device->bus);
    if (!NT_SUCCESS(status)) return status;
    device->haveBus = TRUE;
    DEVICE_DESCRIPTION description{};
    description.Version = DEVICE_DESCRIPTION_VERSION;
    description.Master = TRUE;
    description.Dma32BitAddresses = TRUE;
    description.MaximumLength = kCommonBufferBytes;
    ULONG mapRegisters = 0;
    device->adapter = device->bus.GetDmaAdapter(device->bus.Context, &description, &mapRegisters);
    if (device->adapter == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PHYSICAL_ADDRESS logical;
    device->commonBuffer = device->adapter->DmaOperations->AllocateCommonBuffer(
        device->adapter, kCommonBufferBytes, &logical, FALSE);
    if (device->commonBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    device->commonBufferBytes = kCommonBufferBytes;

    device->renderStorage = static_cast<PUCHAR>(ExAllocatePoolWithTag(
        NonPagedPoolNx, kRenderRingElements * sizeof(int32_t), kLinkTestPoolTag));
    device->captureBuffer = static_cast<int32_t*>(ExAllocatePoolWithTag(
        NonPagedPoolNx, kCaptureFrames * kCaptureChannels * sizeof(int32_t), kLinkTestPoolTag));
    if (device->renderStorage == nullptr || device->captureBuffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(device->captureBuffer, kCaptureFrames * kCaptureChannels * sizeof(int32_t));
    device->captureFrames = kCaptureFrames;
    if (Initialize(&device->renderRing, sizeof(int32_t), kRenderRingElements, device->renderStorage,
                   kRenderChannels, sizeof(int32_t)) != 0)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Gives back everything start took; safe after a partial start.
void ReleaseDevice(LinkTestDevice* device) {
    if (device->commonBuffer != nullptr) {
        PHYSICAL_ADDRESS logical;
        logical.QuadPart = 0;
        device->adapter->DmaOperations->FreeCommonBuffer(device->adapter, device->commonBufferBytes,
                                                         logical, device->commonBuffer, FALSE);
        device->commonBuffer = nullptr;
    }
    if (device->adapter != nullptr) {
        device->adapter->DmaOperations->PutDmaAdapter(device->adapter);
        device->adapter = nullptr;
    }
    if (device->haveBus) {
        device->bus.InterfaceDereference(device->bus.Context);
        device->haveBus = FALSE;
    }
    if (device->haveLink) {
        device->link.dereference(device->link.context);
        device->haveLink = FALSE;
    }
    if (device->renderStorage != nullptr)
        ExFreePoolWithTag(device->renderStorage, kLinkTestPoolTag);
    if (device->captureBuffer != nullptr)
        ExFreePoolWithTag(device->captureBuffer, kLinkTestPoolTag);
    device->renderStorage = nullptr;
    device->captureBuffer = nullptr;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT object, PIRP irp) {
    LinkTestDevice* device = DeviceOf(object);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(device, irp);
            if (NT_SUCCESS(status)) status = StartDevice(device);
            return Complete(irp, status);
        }
        case IRP_MN_SURPRISE_REMOVAL:
            InterlockedExchange(&device->deviceGone, 1);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        case IRP_MN_REMOVE_DEVICE: {
            ReleaseDevice(device);
            irp->IoStatus.Status = STATUS_SUCCESS;
            const NTSTATUS status = PassDown(device, irp);
            IoDetachDevice(device->lower);
            IoDeleteDevice(object);
            return status;
        }
        default:
            return PassDown(device, irp);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT object, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(DeviceOf(object)->lower, irp);
}

NTSTATUS DispatchOther(PDEVICE_OBJECT object, PIRP irp) {
    return PassDown(DeviceOf(object), irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    PDEVICE_OBJECT object = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(LinkTestDevice), nullptr, FILE_DEVICE_SOUND,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &object);
    if (!NT_SUCCESS(status)) return status;
    LinkTestDevice* device = DeviceOf(object);
    RtlZeroMemory(device, sizeof(*device));
    device->self = object;
    device->physical = physical;
    device->counters = &g_Counters;
    device->lower = IoAttachDeviceToDeviceStack(object, physical);
    if (device->lower == nullptr) {
        IoDeleteDevice(object);
        return STATUS_NO_SUCH_DEVICE;
    }
    object->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
    g_Driver = nullptr;
}

bool UsableLink(const LinkTestDevice* device) {
    return device->haveLink &&
           InterlockedCompareExchange(const_cast<volatile LONG*>(&device->deviceGone), 0, 0) == 0;
}

void SetChannels(LinkTestDevice* device, uint32_t direction, uint32_t group, bool run) {
    LinkStreamNotifyBlock notify{direction,
                                 group,
                                 direction == 0 ? 0u : 2u,
                                 0,
                                 run ? RoutineWord(&OnStreamPeriod) : 0,
                                 run ? Word(device) : 0};
    LinkStreamChannelsBlock channels{direction, group, 0, 2};
    if (direction == 0) {
        LinkStreamRingBlock ring{direction, group, 0, 2, run ? Word(&device->renderRing) : 0};
        if (run) {
            Flush(&device->renderRing);
            FillRenderRing(device);
        }
        if (run) {
            CallLink(device, kLinkSetStreamRing, &ring);
            CallLink(device, kLinkRegisterStreamNotify, &notify);
            CallLink(device, kLinkOpenStreamChannels, &channels);
        } else {
            CallLink(device, kLinkRegisterStreamNotify, &notify);
            CallLink(device, kLinkSetStreamRing, &ring);
            CallLink(device, kLinkCloseStreamChannels, &channels);
        }
        return;
    }
    LinkStreamBufferBlock buffer{
        direction, group, 0, 2, run ? Word(device->captureBuffer) : 0, 0, kCaptureChannels};
    if (run) {
        CallLink(device, kLinkSetStreamBuffer, &buffer);
        CallLink(device, kLinkRegisterStreamNotify, &notify);
        CallLink(device, kLinkOpenStreamChannels, &channels);
    } else {
        CallLink(device, kLinkRegisterStreamNotify, &notify);
        CallLink(device, kLinkSetStreamBuffer, &buffer);
        CallLink(device, kLinkCloseStreamChannels, &channels);
    }
}

}  // namespace

NTSTATUS LinkTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& routine : driver->MajorFunction) routine = DispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    g_Driver = driver;
    g_Counters.outputPeriods = 0;
    g_Counters.inputPeriods = 0;
    g_Counters.framesRendered = 0;
    g_Counters.capturePeak = 0;
    g_Counters.midiNotices = 0;
    g_Counters.removalNotices = 0;
    return STATUS_SUCCESS;
}

LinkTestDevice* FindLinkTestDevice() {
    if (g_Driver == nullptr || g_Driver->DeviceObject == nullptr) return nullptr;
    return DeviceOf(g_Driver->DeviceObject);
}

void CallLink(LinkTestDevice* device, uint32_t function, void* block) {
    if (!UsableLink(device)) return;
    if (function < kLinkFunctionCount)
        InterlockedOr(&device->functionsUsed, static_cast<LONG>(1u << function));
    device->link.dispatch(device->link.deviceContext, function, block);
}

void PrepareStreams(LinkTestDevice* device) {
    LinkLatencyBlock latency{0};
    CallLink(device, kLinkGetLatency, &latency);
    device->latency = latency.latency;
    LinkStreamRateBlock rate{kLinkTestRate, 0};
    CallLink(device, kLinkGetStreamRate, &rate);
    if (rate.rate == kLinkTestRate) return;
    LinkChannelsOpenBlock open{-1, -1, 0};
    CallLink(device, kLinkQueryChannelsOpen, &open);
    if (open.result != 0) return;  // another client streams: the rate stays
    LinkStreamFormatBlock format{0, kLinkTestRate, 2, 32, 0, 1};
    CallLink(device, kLinkSetStreamFormat, &format);
}

void RunStreams(LinkTestDevice* device) {
    SetChannels(device, 0, kLinkTestRenderGroup, true);
    SetChannels(device, 1, kLinkTestCaptureGroup, true);
}

void StopStreams(LinkTestDevice* device) {
    SetChannels(device, 0, kLinkTestRenderGroup, false);
    SetChannels(device, 1, kLinkTestCaptureGroup, false);
}

void PowerDownStreams(LinkTestDevice* device) {
    LinkStreamChannelsBlock stop{kLinkStopStreamingDirection, 0, 0, 0};
    CallLink(device, kLinkCloseStreamChannels, &stop);
}

void OpenMidi(LinkTestDevice* device) {
    LinkMidiInNotifyBlock notify{0, 0, RoutineWord(&OnMidi), Word(device)};
    CallLink(device, kLinkRegisterMidiInNotify, &notify);
    LinkMidiInputBlock input{0, {0, 0, 0}, 1, 1};
    CallLink(device, kLinkOpenMidiInput, &input);
}

uint32_t SendMidi(LinkTestDevice* device, const std::vector<uint8_t>& bytes) {
    uint32_t written = 0;
    for (uint8_t value : bytes) {
        LinkMidiByteBlock block{0, value, {0, 0}, 0};
        CallLink(device, kLinkWriteMidiByte, &block);
        written += block.result;
    }
    return written;
}

std::vector<uint8_t> ReadMidi(LinkTestDevice* device) {
    std::vector<uint8_t> bytes;
    for (;;) {
        LinkMidiByteBlock block{0, 0, {0, 0}, kLinkNoMidiByte};
        CallLink(device, kLinkReadMidiByte, &block);
        if (block.result == kLinkNoMidiByte || block.result > 0xFF) return bytes;
        bytes.push_back(static_cast<uint8_t>(block.result));
    }
}

void CloseMidi(LinkTestDevice* device) {
    LinkMidiInputBlock input{0, {0, 0, 0}, 0, 1};
    CallLink(device, kLinkOpenMidiInput, &input);
    LinkMidiInNotifyBlock notify{0, 0, 0, 0};
    CallLink(device, kLinkRegisterMidiInNotify, &notify);
}

void SetTopologyMute(LinkTestDevice* device, uint32_t subdevice, uint32_t value) {
    LinkTopologyChangeBlock change{subdevice, 1, value, value};
    CallLink(device, kLinkApplyTopologyChange, &change);
}

bool QueryRemainingFunctions(LinkTestDevice* device) {
    bool expected = true;
    LinkChannelCountsBlock counts{0, 0};
    CallLink(device, kLinkQueryChannelCounts, &counts);
    expected = expected && counts.inputs == 16 && counts.outputs == 8;
    LinkReservedBlock reserved{1, 1, 1};
    CallLink(device, kLinkReserved7, &reserved);
    expected = expected && reserved.word0 == 0;
    reserved = {1, 1, 1};
    CallLink(device, kLinkReserved8, &reserved);
    expected = expected && reserved.word0 == 1 && reserved.word1 == 1 && reserved.word2 == 1;
    CallLink(device, kLinkReserved18, &reserved);
    expected = expected && reserved.word2 == 0;
    CallLink(device, kLinkReserved20, &reserved);
    expected = expected && reserved.word0 == 32 && reserved.word1 == 32;
    for (uint32_t function : {13u, 14u, 15u, 16u, 21u}) {
        reserved = {5, 5, 5};
        CallLink(device, function, &reserved);
        expected = expected && reserved.word0 == 5 && reserved.word1 == 5 && reserved.word2 == 5;
    }
    return expected;
}

bool UsedAllFunctions(const LinkTestDevice* device) {
    return static_cast<uint32_t>(device->functionsUsed) == (1u << kLinkFunctionCount) - 1u;
}

}  // namespace q407::testing
