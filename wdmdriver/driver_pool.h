// The pool every allocation of the port-class driver comes from. The driver's entry chooses it
// once from the system version: the no-execute non-paged pool from Windows 8 (6.2) on, the plain
// non-paged pool on older systems, which refuse the no-execute type. Until the entry has chosen,
// the plain pool, which every version accepts. The value belongs to this driver image alone.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {

// The pool type for non-paged allocations of this driver.
POOL_TYPE WdmNonPagedPool();

// The choice for a system version.
POOL_TYPE WdmPoolForVersion(ULONG majorVersion, ULONG minorVersion);

// First thing in the driver's entry, at PASSIVE_LEVEL, before anything is allocated. A version
// that cannot be read keeps the plain pool (returned status), which is always safe.
NTSTATUS ChooseWdmPool();

}  // namespace q407::wdm
