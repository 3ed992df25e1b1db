// IRPs: allocation, sending down a stack, completion up the stack, cancellation, and the requests
// the I/O manager builds and owns.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/io_internal.h"
#include "sim/host/io_manager.h"
#include "sim/host/irp_tracking.h"
#include "sim/host/machine_core.h"
#include "sim/host/object_manager.h"
#include "sim/host/paged_pool.h"
#include "sim/host/process_internal.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim::detail {
namespace {

constexpr ULONG kIrpTag = POOL_TAG("Irp ");
constexpr ULONG kSystemBufferTag = POOL_TAG("IoSb");

// A dispatch routine running for an IRP (on IofCallDriver's stack). Completion passing its
// location records whether the driver left the location marked pending.
struct DispatchFrame {
    CHAR location = 0;
    bool passed = false;
    bool marked = false;
};

// A location whose dispatch routine returned STATUS_PENDING before completion reached it.
struct PendingReturn {
    CHAR location = 0;
    UCHAR major = 0;
};

struct IrpRecord {
    bool allocated = false;  // by IoAllocateIrp (else IoInitializeIrp on the caller's memory)
    bool owned = false;      // the I/O manager frees it on completion
    bool freed = false;
    bool sent = false;
    CHAR ownerLocation = 0;  // CurrentLocation when its owner sent it
    // Location whose completion routine returned STATUS_MORE_PROCESSING_REQUIRED, until the
    // IRP is completed on, sent again or reused (0: none).
    CHAR heldAt = 0;
    const void* allocator = nullptr;  // driver whose code allocated it
    std::vector<DispatchFrame*> frames;
    std::vector<PendingReturn> pendingReturns;
    // Buffered device control: copy the system buffer back to this output on completion.
    PVOID output = nullptr;
    ULONG outputLength = 0;
    bool copyBack = false;
    bool buffered = false;
    PMDL outputMdl = nullptr;
    PFILE_OBJECT file = nullptr;  // referenced while the request runs
};

std::mutex g_mutex;
std::unordered_map<const IRP*, IrpRecord>& Irps() {
    static auto* irps = new std::unordered_map<const IRP*, IrpRecord>();
    return *irps;
}

bool InFlight(const IRP* irp, const IrpRecord& r) {
    return r.sent && irp->CurrentLocation < r.ownerLocation;
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string PendingWithoutMark(UCHAR major) {
    return "dispatch routine for major function " + std::to_string(major) +
           " returned STATUS_PENDING without marking the IRP pending (IoMarkIrpPending)";
}

// Completion is about to leave `location` (needs g_mutex). A dispatch routine at this location
// that returned STATUS_PENDING must have marked it by now (itself, or in its completion routine
// when the IRP was passed on); a dispatch routine still running learns what the location holds.
void PassLocationLocked(IrpRecord& r, CHAR location, bool marked) {
    for (auto it = r.pendingReturns.begin(); it != r.pendingReturns.end();) {
        if (it->location != location) {
            ++it;
            continue;
        }
        if (!marked) BugCheck("IofCompleteRequest", PendingWithoutMark(it->major));
        it = r.pendingReturns.erase(it);
    }
    for (DispatchFrame* f : r.frames)
        if (f->location == location) {
            f->passed = true;
            f->marked = marked;
        }
    r.heldAt = 0;
}

// Copy of the record, or a bug check for a freed IRP.
IrpRecord Lookup(PIRP irp, const char* call, bool* known) {
    std::lock_guard lock(g_mutex);
    auto it = Irps().find(irp);
    *known = it != Irps().end();
    if (!*known) return IrpRecord{};
    if (it->second.freed) BugCheck(call, "IRP used after it was freed (completed twice?)");
    return it->second;
}

void InitializePacket(PIRP irp, USHORT size, CCHAR stackSize) {
    memset(irp, 0, size);
    irp->Type = 6;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
}

void FreePacket(PIRP irp) {
    {
        std::lock_guard lock(g_mutex);
        IrpRecord& r = Irps()[irp];
        r.freed = true;
        r.heldAt = 0;
        r.pendingReturns.clear();
    }
    ExFreePoolWithTag(irp, kIrpTag);
}

// The I/O manager's part of completion for its own IRPs.
void FinishOwned(PIRP irp, const IrpRecord& r) {
    const NTSTATUS status = irp->IoStatus.Status;
    if (r.copyBack && !NT_ERROR(status)) {
        if (irp->IoStatus.Information > r.outputLength)
            BugCheck("IofCompleteRequest",
                     "IoStatus.Information (" + std::to_string(irp->IoStatus.Information) +
                         ") exceeds the output buffer length (" + std::to_string(r.outputLength) +
                         ") of a buffered request");
        const size_t n = irp->IoStatus.Information;
        if (n != 0) {
            if (irp->RequestorMode == UserMode) {
                const NTSTATUS copy =
                    ProbeAndWriteUserBuffer(r.output, irp->AssociatedIrp.SystemBuffer, n);
                if (!NT_SUCCESS(copy)) irp->IoStatus.Status = copy;
            } else {
                memcpy(r.output, irp->AssociatedIrp.SystemBuffer, n);
            }
        }
    }
    if (irp->UserIosb != nullptr) {
        irp->UserIosb->Status = irp->IoStatus.Status;
        irp->UserIosb->Information = irp->IoStatus.Information;
    }
    if (r.buffered && irp->AssociatedIrp.SystemBuffer != nullptr)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    if (r.outputMdl != nullptr) IoFreeMdl(r.outputMdl);
    PKEVENT event = irp->UserEvent;
    PFILE_OBJECT file = r.file;
    FreePacket(irp);
    if (file != nullptr) ObDereferenceObject(file);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

bool IrpPendingAt(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_mutex);
    for (auto& [irp, r] : Irps()) {
        if (r.freed || !InFlight(irp, r)) continue;
        if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount &&
            irp->Tail.Overlay.CurrentStackLocation->DeviceObject == device)
            return true;
    }
    return false;
}

PIRP AllocateOwnedIrp(const OwnedIrpSetup& setup) {
    PIRP irp = IoAllocateIrp(setup.device->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->RequestorMode = setup.mode;
    irp->UserEvent = setup.event;
    irp->UserIosb = setup.iosb;
    irp->IoStatus.Status = setup.initialStatus;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = setup.major;
    next->MinorFunction = setup.minor;
    next->FileObject = setup.file;
    std::lock_guard lock(g_mutex);
    IrpRecord& r = Irps()[irp];
    r.owned = true;
    if (setup.file != nullptr) {
        ObReferenceObject(setup.file);
        r.file = setup.file;
    }
    return irp;
}

bool SetupDeviceControl(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                        ULONG outputLength, bool internal, NTSTATUS* failure) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    const bool user = irp->RequestorMode == UserMode;
    const ULONG method = code & 3;
    if (user && (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) &&
        ClientSpaceOf(&ProcessOf(CurrentThreadContext().process)) != nullptr) {
        // The output buffer lives in another Linux process: there are no pages to lock here.
        *failure = STATUS_NOT_SUPPORTED;
        return false;
    }
    IrpRecord update;
    // A request refused here never reaches a driver: the system buffer goes at once.
    const auto refuse = [irp, failure](NTSTATUS status) {
        if (irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
        *failure = status;
        return false;
    };
    if (method == METHOD_BUFFERED ||
        ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && inputLength != 0)) {
        const ULONG length =
            method == METHOD_BUFFERED ? std::max(inputLength, outputLength) : inputLength;
        if (length != 0) {
            void* buffer = ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
            if (buffer == nullptr) {
                *failure = STATUS_INSUFFICIENT_RESOURCES;
                return false;
            }
            irp->AssociatedIrp.SystemBuffer = buffer;
            update.buffered = true;
            memset(buffer, 0, length);
            if (inputLength != 0) {
                if (input == nullptr) return refuse(STATUS_INVALID_PARAMETER);
                if (user) {
                    NTSTATUS s = ProbeAndReadUserBuffer(buffer, input, inputLength);
                    if (!NT_SUCCESS(s)) return refuse(s);
                } else {
                    memcpy(buffer, input, inputLength);
                }
            }
        }
        if (method == METHOD_BUFFERED) {
            update.output = output;
            update.outputLength = outputLength;
            update.copyBack = outputLength != 0 && output != nullptr;
        }
    }
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (outputLength != 0 && output != nullptr) {
            PMDL mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, nullptr);
            if (mdl == nullptr) return refuse(STATUS_INSUFFICIENT_RESOURCES);
            mdl->MappedSystemVa = output;
            mdl->MdlFlags |= MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
            irp->MdlAddress = mdl;
            update.outputMdl = mdl;
        }
    }
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
    } else {
        irp->UserBuffer = output;
    }
    std::lock_guard lock(g_mutex);
    IrpRecord& r = Irps()[irp];
    r.buffered = update.buffered;
    r.output = update.output;
    r.outputLength = update.outputLength;
    r.copyBack = update.copyBack;
    r.outputMdl = update.outputMdl;
    return true;
}

