// Memory descriptor lists and mappings into user processes; probing client memory.
#pragma once

#include "io_manager.h"
#include "nt_types.h"

struct MDL {
    MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;  // page-aligned start
    ULONG ByteCount;
    ULONG ByteOffset;  // offset of the first byte within the first page
};

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
enum MM_PAGE_PRIORITY : ULONG { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
#define MdlMappingNoExecute 0x40000000

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                   BOOLEAN ChargeQuota, PIRP Irp);
void IoFreeMdl(PMDL Mdl);
void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
// UserMode maps the pages a second time into the current process and returns the client address
// of the first byte; KernelMode returns the system address.
PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority);
void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) {
    return static_cast<PUCHAR>(Mdl->StartVa) + Mdl->ByteOffset;
}
inline ULONG MmGetMdlByteCount(PMDL Mdl) { return Mdl->ByteCount; }

// Client memory named in a request is read and written only through these. They stand for
// ProbeForRead/ProbeForWrite with the copy guarded by an exception handler: an address range the
// current process cannot access fails with STATUS_ACCESS_VIOLATION instead of faulting.
NTSTATUS ProbeAndReadUserBuffer(PVOID Destination, const void* UserSource, SIZE_T Length);
NTSTATUS ProbeAndWriteUserBuffer(PVOID UserDestination, const void* Source, SIZE_T Length);
