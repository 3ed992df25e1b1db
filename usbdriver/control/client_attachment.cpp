// Status mappings, shared sample buffers and client events.
//
// A mapping or buffer lives in one client process. Unmapping must happen in that process, so each
// keeps its owner (the handle it came through and the referenced process): a release from another
// context (the Plug and Play thread at removal) attaches to the owner first. The shared-buffer
// table is driver-wide and guarded by one lock; the mapping and event slots by their facade's lock.
#include "usbdriver/control/client_attachment.h"

#include "platform/kernel/ifs.h"
#include "usbdriver/control/control_pool.h"
#include "usbdriver/engine/engine_trace.h"

namespace q407 {
namespace {

constexpr LONG kMaxFacades = 8;
// The engine reads or writes up to this many samples of a channel half at the client's stride.
constexpr ULONG64 kMaxHalfSamples = static_cast<ULONG64>(kMaxLatency);

struct SharedBufferOwner {
    ClientOwner owner;
    ULONG size;
};

struct AttachmentTable {
    KEVENT lock;  // synchronisation event used as a mutex: unmapping needs PASSIVE_LEVEL
    SharedBuffer* buffers[kSharedBufferSlots];
    SharedBufferOwner owners[kSharedBufferSlots];
    DeviceFacade* facades[kMaxFacades];
};

AttachmentTable g_table;

void Lock(PKEVENT lock) {
    // A kernel-mode, non-alertable wait without time-out returns only when the event is ours.
    const NTSTATUS status = KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, nullptr);
    (void)status;  // STATUS_SUCCESS is the only outcome of such a wait
}
void Unlock(PKEVENT lock) {
    KeSetEvent(lock, IO_NO_INCREMENT, FALSE);
}

ClientOwner CurrentOwner(PFILE_OBJECT requester) {
    ClientOwner owner{requester, PsGetCurrentProcess()};
    ObReferenceObject(owner.process);
    return owner;
}

void ReleaseOwner(ClientOwner* owner) {
    if (owner->process != nullptr) ObDereferenceObject(owner->process);
    owner->process = nullptr;
    owner->file = nullptr;
}

// Unmaps a user view in the process that owns it.
void UnmapInOwner(PVOID clientAddress, PMDL mdl, PEPROCESS process) {
    if (process == nullptr || process == PsGetCurrentProcess()) {
        MmUnmapLockedPages(clientAddress, mdl);
        return;
    }
    KAPC_STATE state;
    // The kit declares the attach for the kernel's process record.
    KeStackAttachProcess(reinterpret_cast<PKPROCESS>(process), &state);
    MmUnmapLockedPages(clientAddress, mdl);
    KeUnstackDetachProcess(&state);
}

// The no-execute mapping flag exists from Windows 8 (6.2) on, as the no-execute pool does: the
// driver's entry made that choice once.
MM_PAGE_PRIORITY MappingPriority() {
    const ULONG flags = DriverPoolType() == NonPagedPoolNx ? ULONG(MdlMappingNoExecute) : 0UL;
    return static_cast<MM_PAGE_PRIORITY>(static_cast<ULONG>(NormalPagePriority) | flags);
}

// --- Mapping slots ----------------------------------------------------------------------------

struct SlotRefs {
    PMDL* mdl;
    PVOID* address;
    ClientOwner* owner;
};

SlotRefs SlotOf(DeviceFacade* facade, MappingSlot slot) {
    if (slot == MappingSlot::Panel)
        return {&facade->panelMappingMdl, &facade->panelMappingAddress, &facade->panelMappingOwner};
    return {&facade->asioMappingMdl, &facade->asioMappingAddress, &facade->asioMappingOwner};
}

void ReleaseSlotLocked(DeviceFacade* facade, MappingSlot slot) {
    SlotRefs refs = SlotOf(facade, slot);
    if (*refs.mdl == nullptr) return;
    UnmapInOwner(*refs.address, *refs.mdl, refs.owner->process);
    IoFreeMdl(*refs.mdl);
    *refs.mdl = nullptr;
    *refs.address = nullptr;
    ReleaseOwner(refs.owner);
}

// --- Shared buffers ----------------------------------------------------------------------------

LONG FindKeyLocked(ULONG64 key) {
    for (LONG i = 0; i < kSharedBufferSlots; ++i) {
        if (g_table.buffers[i] != nullptr && g_table.buffers[i]->key == key) return i;
    }
    return -1;
}

LONG FindFreeSlotLocked() {
    for (LONG i = 0; i < kSharedBufferSlots; ++i) {
        if (g_table.buffers[i] == nullptr) return i;
    }
    return -1;
}

// No engine may keep an address inside memory that is about to go.
void DetachFromEnginesLocked(const SharedBuffer* buffer, ULONG size) {
    const auto begin = reinterpret_cast<ULONG64>(buffer->kernelAddress);
    const ULONG64 end = begin + size;
    const LONG asio = static_cast<LONG>(ClientKind::ASIO);
    for (DeviceFacade* facade : g_table.facades) {
        if (facade == nullptr || facade->engine == nullptr) continue;
        StreamEngine* engine = facade->engine;
        for (LONG direction = 0; direction < kDirectionCount; ++direction) {
            for (LONG channel = 0; channel < kChannelSlotCount; ++channel) {
                for (LONG half = 0; half < 2; ++half) {
                    const ULONG64 address =
                        engine->m_ClientBuffers[asio][direction][channel][half].address;
                    if (address < begin || address >= end) continue;
                    const NTSTATUS status =
                        engine->SetClientBuffer(asio, direction, channel, half, 0, 0);
                    if (!NT_SUCCESS(status)) ENGINE_TRACE("SharedBuffer detach failed\n");
                }
            }
        }
    }
}

void FreeSharedBuffer(SharedBuffer* buffer, ULONG size, PEPROCESS process) {
    DetachFromEnginesLocked(buffer, size);
    if (buffer->mdl != nullptr) {
        if (buffer->clientAddress != nullptr)
            UnmapInOwner(buffer->clientAddress, buffer->mdl, process);
        IoFreeMdl(buffer->mdl);
    }
    if (buffer->kernelAddress != nullptr)
        ExFreePoolWithTag(buffer->kernelAddress, kSharedBufferPoolTag);
    ExFreePoolWithTag(buffer, kSharedBufferPoolTag);
}

void ReleaseSlotOfTableLocked(LONG index) {
    SharedBuffer* buffer = g_table.buffers[index];
    g_table.buffers[index] = nullptr;
    SharedBufferOwner& owner = g_table.owners[index];
    FreeSharedBuffer(buffer, owner.size, owner.owner.process);
    ReleaseOwner(&owner.owner);
    owner.size = 0;
}

// Builds a mapped, zeroed buffer; null when any step fails, with nothing left behind.
SharedBuffer* BuildSharedBuffer(ULONG size) {
    auto* buffer = static_cast<SharedBuffer*>(
        ExAllocatePoolWithTag(DriverPoolType(), sizeof(SharedBuffer), kSharedBufferPoolTag));
    if (buffer == nullptr) return nullptr;
    RtlZeroMemory(buffer, sizeof(*buffer));
    buffer->kernelAddress = ExAllocatePoolWithTag(DriverPoolType(), size, kSharedBufferPoolTag);
    if (buffer->kernelAddress != nullptr)
        buffer->mdl = IoAllocateMdl(buffer->kernelAddress, size, FALSE, FALSE, nullptr);
    if (buffer->mdl != nullptr) {
        MmBuildMdlForNonPagedPool(buffer->mdl);
        buffer->clientAddress = MmMapLockedPages(buffer->mdl, UserMode);
    }
    if (buffer->clientAddress == nullptr) {
        FreeSharedBuffer(buffer, size, nullptr);
        return nullptr;
    }
    RtlZeroMemory(buffer->kernelAddress, size);
    return buffer;
}

// --- Event slots --------------------------------------------------------------------------------

// The notification entry points read a slot at DISPATCH_LEVEL without a lock; an object taken out
// of a slot is released only once none of them can still be using it.
void WaitForSignallers(DeviceFacade* facade) {
    while (InterlockedCompareExchange(&facade->eventSignallers, 0, 0) != 0)
        KeStallExecutionProcessor(1);
}

void ReplaceEventLocked(DeviceFacade* facade, LONG slot, PKEVENT event, PFILE_OBJECT owner) {
    auto* old = static_cast<PKEVENT>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&facade->eventSlots[slot]), event));
    facade->eventOwners[slot] = event != nullptr ? owner : nullptr;
    if (old == nullptr) return;
    WaitForSignallers(facade);
    ObDereferenceObject(old);
}

}  // namespace

