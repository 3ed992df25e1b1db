// PcNewServiceGroup's object: a service sink that forwards each service request to its members
// (streams add themselves), at DISPATCH_LEVEL as the port's Notify delivers it, and can request
// a service after a delay through a timer.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

inline constexpr ULONG kServiceGroupPoolTag = POOL_TAG("ZPsg");

// Live service groups (for leak checks of the emulation itself).
LONG LiveServiceGroups();

}  // namespace q407::sim::portcls
