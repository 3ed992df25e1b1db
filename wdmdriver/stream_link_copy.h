// A miniport's copy of the stream link: the dispatch routine, the device context it is called
// with and the subdevice number the adapter wrote into the record before the miniport took it.
#pragma once

#include "platform/kernel/wdk.h"
#include "shared/stream_link.h"

namespace q407::wdm {

struct StreamLinkCopy {
    StreamLinkDispatchRoutine dispatch;
    PVOID deviceContext;
    ULONG index;
};

// FALSE, leaving the copy empty, when the record is missing or not a whole link record.
inline BOOLEAN CopyStreamLink(const StreamLinkInterface* record, StreamLinkCopy* copy) {
    copy->dispatch = nullptr;
    copy->deviceContext = nullptr;
    copy->index = 0;
    if (record == nullptr || record->size < kStreamLinkSize || record->version < 1 ||
        record->dispatch == nullptr)
        return FALSE;
    copy->dispatch = record->dispatch;
    copy->deviceContext = record->deviceContext;
    copy->index = record->index;
    return TRUE;
}

// Without a link the call does nothing and the block keeps what the caller preset.
inline void CallStreamLink(const StreamLinkCopy& link, uint32_t function, void* block) {
    if (link.dispatch != nullptr) link.dispatch(link.deviceContext, function, block);
}

template <typename Routine>
uint64_t RoutineWord(Routine routine) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(routine));
}
inline uint64_t PointerWord(const void* pointer) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}

}  // namespace q407::wdm