void InitializeClientAttachment() {
    RtlZeroMemory(&g_table, sizeof(g_table));
    KeInitializeEvent(&g_table.lock, SynchronizationEvent, TRUE);
}

void ReleaseAllSharedBuffers() {
    Lock(&g_table.lock);
    for (LONG i = 0; i < kSharedBufferSlots; ++i) {
        if (g_table.buffers[i] != nullptr) ReleaseSlotOfTableLocked(i);
    }
    Unlock(&g_table.lock);
}

void AttachFacade(DeviceFacade* facade) {
    Lock(&g_table.lock);
    for (DeviceFacade*& entry : g_table.facades) {
        if (entry == nullptr) {
            entry = facade;
            break;
        }
    }
    Unlock(&g_table.lock);
}

void DetachFacade(DeviceFacade* facade) {
    Lock(&g_table.lock);
    for (DeviceFacade*& entry : g_table.facades) {
        if (entry == facade) entry = nullptr;
    }
    Unlock(&g_table.lock);
}

BOOLEAN MapStatusBlock(DeviceFacade* facade, MappingSlot slot, ULONG mapFlag,
                       PFILE_OBJECT requester, ULONG64* clientAddress, ULONG64* key) {
    Lock(&facade->attachmentLock);
    // The slot records only one mapping: a new map request releases the one it held.
    ReleaseSlotLocked(facade, slot);
    BOOLEAN mapped = FALSE;
    if (mapFlag == 1 && facade->statusBlock != nullptr) {
        PMDL mdl = IoAllocateMdl(facade->statusBlock, kEngineStatusSize, FALSE, FALSE, nullptr);
        if (mdl != nullptr) {
            MmBuildMdlForNonPagedPool(mdl);
            PVOID user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE,
                                                      MappingPriority());
            if (user == nullptr) {
                IoFreeMdl(mdl);
            } else {
                SlotRefs refs = SlotOf(facade, slot);
                *refs.mdl = mdl;
                *refs.address = user;
                *refs.owner = CurrentOwner(requester);
                *clientAddress = reinterpret_cast<ULONG64>(user);
                *key = reinterpret_cast<ULONG64>(mdl);
                mapped = TRUE;
            }
        }
    }
    Unlock(&facade->attachmentLock);
    return mapped;
}

