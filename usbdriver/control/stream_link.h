// The USB driver's side of the stream link (shared/stream_link.h): the dispatch routine the WDM
// audio driver calls with a function number and a parameter block, and the interface's reference
// routines.
//
// The WDM side is trusted no more than a client: every direction, group, count, port and slot is
// checked against the table it indexes, and a function given a value outside it does nothing
// (functions with a result field answer failure). The choices:
//   - direction 0 or 1 (function 4 also takes 4, which only stops streaming);
//   - group 0..8, and group and count together name channels inside the slot's 16 (MME: 2 x group
//     + count <= 16; DOLBY: count <= 16); count 0 touches nothing;
//   - functions 0 and 1: direction 0..1, subdevice and pin 0..15, port 0..15, as the facade's
//     tables are sized;
//   - functions 9, 10, 11: port 0..15 (the facade's MIDI port count);
//   - function 23: slot 0..3 and direction 0..1 when neither is negative;
//   - a null block, or a null device context (no started device), is ignored.
//
// IRQL: the channel, format and topology functions at PASSIVE_LEVEL; the MIDI byte functions and
// the queries also at DISPATCH_LEVEL.
#pragma once

#include "platform/kernel/wdk.h"
#include "shared/stream_link.h"
#include "usbdriver/control/device_facade.h"

namespace q407 {

// The link's dispatch member; the device context is the facade.
void StreamLinkDispatch(PVOID deviceContext, uint32_t function, PVOID block);

}  // namespace q407
