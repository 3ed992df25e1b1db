// Memory descriptor lists, mappings of pool into emulated processes, and the probing copies of
// client memory.
//
// A user mapping is a second mmap of the pool arena's pages, so the client sees the same bytes at
// another address. Client memory is copied with the checked copies of our own memory, which
// report an unmapped address as a failure instead of faulting.
//
// A process whose client lives in another Linux process has a ClientAddressSpace: its client
// addresses are read and written through it, and its views are mappings of the arena's memfd that
// the client made, recorded here with the client's address.
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/kernel/wdk.h"
#include "platform/user/remote/own_memory.h"
#include "sim/host/client_address_space.h"
#include "sim/host/memory_views.h"
#include "sim/host/pool.h"
#include "sim/host/process_internal.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

constexpr ULONG kMdlTag = POOL_TAG("Mdl ");
// Where Linux's user address space ends on the machines we run on.
constexpr uintptr_t kUserSpaceEnd = uintptr_t(1) << 47;

struct View {
    KPROCESS* process;
    uint8_t* userBase;  // page aligned
    size_t mappedLength;
    const uint8_t* kernelBegin;  // first byte the MDL describes
    size_t byteCount;
    uint8_t* userAddress;  // what the mapping call returned
    PMDL mdl;
    // Set when userBase is an address in a client's own Linux process, not in ours.
    std::shared_ptr<ClientAddressSpace> client;
};

// Releases a view's mapping; the caller no longer holds the memory manager's lock for a client's.
void ReleaseMapping(const View& v) {
    if (v.client != nullptr)
        v.client->Unmap(reinterpret_cast<uintptr_t>(v.userBase), v.mappedLength);
    else
        munmap(v.userBase, v.mappedLength);
}

std::mutex g_mutex;
std::vector<View>& Views() {
    static auto* views = new std::vector<View>();
    return *views;
}
// Client addresses of views that went with their process; unmapping them later is harmless.
std::set<uintptr_t>& EndedViews() {
    static auto* ended = new std::set<uintptr_t>();
    return *ended;
}

KPROCESS* Current() {
    return &detail::ProcessOf(CurrentThreadContext().process);
}

bool Overlaps(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    return a < b + nb && b < a + na;
}

}  // namespace

bool FindViewOfRange(const void* p, size_t length, std::string* what) {
    std::lock_guard lock(g_mutex);
    for (auto& v : Views())
        if (Overlaps(static_cast<const uint8_t*>(p), length, v.kernelBegin, v.byteCount)) {
            *what = "still mapped into process " + std::to_string(v.process->id);
            return true;
        }
    return false;
}

void UnmapProcessViews(KPROCESS* process) {
    std::vector<View> ended;
    {
        std::lock_guard lock(g_mutex);
        auto& views = Views();
        for (auto it = views.begin(); it != views.end();) {
            if (it->process != process) {
                ++it;
                continue;
            }
            EndedViews().insert(reinterpret_cast<uintptr_t>(it->userAddress));
            ended.push_back(std::move(*it));
            it = views.erase(it);
        }
    }
    for (const View& v : ended) ReleaseMapping(v);
}

size_t ProcessViewCount(KPROCESS* process) {
    std::lock_guard lock(g_mutex);
    size_t n = 0;
    for (auto& v : Views())
        if (v.process == process) ++n;
    return n;
}

// Client memory the current process may touch: not kernel pool, not another process's view.
static bool ClientRangeAllowed(const void* p, size_t length) {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    if (addr + length < addr || addr < PAGE_SIZE) return false;
    if (Pool::IsKernelAddress(p, length)) return false;
    KPROCESS* current = Current();
    if (current == detail::SystemProcess()) {
        // The system process has no client address space beyond what was mapped into it.
        std::lock_guard lock(g_mutex);
        for (auto& v : Views())
            if (v.process == current && static_cast<const uint8_t*>(p) >= v.userBase &&
                static_cast<const uint8_t*>(p) + length <= v.userBase + v.mappedLength)
                return true;
        return false;
    }
    std::lock_guard lock(g_mutex);
    for (auto& v : Views())
        if (v.process != current && v.client == nullptr &&
            Overlaps(static_cast<const uint8_t*>(p), length, v.userBase, v.mappedLength))
            return false;
    return true;
}

