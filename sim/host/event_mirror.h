// Events whose state lives in an eventfd shared with a client in another Linux process, so that a
// driver's KeSetEvent wakes the client without a round trip through the machine.
#pragma once

#include "platform/kernel/ke.h"

namespace q407::sim {

// Machine side: from now on the event's state is the eventfd (KeSetEvent writes 1, KeResetEvent
// and KeClearEvent drain it, KeReadStateEvent polls it). Takes its own duplicate of fd; the mirror
// and that duplicate go with the event object's last reference. False when fd cannot be
// duplicated or the event is already mirrored.
bool MirrorEventToFd(PKEVENT event, int fd);

}  // namespace q407::sim

using q407::sim::MirrorEventToFd;
