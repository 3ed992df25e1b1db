// A service group for the fake miniports: RequestService calls every member at once, on the
// caller's thread (the members raise to DISPATCH_LEVEL themselves, as the port's do).
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::testing {

// One counted reference in *group.
NTSTATUS NewFakeServiceGroup(PSERVICEGROUP* group);
// Members now in the group.
size_t FakeServiceGroupMembers(PSERVICEGROUP group);

}  // namespace q407::testing
