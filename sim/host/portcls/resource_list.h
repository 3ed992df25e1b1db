// The resource list the port-class driver hands the start routine. The adapter sits on a USB
// child device, which has no hardware resources: the list is empty, and finding an entry in it
// answers null, as it would on Windows for such a device.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

inline constexpr ULONG kResourceListPoolTag = POOL_TAG("ZPrl");

// One counted reference to a new empty resource list.
NTSTATUS NewEmptyResourceList(PRESOURCELIST* list);

}  // namespace q407::sim::portcls
