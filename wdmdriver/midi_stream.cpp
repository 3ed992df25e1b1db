// A MIDI stream of the MIDI miniport: a render stream sends its queue of events to the engine's
// MIDI OUT ring one byte at a time and retries every 2 ms what the ring refused; a capture
// stream hands what the device sent to the sink the port connected.
//
// Render output runs under the stream's spin lock, from PutMessage or from the retry timer's DPC.
// A pending retry holds a reference to the stream, so the DPC never outlives it; stopping the
// stream cancels the retry (the queue waits for the next run, which retries at once).
#include "wdmdriver/midi_miniport_object.h"

namespace q407::wdm {
namespace {

constexpr ULONG kMidiStreamPoolTag = POOL_TAG("ZwMs");
constexpr LONGLONG kExpireAtOnce = -1;  // relative, 100 ns

class MidiStream : public IMXF, public CUnknown {
  public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(MidiStream);
    ~MidiStream() override;

    void Init(MidiMiniport* miniport, BOOLEAN capture, PAllocatorMXF allocator);

    // IMXF
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) PutMessage(PDMUS_KERNEL_EVENT events) override;
    STDMETHODIMP_(NTSTATUS) ConnectOutput(PMXF sink) override;
    STDMETHODIMP_(NTSTATUS) DisconnectOutput(PMXF sink) override;

  private:
    static void RetryDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
    // Sends queued events until the ring refuses a byte; events sent whole are moved to *done.
    void ProcessOutputLocked(PDMUS_KERNEL_EVENT* done);
    // Arms the retry timer unless a firing is already pending; the firing holds a reference.
    void ArmTimerLocked(LONGLONG dueTime);
    void SetTimerLocked(LONGLONG dueTime);
    ULONG WriteBytes(const UCHAR* bytes, ULONG count);
    void ReturnEvents(PDMUS_KERNEL_EVENT events);

