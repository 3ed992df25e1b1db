// A miniport's copy of the stream link to Q407DRV: the dispatch routine, the device context and
// the subdevice index, taken from the link record that the adapter hands every miniport's Init as
// its adapter object (the record's index field names the subdevice being created).
//
// The device context is cleared when Q407DRV announces the device's removal; from then on no call
// crosses the link. Calls run at PASSIVE_LEVEL or DISPATCH_LEVEL.
#pragma once

#include "platform/portcls/portcls.h"
#include "shared/stream_link.h"

namespace q407::wdm {

struct MiniportLink {
    StreamLinkDispatchRoutine dispatch;
    PVOID volatile deviceContext;
    ULONG index;
};

// Copies dispatch routine, device context and index from the record behind the adapter object.
// STATUS_INVALID_PARAMETER, leaving the copy empty, when there is no record, it is smaller than
// the link's size, of no known version or without a dispatch routine.
NTSTATUS CopyMiniportLink(PUNKNOWN unknownAdapter, MiniportLink* link);

// Calls the dispatch routine with the block; FALSE (and no call) once the link is gone.
BOOLEAN CallMiniportLink(MiniportLink* link, ULONG function, PVOID block);

// The device is going away: no further call crosses the link.
void ForgetMiniportDevice(MiniportLink* link);

BOOLEAN MiniportLinkPresent(MiniportLink* link);

// Routines and pointers travel in the blocks as 64-bit words.
template <typename Routine>
uint64_t RoutineWord(Routine routine) {
    return static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(routine));
}
inline uint64_t PointerWord(const void* pointer) {
    return static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(pointer));
}

}  // namespace q407::wdm
