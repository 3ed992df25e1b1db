// The kernel calls that Windows declares for file-system and other advanced drivers only (the
// kit's ntifs.h): a driver that needs them includes this besides wdk.h.
#pragma once

#if defined(Q407_REAL_KITS)
#include <ntifs.h>
#else
#include "ps_ob.h"

// Attaching lets a driver touch a client's mappings from another context, for instance to unmap
// them at device removal.
struct KAPC_STATE {
    PVOID Reserved[4];
};
using PRKAPC_STATE = KAPC_STATE*;
// The kit tells the kernel's process record from the executive's; here they are one.
using PKPROCESS = PEPROCESS;
void KeStackAttachProcess(PKPROCESS Process, PRKAPC_STATE ApcState);
void KeUnstackDetachProcess(PRKAPC_STATE ApcState);
#endif