void DiscardOwnedIrp(PIRP irp) {
    IrpRecord r;
    {
        std::lock_guard lock(g_mutex);
        r = Irps()[irp];
    }
    if (r.buffered && irp->AssociatedIrp.SystemBuffer != nullptr)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    if (r.outputMdl != nullptr) IoFreeMdl(r.outputMdl);
    FreePacket(irp);
    if (r.file != nullptr) ObDereferenceObject(r.file);
}

NTSTATUS CallAndWait(PIRP irp, PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = iosb->Status;
    } else {
        // The I/O manager's completion has run (the IRP was completed before the driver returned).
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = iosb->Status;
    }
    return status;
}

NTSTATUS SendToStackAndWait(PDEVICE_OBJECT device, OwnedIrpSetup setup,
                            const std::function<bool(PIRP irp, NTSTATUS* status)>& prepare,
                            ULONG_PTR* information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    setup.device = top;
    setup.event = &event;
    setup.iosb = &iosb;
    PIRP irp = AllocateOwnedIrp(setup);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr) {
        if (prepare && !prepare(irp, &status)) {
            DiscardOwnedIrp(irp);
        } else {
            status = CallAndWait(irp, top, &event, &iosb);
            if (information != nullptr) *information = iosb.Information;
        }
    }
    ObDereferenceObject(top);
    return status;
}

}  // namespace q407::sim::detail

