// Executive pool allocation with tags.
#pragma once

#include "nt_types.h"

enum POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
};

// Pool tags read as their four characters in memory (and in the leak report): "Zel6" is
// POOL_TAG("Zel6").
constexpr ULONG POOL_TAG(const char (&s)[5]) {
    return ULONG(UCHAR(s[0])) | (ULONG(UCHAR(s[1])) << 8) | (ULONG(UCHAR(s[2])) << 16) |
           (ULONG(UCHAR(s[3])) << 24);
}

// Returns null when the pool (or the low-resource simulation) refuses. Allocations are not zeroed.
// Allocations of a page or more are page aligned and can be mapped into a user process.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
// Untagged allocation; it is accounted under the tag "None".
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);