namespace {

// Addresses a client in another Linux process may name: user space, not the kernel's pool.
bool RemoteRangeAllowed(const void* p, size_t length) {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    if (addr < PAGE_SIZE || addr + length < addr || addr + length > kUserSpaceEnd) return false;
    return !Pool::IsKernelAddress(p, length);
}

// Copies with the kernel's checks, so an unmapped page is an error and not a fault.
bool SafeCopy(void* destination, const void* source, size_t length, bool clientIsSource) {
    return clientIsSource
               ? remote::ReadOwnMemory(destination, reinterpret_cast<uintptr_t>(source), length)
               : remote::WriteOwnMemory(reinterpret_cast<uintptr_t>(destination), source, length);
}

}  // namespace
}  // namespace q407::sim

using namespace q407::sim;

NTSTATUS ProbeAndReadUserBuffer(PVOID Destination, const void* UserSource, SIZE_T Length) {
    RequireAtMostApc("ProbeAndReadUserBuffer");
    if (Length == 0) return STATUS_SUCCESS;
    if (auto space = detail::ClientSpaceOf(q407::sim::Current())) {
        if (!RemoteRangeAllowed(UserSource, Length)) return STATUS_ACCESS_VIOLATION;
        return space->Read(Destination, reinterpret_cast<uintptr_t>(UserSource), Length)
                   ? STATUS_SUCCESS
                   : STATUS_ACCESS_VIOLATION;
    }
    if (!ClientRangeAllowed(UserSource, Length)) return STATUS_ACCESS_VIOLATION;
    return SafeCopy(Destination, UserSource, Length, true) ? STATUS_SUCCESS
                                                           : STATUS_ACCESS_VIOLATION;
}

NTSTATUS ProbeAndWriteUserBuffer(PVOID UserDestination, const void* Source, SIZE_T Length) {
    RequireAtMostApc("ProbeAndWriteUserBuffer");
    if (Length == 0) return STATUS_SUCCESS;
    if (auto space = detail::ClientSpaceOf(q407::sim::Current())) {
        if (!RemoteRangeAllowed(UserDestination, Length)) return STATUS_ACCESS_VIOLATION;
        return space->Write(reinterpret_cast<uintptr_t>(UserDestination), Source, Length)
                   ? STATUS_SUCCESS
                   : STATUS_ACCESS_VIOLATION;
    }
    if (!ClientRangeAllowed(UserDestination, Length)) return STATUS_ACCESS_VIOLATION;
    return SafeCopy(UserDestination, Source, Length, false) ? STATUS_SUCCESS
                                                            : STATUS_ACCESS_VIOLATION;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    (void)ChargeQuota;
    RequireAtMostDispatch("IoAllocateMdl");
    if (Length == 0 || Length > 0x7FFFFFFF) return nullptr;
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (mdl == nullptr) return nullptr;
    const auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
    mdl->Next = nullptr;
    mdl->Size = static_cast<SHORT>(sizeof(MDL));
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t(PAGE_SIZE - 1));
    mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link != nullptr) link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

