// Completing requests and handing them to the next driver down, as every dispatch routine of the
// driver does.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407 {

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
// Completes with the status the request already carries (what the drivers below or the
// system's preset say).
NTSTATUS CompleteWithCurrentStatus(PIRP irp);
// Skips this driver's stack location and calls the lower device.
NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp);
// Sends the request down with this driver's location copied, waits until the lower drivers have
// completed it and claims it back; returns its status. The caller completes it. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);

}  // namespace q407
