// The pool every allocation of a kernel driver comes from. The driver's entry chooses it once from
// the system version: the no-execute non-paged pool from Windows 8 (6.2) on, the plain non-paged
// pool on older systems, which refuse the no-execute type. Until the entry has chosen, the plain
// pool, which every version accepts. Each driver image holds its own copy of the value.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407 {

inline POOL_TYPE g_DriverPoolType = NonPagedPool;

inline POOL_TYPE DriverPoolType() {
    return g_DriverPoolType;
}

// First thing in DriverEntry, at PASSIVE_LEVEL, before anything is allocated. A version that
// cannot be read keeps the plain pool, which is always safe.
inline NTSTATUS SelectDriverPoolType() {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    const NTSTATUS status = RtlGetVersion(&version);
    if (!NT_SUCCESS(status)) {
        g_DriverPoolType = NonPagedPool;
        return status;
    }
    const BOOLEAN noExecute =
        version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
    g_DriverPoolType = noExecute ? NonPagedPoolNx : NonPagedPool;
    return STATUS_SUCCESS;
}

}  // namespace q407