void IoFreeMdl(PMDL Mdl) {
    RequireAtMostDispatch("IoFreeMdl");
    {
        std::lock_guard lock(q407::sim::g_mutex);
        for (auto& v : q407::sim::Views())
            if (v.mdl == Mdl)
                BugCheck("IoFreeMdl",
                         "MDL is still mapped into process " + std::to_string(v.process->id));
    }
    ExFreePoolWithTag(Mdl, q407::sim::kMdlTag);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    PoolRange range;
    PVOID va = MmGetMdlVirtualAddress(MemoryDescriptorList);
    if (!Pool::Locate(va, MemoryDescriptorList->ByteCount, &range))
        BugCheck("MmBuildMdlForNonPagedPool", "the MDL does not describe a pool allocation");
    if (range.paged)
        BugCheckTag("MmBuildMdlForNonPagedPool", "the MDL describes paged pool", range.tag);
    MemoryDescriptorList->MappedSystemVa = va;
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, MM_PAGE_PRIORITY PriorityAndFlags) {
    const ULONG Priority = static_cast<ULONG>(PriorityAndFlags);
    (void)RequestedAddress;
    PMDL mdl = MemoryDescriptorList;
    if (CacheType != MmNonCached && CacheType != MmCached && CacheType != MmWriteCombined)
        BugCheck("MmMapLockedPagesSpecifyCache", "invalid cache type");
    if ((Priority & ~ULONG(MdlMappingNoExecute | 0xFF)) != 0)
        BugCheck("MmMapLockedPagesSpecifyCache", "invalid priority flags");
    if ((mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)) == 0)
        BugCheck("MmMapLockedPagesSpecifyCache", "the MDL's pages are neither built nor locked");
    if (AccessMode == KernelMode) {
        RequireAtMostDispatch("MmMapLockedPagesSpecifyCache");
        return mdl->MappedSystemVa != nullptr ? mdl->MappedSystemVa : MmGetMdlVirtualAddress(mdl);
    }
    RequireAtMostApc("MmMapLockedPagesSpecifyCache");
    const auto* kernel = static_cast<const uint8_t*>(MmGetMdlVirtualAddress(mdl));
    PoolRange range;
    if (!Pool::Locate(kernel, mdl->ByteCount, &range))
        BugCheck("MmMapLockedPagesSpecifyCache", "the MDL does not describe a pool allocation");
    const uint64_t pageOffset = range.arenaOffset - mdl->ByteOffset;
    const size_t length =
        (mdl->ByteOffset + mdl->ByteCount + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
    KPROCESS* process = q407::sim::Current();
    std::shared_ptr<ClientAddressSpace> client = detail::ClientSpaceOf(process);
    void* base;
    if (client != nullptr) {
        // The client maps the arena's pages itself; the address is valid in its process only.
        // The client's answer is untrusted: a page-aligned user-space range or a failure.
        // (It may equal an address of ours: the two address spaces are apart.)
        const uintptr_t at = client->Map(static_cast<size_t>(pageOffset), length);
        const bool valid = at >= PAGE_SIZE && at % PAGE_SIZE == 0 && at + length > at &&
                           at + length <= kUserSpaceEnd;
        if (at != 0 && !valid) client->Unmap(at, length);
        base = valid ? reinterpret_cast<void*>(at) : MAP_FAILED;
    } else {
        base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, Pool::ArenaFd(),
                    static_cast<off_t>(pageOffset));
    }
    if (base == MAP_FAILED) {
        if (BugCheckOnFailure) BugCheck("MmMapLockedPagesSpecifyCache", "mapping failed");
        return nullptr;
    }
    auto* user = static_cast<uint8_t*>(base) + mdl->ByteOffset;
    {
        std::lock_guard lock(q407::sim::g_mutex);
        q407::sim::Views().push_back(q407::sim::View{process, static_cast<uint8_t*>(base), length,
                                                     kernel, mdl->ByteCount, user, mdl,
                                                     std::move(client)});
        q407::sim::EndedViews().erase(reinterpret_cast<uintptr_t>(user));
    }
    mdl->Process = process;  // the view list above records the mapping; no MDL flag stands for it
    return user;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, FALSE,
                                        NormalPagePriority);
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    if (BaseAddress == MemoryDescriptorList->MappedSystemVa) return;  // nothing was mapped
    KPROCESS* current = q407::sim::Current();
    // A client in another Linux process has its own addresses, which may equal ours: its views are
    // looked up first.
    const bool remote = detail::ClientSpaceOf(current) != nullptr;
    if (!remote && Pool::IsKernelAddress(BaseAddress, 1))
        return;  // a system address: nothing was mapped
    RequireAtMostApc("MmUnmapLockedPages");
    q407::sim::View released{};
    {
        std::lock_guard lock(q407::sim::g_mutex);
        auto& views = q407::sim::Views();
        auto found = views.end();
        for (auto it = views.begin(); it != views.end(); ++it) {
            if (it->userAddress != BaseAddress) continue;
            if (it->process == current) {
                found = it;
                break;
            }
            if (it->client == nullptr && found == views.end()) found = it;
        }
        if (found == views.end()) {
            if (q407::sim::EndedViews().erase(reinterpret_cast<uintptr_t>(BaseAddress)) != 0)
                return;
            if (remote && Pool::IsKernelAddress(BaseAddress, 1)) return;  // a system address
            BugCheck("MmUnmapLockedPages", "not an address that MmMapLockedPages returned");
        }
        if (found->mdl != MemoryDescriptorList)
            BugCheck("MmUnmapLockedPages", "the address was mapped through another MDL");
        if (found->process != current)
            BugCheck("MmUnmapLockedPages",
                     "the mapping belongs to process " + std::to_string(found->process->id) +
                         " but the call runs in process " + std::to_string(current->id));
        released = std::move(*found);
        views.erase(found);
    }
    q407::sim::ReleaseMapping(released);
}
