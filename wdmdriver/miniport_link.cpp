// The miniports' copy of the stream link.
#include "wdmdriver/miniport_link.h"

namespace q407::wdm {
namespace {

PVOID ReadDeviceContext(MiniportLink* link) {
    // The removal notice clears the context on another processor; read it as one ordered access.
    return InterlockedCompareExchangePointer(&link->deviceContext, nullptr, nullptr);
}

}  // namespace

NTSTATUS CopyMiniportLink(PUNKNOWN unknownAdapter, MiniportLink* link) {
    // The adapter object is the link record itself, not a COM object: it is only read.
    const auto* record = reinterpret_cast<const StreamLinkInterface*>(unknownAdapter);
    link->dispatch = nullptr;
    link->index = 0;
    InterlockedExchangePointer(&link->deviceContext, nullptr);
    if (record == nullptr || record->size < kStreamLinkSize || record->version < 1 ||
        record->dispatch == nullptr)
        return STATUS_INVALID_PARAMETER;
    link->dispatch = record->dispatch;
    link->index = record->index;
    InterlockedExchangePointer(&link->deviceContext, record->deviceContext);
    return STATUS_SUCCESS;
}

BOOLEAN CallMiniportLink(MiniportLink* link, ULONG function, PVOID block) {
    PVOID context = ReadDeviceContext(link);
    if (context == nullptr || link->dispatch == nullptr) return FALSE;
    link->dispatch(context, function, block);
    return TRUE;
}

void ForgetMiniportDevice(MiniportLink* link) {
    InterlockedExchangePointer(&link->deviceContext, nullptr);
}

BOOLEAN MiniportLinkPresent(MiniportLink* link) {
    return ReadDeviceContext(link) != nullptr && link->dispatch != nullptr ? TRUE : FALSE;
}

}  // namespace q407::wdm