void ReleaseStatusMapping(DeviceFacade* facade, MappingSlot slot) {
    Lock(&facade->attachmentLock);
    ReleaseSlotLocked(facade, slot);
    Unlock(&facade->attachmentLock);
}

NTSTATUS AllocSharedBuffer(DeviceFacade* facade, ULONG size, ULONG64 key, ULONG64 clientVariable,
                           PFILE_OBJECT requester) {
    // A buffer under key 0 could never be found again.
    if (size != 0 && (key == 0 || size > kMaxSharedBufferBytes)) return STATUS_INVALID_PARAMETER;
    auto* variable = reinterpret_cast<PVOID>(clientVariable);
    const ULONG64 none = 0;

    Lock(&g_table.lock);
    NTSTATUS status = STATUS_SUCCESS;
    const LONG found = key != 0 ? FindKeyLocked(key) : -1;
    if (size == 0) {
        if (found >= 0) ReleaseSlotOfTableLocked(found);
        Unlock(&g_table.lock);
        return STATUS_SUCCESS;
    }
    if (found >= 0) {
        if (facade->engine != nullptr && facade->engine->IsAsioRunning() != 0) {
            Unlock(&g_table.lock);
            status = ProbeAndWriteUserBuffer(variable, &none, sizeof(none));
            return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
        }
        ReleaseSlotOfTableLocked(found);
    }
    const LONG slot = FindFreeSlotLocked();
    if (slot < 0) {
        // A full table does not fail the command; the client learns it from the 0 address.
        Unlock(&g_table.lock);
        status = ProbeAndWriteUserBuffer(variable, &none, sizeof(none));
        return status;
    }
    SharedBuffer* buffer = BuildSharedBuffer(size);
    if (buffer == nullptr) {
        Unlock(&g_table.lock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    buffer->key = key;
    const auto address = reinterpret_cast<ULONG64>(buffer->clientAddress);
    status = ProbeAndWriteUserBuffer(variable, &address, sizeof(address));
    if (!NT_SUCCESS(status)) {
        // The client would never learn the address: take the buffer back.
        FreeSharedBuffer(buffer, size, nullptr);
        Unlock(&g_table.lock);
        return status;
    }
    g_table.buffers[slot] = buffer;
    g_table.owners[slot].owner = CurrentOwner(requester);
    g_table.owners[slot].size = size;
    Unlock(&g_table.lock);
    return STATUS_SUCCESS;
}

ULONG64 TranslateClientAddress(ULONG64 key, ULONG64 clientAddress, ULONG stride) {
    if (clientAddress == 0) return 0;
    Lock(&g_table.lock);
    ULONG64 result = 0;
    const LONG index = FindKeyLocked(key);
    if (index >= 0) {
        const SharedBuffer* buffer = g_table.buffers[index];
        const ULONG64 size = g_table.owners[index].size;
        const ULONG64 offset = clientAddress - reinterpret_cast<ULONG64>(buffer->clientAddress);
        const ULONG64 span = ((kMaxHalfSamples - 1) * stride + 1) * sizeof(LONG);
        if (offset < size && span <= size - offset)
            result = reinterpret_cast<ULONG64>(buffer->kernelAddress) + offset;
    }
    Unlock(&g_table.lock);
    return result;
}

NTSTATUS SetEventSlot(DeviceFacade* facade, LONG slot, ULONG64 handle, PFILE_OBJECT requester) {
    if (slot < 0 || slot >= kEventSlotCount) return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (handle != 0) {
        status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(handle), EVENT_MODIFY_STATE,
                                           *ExEventObjectType, UserMode, &object, nullptr);
        if (!NT_SUCCESS(status)) object = nullptr;
    }
    Lock(&facade->attachmentLock);
    ReplaceEventLocked(facade, slot, static_cast<PKEVENT>(object), requester);
    Unlock(&facade->attachmentLock);
    return status;
}

void ClearEventSlot(DeviceFacade* facade, LONG slot) {
    if (slot < 0 || slot >= kEventSlotCount) return;
    Lock(&facade->attachmentLock);
    ReplaceEventLocked(facade, slot, nullptr, nullptr);
    Unlock(&facade->attachmentLock);
}

void ReleaseClientResources(DeviceFacade* facade, PFILE_OBJECT file) {
    if (facade != nullptr) {
        Lock(&facade->attachmentLock);
        if (facade->panelMappingMdl != nullptr && facade->panelMappingOwner.file == file)
            ReleaseSlotLocked(facade, MappingSlot::Panel);
        if (facade->asioMappingMdl != nullptr && facade->asioMappingOwner.file == file)
            ReleaseSlotLocked(facade, MappingSlot::Asio);
        for (LONG slot = 0; slot < kEventSlotCount; ++slot) {
            // The period signaller reads the slots interlocked at DISPATCH_LEVEL without the
            // lock: read them the same way.
            const PVOID event = InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&facade->eventSlots[slot]), nullptr, nullptr);
            if (event != nullptr && facade->eventOwners[slot] == file)
                ReplaceEventLocked(facade, slot, nullptr, nullptr);
        }
        Unlock(&facade->attachmentLock);
    }
    Lock(&g_table.lock);
    for (LONG i = 0; i < kSharedBufferSlots; ++i) {
        if (g_table.buffers[i] != nullptr && g_table.owners[i].owner.file == file)
            ReleaseSlotOfTableLocked(i);
    }
    Unlock(&g_table.lock);
}

LONG SharedBufferCount() {
    Lock(&g_table.lock);
    LONG count = 0;
    for (SharedBuffer* buffer : g_table.buffers) {
        if (buffer != nullptr) ++count;
    }
    Unlock(&g_table.lock);
    return count;
}

}  // namespace q407