namespace q407::sim {

size_t LiveIrpCount() {
    std::lock_guard lock(detail::g_mutex);
    size_t n = 0;
    for (auto& [irp, r] : detail::Irps())
        if (!r.freed) ++n;
    return n;
}

NTSTATUS SendSystemRequest(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                           const std::function<void(PIO_STACK_LOCATION)>& fill,
                           NTSTATUS initialStatus, ULONG_PTR* information) {
    RequirePassive("SendSystemRequest");
    detail::OwnedIrpSetup setup;
    setup.major = majorFunction;
    setup.minor = minorFunction;
    setup.initialStatus = initialStatus;
    return detail::SendToStackAndWait(
        device, setup,
        [&fill](PIRP irp, NTSTATUS*) {
            irp->IoStatus.Information = 0;
            if (fill) fill(IoGetNextIrpStackLocation(irp));
            return true;
        },
        information);
}

}  // namespace q407::sim

using namespace q407::sim;
using q407::sim::detail::g_mutex;
using q407::sim::detail::IrpRecord;
using q407::sim::detail::Irps;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    RequireAtMostDispatch("IoAllocateIrp");
    if (StackSize < 1) BugCheck("IoAllocateIrp", "stack size " + std::to_string(StackSize));
    const USHORT size = static_cast<USHORT>(IoSizeOfIrp(StackSize));
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, detail::kIrpTag));
    if (irp == nullptr) return nullptr;
    detail::InitializePacket(irp, size, StackSize);
    std::lock_guard lock(g_mutex);
    Irps()[irp] = IrpRecord{};
    Irps()[irp].allocated = true;
    Irps()[irp].allocator = CurrentThreadContext().driver;
    return irp;
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    if (PacketSize < IoSizeOfIrp(StackSize))
        BugCheck("IoInitializeIrp",
                 "packet too small for " + std::to_string(StackSize) + " stack locations");
    {
        std::lock_guard lock(g_mutex);
        auto it = Irps().find(Irp);
        if (it != Irps().end() && !it->second.freed && InFlight(Irp, it->second))
            BugCheck("IoInitializeIrp", "IRP is still owned by a driver below");
        if (it == Irps().end() || it->second.freed) {
            Irps()[Irp] = IrpRecord{};
            Irps()[Irp].allocator = CurrentThreadContext().driver;
        } else {
            it->second.sent = false;
            it->second.heldAt = 0;
            it->second.pendingReturns.clear();
        }
    }
    detail::InitializePacket(Irp, PacketSize, StackSize);
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    bool known;
    IrpRecord r = detail::Lookup(Irp, "IoReuseIrp", &known);
    if (known && detail::InFlight(Irp, r))
        BugCheck("IoReuseIrp", "IRP is still owned by a driver below");
    if (known && r.owned) BugCheck("IoReuseIrp", "IRP belongs to the I/O manager");
    if (Irp->CancelRoutine != nullptr) BugCheck("IoReuseIrp", "IRP still has a cancel routine");
    const USHORT size = Irp->Size;
    const CCHAR stack = Irp->StackCount;
    detail::InitializePacket(Irp, size, stack);
    Irp->IoStatus.Status = Iostatus;
    std::lock_guard lock(g_mutex);
    IrpRecord& record = Irps()[Irp];
    record.sent = false;
    record.heldAt = 0;
    record.pendingReturns.clear();
}

