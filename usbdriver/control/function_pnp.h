// Plug and Play requests of the function device: start, stop and removal in all their orders,
// bus relations with the child device, and the device's capabilities.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407 {

NTSTATUS FunctionDevicePnp(PDEVICE_OBJECT device, PIRP irp);

}  // namespace q407