    MidiMiniport* miniport_ = nullptr;
    PAllocatorMXF allocator_ = nullptr;
    BOOLEAN capture_ = FALSE;
    BOOLEAN opened_ = FALSE;  // the engine's MIDI port was opened for this stream
    PMXF sink_ = nullptr;     // capture: the connected sink, the allocator when none
    PDMUS_KERNEL_EVENT queueHead_ = nullptr;  // render: events not yet sent whole
    PDMUS_KERNEL_EVENT queueTail_ = nullptr;
    ULONG bytesSent_ = 0;  // of the head event
    BOOLEAN retryPending_ = FALSE;
    BOOLEAN timerArmed_ = FALSE;
    KSSTATE state_ = KSSTATE_STOP;
    KSPIN_LOCK lock_ = 0;
    KTIMER timer_{};
    KDPC dpc_{};
};

MidiStream::~MidiStream() {
    // A pending retry holds a reference, so none is armed now.
    KeCancelTimer(&timer_);
    ReturnEvents(queueHead_);
    queueHead_ = queueTail_ = nullptr;
    if (allocator_ != nullptr) allocator_->Release();
    if (miniport_ != nullptr) {
        if (capture_) {
            LinkMidiInNotifyBlock notify{miniport_->MidiPort(), 0, 0, 0};
            // Nothing to undo once the device is gone: its tables went with it.
            CallMiniportLink(miniport_->Link(), kLinkRegisterMidiInNotify, &notify);
        }
        if (opened_) {
            LinkMidiInputBlock close{miniport_->MidiPort(), {0, 0, 0}, 0, capture_ ? 1u : 0u};
            CallMiniportLink(miniport_->Link(), kLinkOpenMidiInput, &close);
        }
        miniport_->StreamClosed(capture_);
        PMINIPORTDMUS(miniport_)->Release();
    }
}

void MidiStream::Init(MidiMiniport* miniport, BOOLEAN capture, PAllocatorMXF allocator) {
    KeInitializeSpinLock(&lock_);
    KeInitializeTimer(&timer_);
    KeInitializeDpc(&dpc_, RetryDpc, this);
    PMINIPORTDMUS(miniport)->AddRef();
    miniport_ = miniport;
    allocator->AddRef();
    allocator_ = allocator;
    capture_ = capture;
    sink_ = allocator;

    if (capture) {
        LinkMidiInNotifyBlock notify{miniport->MidiPort(), 0,
                                     RoutineWord(&MidiMiniport::MidiInputRoutine),
                                     PointerWord(miniport)};
        CallMiniportLink(miniport->Link(), kLinkRegisterMidiInNotify, &notify);
    }
    LinkMidiInputBlock open{miniport->MidiPort(), {0, 0, 0}, 1, capture ? 1u : 0u};
    // Without the device there is nothing to open; the stream still works and stays silent.
    opened_ = CallMiniportLink(miniport->Link(), kLinkOpenMidiInput, &open);
}

STDMETHODIMP_(NTSTATUS) MidiStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PVOID(PUNKNOWN(PMXF(this)));
    } else if (IsEqualGUID(iid, IID_IMXF)) {
        *object = PVOID(PMXF(this));
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) MidiStream::SetState(KSSTATE state) {
    if (state == KSSTATE_RUN && !miniport_->Ready()) return STATUS_INVALID_DEVICE_STATE;
    if (capture_) {
        miniport_->SetCaptureState(state);
        return STATUS_SUCCESS;
    }
    BOOLEAN dropTimerReference = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    state_ = state;
    if (state == KSSTATE_RUN) {
        // Output starts at once. A retry still waiting is brought forward with the reference it
        // holds; one that already fired is about to run anyway.
        if (!timerArmed_) {
            ArmTimerLocked(kExpireAtOnce);
        } else if (KeCancelTimer(&timer_)) {
            SetTimerLocked(kExpireAtOnce);
        }
    } else if (state == KSSTATE_STOP && timerArmed_ && KeCancelTimer(&timer_)) {
        timerArmed_ = FALSE;
        dropTimerReference = TRUE;
    }
    KeReleaseSpinLock(&lock_, irql);
    // The caller holds a reference of its own, so this one is never the last.
    if (dropTimerReference) Release();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) MidiStream::PutMessage(PDMUS_KERNEL_EVENT events) {
    if (capture_) {
        // The port pulls input with an empty message; anything it passes in goes back.
        if (events != nullptr) allocator_->PutMessage(events);
        PMXF sink = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        sink = sink_;
        KeReleaseSpinLock(&lock_, irql);
        return miniport_->PullInput(allocator_, sink);
    }

    PDMUS_KERNEL_EVENT done = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (events != nullptr) {
        PDMUS_KERNEL_EVENT last = events;
        while (last->pNextEvt != nullptr) last = last->pNextEvt;
        if (queueTail_ == nullptr) {
            queueHead_ = events;
        } else {
            queueTail_->pNextEvt = events;
        }
        queueTail_ = last;
    }
    if (!retryPending_) ProcessOutputLocked(&done);
    KeReleaseSpinLock(&lock_, irql);
    ReturnEvents(done);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) MidiStream::ConnectOutput(PMXF sink) {
    if (!capture_ || sink == nullptr) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (sink_ == allocator_) {
        sink_ = sink;
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&lock_, irql);
    return status;
}

STDMETHODIMP_(NTSTATUS) MidiStream::DisconnectOutput(PMXF sink) {
    if (!capture_) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (sink == nullptr || sink == sink_) {
        sink_ = allocator_;
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&lock_, irql);
    return status;
}

void MidiStream::RetryDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* stream = static_cast<MidiStream*>(context);
    PDMUS_KERNEL_EVENT done = nullptr;
    KeAcquireSpinLockAtDpcLevel(&stream->lock_);
    stream->timerArmed_ = FALSE;
    stream->ProcessOutputLocked(&done);
    KeReleaseSpinLockFromDpcLevel(&stream->lock_);
    stream->ReturnEvents(done);
    stream->Release();  // the firing's reference; may be the last
}