void IoFreeIrp(PIRP Irp) {
    RequireAtMostDispatch("IoFreeIrp");
    if (Irp == nullptr) BugCheck("IoFreeIrp", "null IRP");
    bool known;
    IrpRecord r = detail::Lookup(Irp, "IoFreeIrp", &known);
    if (!known || !r.allocated) BugCheck("IoFreeIrp", "not an IRP from IoAllocateIrp");
    if (r.owned) BugCheck("IoFreeIrp", "IRP belongs to the I/O manager");
    if (detail::InFlight(Irp, r))
        BugCheck("IoFreeIrp", "IRP freed while pending (still owned by a driver below)");
    if (Irp->CancelRoutine != nullptr) BugCheck("IoFreeIrp", "IRP still has a cancel routine");
    detail::FreePacket(Irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireAtMostDispatch("IofCallDriver");
    if (!IsDeviceObject(DeviceObject)) BugCheck("IofCallDriver", "not a device object");
    if (Irp == nullptr) BugCheck("IofCallDriver", "null IRP");
    if (Irp->CurrentLocation <= 1)
        BugCheck("IofCallDriver", "no stack location left (stack location overrun): IRP has " +
                                      std::to_string(Irp->StackCount) + " locations");
    detail::DispatchFrame frame;
    frame.location = static_cast<CHAR>(Irp->CurrentLocation - 1);
    {
        std::lock_guard lock(g_mutex);
        auto it = Irps().find(Irp);
        if (it != Irps().end()) {
            IrpRecord& r = it->second;
            if (r.freed) BugCheck("IofCallDriver", "IRP used after it was freed");
            if (!r.sent || Irp->CurrentLocation >= r.ownerLocation) {
                r.sent = true;
                r.ownerLocation = Irp->CurrentLocation;
            }
            r.heldAt = 0;  // sent on again: whoever kept it has let it go
            r.frames.push_back(&frame);
        }
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    const UCHAR major = location->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION)
        BugCheck("IofCallDriver", "invalid major function " + std::to_string(major));
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    const KIRQL irql = KeGetCurrentIrql();
    NTSTATUS status;
    {
        DriverScope driver(DeviceObject->DriverObject);
        status = dispatch(DeviceObject, Irp);
    }
    if (KeGetCurrentIrql() != irql)
        BugCheck("IofCallDriver", "dispatch routine for major function " + std::to_string(major) +
                                      " returned at another IRQL than it was called at (" +
                                      std::to_string(irql) + ")");
    // The IRP may be completed, freed or even allocated anew by now: only the book is read, and
    // the frame says whether completion already went past this driver.
    std::lock_guard lock(g_mutex);
    auto it = Irps().find(Irp);
    IrpRecord* r = it != Irps().end() ? &it->second : nullptr;
    if (r != nullptr) std::erase(r->frames, &frame);
    if (status == STATUS_PENDING) {
        if (frame.passed) {
            if (!frame.marked) BugCheck("IofCallDriver", detail::PendingWithoutMark(major));
        } else if (r != nullptr && !r->freed) {
            r->pendingReturns.push_back({frame.location, major});
        }
    } else if (!frame.passed && r != nullptr && !r->freed && r->heldAt == frame.location) {
        BugCheck("IofCallDriver",
                 "dispatch routine for major function " + std::to_string(major) + " returned " +
                     detail::StatusText(status) +
                     " for an IRP that its completion routine kept with "
                     "STATUS_MORE_PROCESSING_REQUIRED, without completing it or returning "
                     "STATUS_PENDING");
    }
    return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    RequireAtMostDispatch("IofCompleteRequest");
    if (Irp == nullptr) BugCheck("IofCompleteRequest", "null IRP");
    bool known;
    IrpRecord r = detail::Lookup(Irp, "IofCompleteRequest", &known);
    // An I/O manager's IRP whose top completion routine kept it is finished by completing it
    // again; any other IRP without a location left has been completed already.
    const bool resumedAtTop = known && r.owned && r.heldAt == Irp->CurrentLocation;
    if (Irp->CurrentLocation > Irp->StackCount && !resumedAtTop)
        BugCheck("IofCompleteRequest", "IRP completed twice (no driver owns it)");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        BugCheck("IofCompleteRequest", "IRP completed with STATUS_PENDING");
    // Read as IoSetCancelRoutine writes it: in real time a driver may cancel the IRP on another
    // processor while the bus completes it.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        BugCheck("IofCompleteRequest", "IRP completed with its cancel routine still set");
    ThreadContext& ctx = CurrentThreadContext();
    if (ctx.inMachineEvent) {
        // The virtual hardware finished the request; a processor completes it, as a host
        // controller's DPC would.
        detail::MachineCore::Get().QueueCompletion(Irp);
        return;
    }
    if (resumedAtTop) {
        std::lock_guard lock(g_mutex);
        Irps()[Irp].heldAt = 0;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    while (Irp->CurrentLocation <= Irp->StackCount) {
        const bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
        if (known) {
            std::lock_guard lock(g_mutex);
            detail::PassLocationLocked(Irps()[Irp], Irp->CurrentLocation, marked);
        }
        Irp->PendingReturned = marked;
        const UCHAR control = stack->Control;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
        const bool atTop = Irp->CurrentLocation > Irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT device =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            const CHAR here = Irp->CurrentLocation;
            // Completion routines run at DISPATCH_LEVEL, as they may on any completion path.
            KIRQL old = ctx.irql;
            if (old < DISPATCH_LEVEL) {
                detail::PageOutPagedPool();
                ctx.irql = DISPATCH_LEVEL;
            }
            NTSTATUS result;
            {
                DriverScope driver(device != nullptr ? device->DriverObject : r.allocator);
                result = routine(device, Irp, context);
            }
            if (ctx.irql != DISPATCH_LEVEL && old <= DISPATCH_LEVEL)
                BugCheck("IofCompleteRequest", "completion routine returned at another IRQL");
            ctx.irql = old;
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                // The routine takes the IRP back. That is its driver's right when the driver
                // sent it first (allocated or built it), when its dispatch routine is still
                // running (it waits and completes the IRP itself), or when that dispatch
                // routine marked the IRP pending (it completes the IRP later). An IRP that came
                // from above and was passed on without being marked is its sender's.
                bool owns = !known;
                if (known) {
                    std::lock_guard lock(g_mutex);
                    IrpRecord& record = Irps()[Irp];
                    // A routine may free the IRP it sent before claiming it back; then nothing
                    // of it may be read any more.
                    if (record.freed) return;
                    const bool sender = atTop || here >= record.ownerLocation;
                    const bool dispatching =
                        std::any_of(record.frames.begin(), record.frames.end(),
                                    [here](const detail::DispatchFrame* f) {
                                        return f->location == here && !f->passed;
                                    });
                    // The sender may have freed its own IRP in the routine: it is not read
                    // again once it is known to be the sender's.
                    const bool pended = !sender && !dispatching && !atTop && !record.freed &&
                                        (IoGetCurrentIrpStackLocation(Irp)->Control &
                                         SL_PENDING_RETURNED) != 0;
                    owns = sender || dispatching || pended;
                    if (owns) record.heldAt = here;
                }
                if (!owns)
                    BugCheck("IofCompleteRequest",
                             "completion routine returned STATUS_MORE_PROCESSING_REQUIRED for an "
                             "IRP it does not own (it came from above and its driver passed it "
                             "on without marking it pending)");
                return;  // its owner has it back
            }
            bool freedMeanwhile;
            {
                std::lock_guard lock(g_mutex);
                auto it = Irps().find(Irp);
                freedMeanwhile = it != Irps().end() && it->second.freed;
            }
            if (freedMeanwhile)
                BugCheck("IofCompleteRequest",
                         "completion routine freed or completed the IRP but did not return "
                         "STATUS_MORE_PROCESSING_REQUIRED");
            if (marked && !atTop &&
                (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) == 0)
                BugCheck("IofCompleteRequest",
                         "completion routine did not propagate PendingReturned: the IRP was "
                         "pending below and the routine returned without IoMarkIrpPending");
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);
        }
        if (atTop) break;
        stack = IoGetCurrentIrpStackLocation(Irp);
    }
    if (known && r.owned) {
        {
            std::lock_guard lock(g_mutex);
            r = Irps()[Irp];
        }
        detail::FinishOwned(Irp, r);
        return;
    }
    BugCheck("IofCompleteRequest",
             "an IRP the caller allocated was completed to the top: the allocator's completion "
             "routine must return STATUS_MORE_PROCESSING_REQUIRED");
}

