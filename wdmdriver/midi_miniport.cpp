// The MIDI subdevice's miniport: description, streams' bookkeeping, the input buffer that MIDI IN
// bytes wait in until the port pulls them, and the notification from Q407DRV.
#include "wdmdriver/midi_miniport.h"

#include "wdmdriver/driver_pool.h"
#include "wdmdriver/midi_miniport_object.h"
#include "wdmdriver/midi_tables.h"

namespace q407::wdm {
namespace {

constexpr ULONG kMidiPoolTag = POOL_TAG("ZwMi");
// More reads than the engine's MIDI IN ring holds: one poll drains it, and a link that never
// runs dry cannot hold the caller forever.
constexpr ULONG kMaxPollReads = 2048;
constexpr USHORT kInputChannelGroup = 1;

ULONG NextInputPosition(ULONG position) {
    return (position + 1) % kMidiInputBufferBytes;
}

}  // namespace

MidiMiniport::~MidiMiniport() {
    if (masterClock_ != nullptr) masterClock_->Release();
    if (serviceGroup_ != nullptr) serviceGroup_->Release();
    if (port_ != nullptr) port_->Release();
}

MidiMiniport* MidiMiniport::FromUnknown(PUNKNOWN unknown) {
    return static_cast<MidiMiniport*>(static_cast<PMINIPORTDMUS>(unknown));
}

STDMETHODIMP_(NTSTATUS) MidiMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PVOID(PUNKNOWN(PMINIPORTDMUS(this)));
    } else if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportDMus)) {
        *object = PVOID(PMINIPORTDMUS(this));
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        *object = PVOID(PPOWERNOTIFY(this));
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) MidiMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    if (description == nullptr) return STATUS_INVALID_PARAMETER;
    // The port only reads the description; the kit's signature wants it modifiable.
    *description = const_cast<PPCFILTER_DESCRIPTOR>(&g_MidiFilter);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
MidiMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                    PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                    PVOID resultantFormat, PULONG resultantFormatLength) {
    UNREFERENCED_PARAMETER(pinId);
    UNREFERENCED_PARAMETER(dataRange);
    UNREFERENCED_PARAMETER(matchingDataRange);
    UNREFERENCED_PARAMETER(outputBufferLength);
    UNREFERENCED_PARAMETER(resultantFormat);
    UNREFERENCED_PARAMETER(resultantFormatLength);
    // The music ranges carry no parameters to negotiate: the port's own intersection serves.
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
MidiMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTDMUS port,
                   PSERVICEGROUP* serviceGroup) {
    UNREFERENCED_PARAMETER(resourceList);
    if (port == nullptr || serviceGroup == nullptr) return STATUS_INVALID_PARAMETER;
    *serviceGroup = nullptr;
    if (port_ != nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = CopyMiniportLink(unknownAdapter, &link_);
    if (!NT_SUCCESS(status)) return status;

    KeInitializeSpinLock(&lock_);
    RtlZeroMemory(scratch_, sizeof(scratch_));
    ResetInputLocked();  // nobody else sees the miniport yet

    PSERVICEGROUP group = nullptr;
    status = PcNewServiceGroup(&group, nullptr);
    if (!NT_SUCCESS(status)) return status;
    port->AddRef();
    port_ = port;
    serviceGroup_ = group;  // the miniport's own reference
    group->AddRef();
    *serviceGroup = group;  // the caller's
    port->RegisterServiceGroup(group);
    ready_ = TRUE;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) MidiMiniport::Service() {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (captureStreams_ == 0) ResetInputLocked();
    KeReleaseSpinLock(&lock_, irql);
}

STDMETHODIMP_(NTSTATUS)
MidiMiniport::NewStream(PMXF* mxf, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG pinId,
                        DMUS_STREAM_TYPE streamType, PKSDATAFORMAT dataFormat,
                        PSERVICEGROUP* serviceGroup, PAllocatorMXF allocatorMxf,
                        PMASTERCLOCK masterClock, PULONGLONG schedulePreFetch) {
    UNREFERENCED_PARAMETER(pinId);
    UNREFERENCED_PARAMETER(dataFormat);
    // The stream holds a spin lock, a timer and a DPC: non-paged whatever the port asks for.
    UNREFERENCED_PARAMETER(poolType);
    if (mxf == nullptr || serviceGroup == nullptr || allocatorMxf == nullptr)
        return STATUS_INVALID_PARAMETER;
    *mxf = nullptr;
    *serviceGroup = nullptr;
    if (schedulePreFetch != nullptr) *schedulePreFetch = 0;

    BOOLEAN capture = FALSE;
    if (streamType == DMUS_STREAM_MIDI_CAPTURE) {
        capture = TRUE;
    } else if (streamType != DMUS_STREAM_MIDI_RENDER) {
        return STATUS_INVALID_DEVICE_REQUEST;  // no wave sink: the device has no synthesizer
    }

    if (masterClock != nullptr) masterClock->AddRef();
    PMASTERCLOCK previousClock = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    ULONG* count = capture ? &captureStreams_ : &renderStreams_;
    const ULONG limit = capture ? kMidiMaxCaptureStreams : kMidiMaxRenderStreams;
    if (*count >= limit) {
        KeReleaseSpinLock(&lock_, irql);
        if (masterClock != nullptr) masterClock->Release();
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ++*count;
    previousClock = masterClock_;
    masterClock_ = masterClock;
    KeReleaseSpinLock(&lock_, irql);
    if (previousClock != nullptr) previousClock->Release();

    NTSTATUS status =
        CreateMidiStream(this, outerUnknown, WdmNonPagedPool(), capture, allocatorMxf, mxf);
    if (!NT_SUCCESS(status)) {
        StreamClosed(capture);
        return status;
    }
    if (capture) {
        serviceGroup_->AddRef();
        *serviceGroup = serviceGroup_;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) MidiMiniport::PowerChangeNotify(POWER_STATE powerState) {
    powerState_ = powerState.DeviceState;
}

void MidiMiniport::StreamClosed(BOOLEAN capture) {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (capture) {
        if (captureStreams_ > 0) --captureStreams_;
        captureState_ = KSSTATE_STOP;
    } else if (renderStreams_ > 0) {
        --renderStreams_;
    }
    KeReleaseSpinLock(&lock_, irql);
}

void MidiMiniport::SetCaptureState(KSSTATE state) {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    captureState_ = state;
    if (state == KSSTATE_STOP) ResetInputLocked();
    KeReleaseSpinLock(&lock_, irql);
}

void MidiMiniport::ResetInputLocked() {
    inputWrite_ = 0;
    inputRead_ = 0;
    arrivalTime_ = 0;
}

void MidiMiniport::PollInputLocked() {
    for (ULONG reads = 0; reads < kMaxPollReads; ++reads) {
        if (captureStreams_ == 0 || captureState_ != KSSTATE_RUN) return;
        LinkMidiByteBlock block{MidiPort(), 0, {0, 0}, kLinkNoMidiByte};
        if (!CallMiniportLink(&link_, kLinkReadMidiByte, &block)) return;
        if (block.result > 0xFF) return;  // kLinkNoMidiByte: the engine's ring is empty
        const ULONG next = NextInputPosition(inputWrite_);
        if (next == inputRead_) continue;  // full: the byte is lost
        input_[inputWrite_] = UCHAR(block.result);
        inputWrite_ = next;
        if (arrivalTime_ == 0 && masterClock_ != nullptr) {
            REFERENCE_TIME now = 0;
            // Without a time the events go out at 0: the sink then plays them at once.
            if (NT_SUCCESS(masterClock_->GetTime(&now))) arrivalTime_ = now;
        }
    }
}

NTSTATUS MidiMiniport::PullInput(PAllocatorMXF allocator, PMXF sink) {
    if (allocator == nullptr) return STATUS_INVALID_PARAMETER;
    PDMUS_KERNEL_EVENT head = nullptr;
    PDMUS_KERNEL_EVENT tail = nullptr;
    NTSTATUS status = STATUS_SUCCESS;

    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    PollInputLocked();
    while (inputRead_ != inputWrite_) {
        PDMUS_KERNEL_EVENT event = nullptr;
        if (!NT_SUCCESS(allocator->GetMessage(&event)) || event == nullptr) {
            // What did not fit stays buffered for the next pull.
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        USHORT length = 0;
        while (length < sizeof(PBYTE) && inputRead_ != inputWrite_) {
            event->uData.abData[length++] = input_[inputRead_];
            inputRead_ = NextInputPosition(inputRead_);
        }
        event->cbEvent = length;
        event->usChannelGroup = kInputChannelGroup;
        event->usFlags = DMUS_KEF_EVENT_INCOMPLETE;
        event->ullPresTime100ns = arrivalTime_;
        event->pNextEvt = nullptr;
        if (tail == nullptr) {
            head = event;
        } else {
            tail->pNextEvt = event;
        }
        tail = event;
    }
    if (inputRead_ == inputWrite_) arrivalTime_ = 0;
    KeReleaseSpinLock(&lock_, irql);

    if (head == nullptr) return status;
    // With no sink connected the allocator stands in: the bytes are dropped.
    const NTSTATUS delivered = (sink != nullptr ? sink : allocator)->PutMessage(head);
    return NT_SUCCESS(status) ? delivered : status;
}

NTSTATUS MidiMiniport::CurrentTime(REFERENCE_TIME* time) {
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (masterClock_ != nullptr) status = masterClock_->GetTime(time);
    KeReleaseSpinLock(&lock_, irql);
    return status;
}

ULONG MidiMiniport::InputBytesBuffered() {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    const ULONG count = (inputWrite_ + kMidiInputBufferBytes - inputRead_) % kMidiInputBufferBytes;
    KeReleaseSpinLock(&lock_, irql);
    return count;
}

void MidiMiniport::MidiInputRoutine(LONG direction, LONG code, PVOID context, LONG argument) {
    UNREFERENCED_PARAMETER(direction);
    UNREFERENCED_PARAMETER(code);
    auto* miniport = static_cast<MidiMiniport*>(context);
    if (miniport == nullptr) return;
    if (argument == kMidiInputDeviceRemoved) ForgetMiniportDevice(&miniport->link_);
    // The port answers with a pull from the capture stream, which reads what arrived.
    if (miniport->port_ != nullptr && miniport->serviceGroup_ != nullptr)
        miniport->port_->Notify(miniport->serviceGroup_);
}

ULONG MidiInputBytesBuffered(PUNKNOWN miniport) {
    return MidiMiniport::FromUnknown(miniport)->InputBytesBuffered();
}

DEVICE_POWER_STATE MidiPowerState(PUNKNOWN miniport) {
    return MidiMiniport::FromUnknown(miniport)->PowerState();
}

NTSTATUS CreateMidiMiniport(PUNKNOWN* unknown) {
    if (unknown == nullptr) return STATUS_INVALID_PARAMETER;
    *unknown = nullptr;
    STD_CREATE_BODY_WITH_TAG_(MidiMiniport, unknown, nullptr, WdmNonPagedPool(), kMidiPoolTag,
                              PMINIPORTDMUS);
}

}  // namespace q407::wdm