void MidiStream::ArmTimerLocked(LONGLONG dueTime) {
    if (timerArmed_) return;
    timerArmed_ = TRUE;
    AddRef();
    SetTimerLocked(dueTime);
}

void MidiStream::SetTimerLocked(LONGLONG dueTime) {
    LARGE_INTEGER due;
    due.QuadPart = dueTime;
    // The timer was not set (or was just cancelled): nothing to report.
    KeSetTimer(&timer_, due, &dpc_);
}

ULONG MidiStream::WriteBytes(const UCHAR* bytes, ULONG count) {
    ULONG written = 0;
    while (written < count) {
        LinkMidiByteBlock block{miniport_->MidiPort(), bytes[written], {0, 0}, 0};
        if (!CallMiniportLink(miniport_->Link(), kLinkWriteMidiByte, &block)) break;
        if (block.result != 1) break;  // the engine's MIDI OUT ring is full
        ++written;
    }
    return written;
}

void MidiStream::ProcessOutputLocked(PDMUS_KERNEL_EVENT* done) {
    retryPending_ = FALSE;
    PDMUS_KERNEL_EVENT doneTail = nullptr;
    auto finish = [&](PDMUS_KERNEL_EVENT event) {
        queueHead_ = event->pNextEvt;
        if (queueHead_ == nullptr) queueTail_ = nullptr;
        event->pNextEvt = nullptr;
        if (doneTail == nullptr) {
            *done = event;
        } else {
            doneTail->pNextEvt = event;
        }
        doneTail = event;
        bytesSent_ = 0;
    };

    while (queueHead_ != nullptr) {
        PDMUS_KERNEL_EVENT event = queueHead_;
        const ULONG length = event->cbEvent;
        const UCHAR* data = event->uData.abData;
        if (length > sizeof(PBYTE)) {
            if (event->usFlags & DMUS_KEF_PACKAGE_EVENT) {
                // The package's events take its place in the queue, so the order is kept.
                PDMUS_KERNEL_EVENT inner = event->uData.pPackageEvt;
                event->uData.pPackageEvt = nullptr;
                finish(event);
                if (inner != nullptr) {
                    PDMUS_KERNEL_EVENT last = inner;
                    while (last->pNextEvt != nullptr) last = last->pNextEvt;
                    last->pNextEvt = queueHead_;
                    if (queueHead_ == nullptr) queueTail_ = last;
                    queueHead_ = inner;
                }
                continue;
            }
            data = event->uData.pbData;
            if (data == nullptr) {  // nothing to send
                finish(event);
                continue;
            }
        }
        const ULONG sent = bytesSent_ < length ? bytesSent_ : 0;
        const ULONG remaining = length - sent;
        const ULONG written = WriteBytes(data + sent, remaining);
        if (written < remaining) {
            bytesSent_ = sent + written;
            retryPending_ = TRUE;
            // A stopped stream keeps its queue; the next run retries at once.
            if (state_ != KSSTATE_STOP) ArmTimerLocked(-kMidiRetryDelay);
            return;
        }
        finish(event);
    }
}

void MidiStream::ReturnEvents(PDMUS_KERNEL_EVENT events) {
    if (events != nullptr) allocator_->PutMessage(events);
}

}  // namespace

NTSTATUS CreateMidiStream(MidiMiniport* miniport, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                          BOOLEAN capture, PAllocatorMXF allocator, PMXF* mxf) {
    if (miniport == nullptr || allocator == nullptr || mxf == nullptr)
        return STATUS_INVALID_PARAMETER;
    *mxf = nullptr;
    auto* stream = new (poolType, kMidiStreamPoolTag) MidiStream(outerUnknown);
    if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PMXF(stream)->AddRef();
    stream->Init(miniport, capture, allocator);
    *mxf = PMXF(stream);
    return STATUS_SUCCESS;
}

}  // namespace q407::wdm