// --- Cancellation -------------------------------------------------------------------------

static KSPIN_LOCK g_cancelSpinLock = 0;

void IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelSpinLock, Irql);
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelSpinLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    RequireAtMostDispatch("IoCancelIrp");
    bool known;
    detail::Lookup(Irp, "IoCancelIrp", &known);
    const KIRQL callerIrql = KeGetCurrentIrql();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    {
        DriverScope driver(device != nullptr ? device->DriverObject : nullptr);
        routine(device, Irp);
    }
    if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_RELAXED) ==
        (reinterpret_cast<KSPIN_LOCK>(&CurrentThreadContext()) | 1))
        BugCheck("IoCancelIrp", "cancel routine returned without releasing the cancel spin lock");
    if (KeGetCurrentIrql() != callerIrql)
        BugCheck("IoCancelIrp",
                 "cancel routine returned at another IRQL than IoCancelIrp was called at");
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    RequirePassive("IoBuildDeviceIoControlRequest");
    if (!IsDeviceObject(DeviceObject))
        BugCheck("IoBuildDeviceIoControlRequest", "not a device object");
    detail::OwnedIrpSetup setup;
    setup.device = DeviceObject;
    setup.mode = KernelMode;
    setup.event = Event;
    setup.iosb = IoStatusBlock;
    PIRP irp = detail::AllocateOwnedIrp(setup);
    if (irp == nullptr) return nullptr;
    NTSTATUS failure;
    if (!detail::SetupDeviceControl(irp, IoControlCode, InputBuffer, InputBufferLength,
                                    OutputBuffer, OutputBufferLength, InternalDeviceIoControl != 0,
                                    &failure)) {
        detail::DiscardOwnedIrp(irp);
        return nullptr;
    }
    return irp;
}
