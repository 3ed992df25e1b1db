#include "wdmdriver/driver_pool.h"

namespace q407::wdm {
namespace {
// Written once by the entry before any other routine of the driver runs.
POOL_TYPE g_WdmPoolType = NonPagedPool;
}  // namespace

POOL_TYPE WdmNonPagedPool() {
    return g_WdmPoolType;
}

POOL_TYPE WdmPoolForVersion(ULONG majorVersion, ULONG minorVersion) {
    const bool noExecute = majorVersion > 6 || (majorVersion == 6 && minorVersion >= 2);
    return noExecute ? NonPagedPoolNx : NonPagedPool;
}

NTSTATUS ChooseWdmPool() {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    const NTSTATUS status = RtlGetVersion(&version);
    if (!NT_SUCCESS(status)) {
        g_WdmPoolType = NonPagedPool;
        return status;
    }
    g_WdmPoolType = WdmPoolForVersion(version.dwMajorVersion, version.dwMinorVersion);
    return STATUS_SUCCESS;
}

}  // namespace q407::wdm
