#include "sim/host/portcls/dmus_master_clock.h"

#include <new>

#include "sim/host/portcls/port_pool_tags.h"

namespace q407::sim::portcls {

NTSTATUS DmusMasterClock::Create(DmusMasterClock** clock) {
    *clock = nullptr;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DmusMasterClock), kDmusPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *clock = new (memory) DmusMasterClock();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) DmusMasterClock::QueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    // The kits name no interface identifier for the clock: it is reached only through the
    // pointer the port hands to the miniport.
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = static_cast<IMasterClock*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) DmusMasterClock::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) DmusMasterClock::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
        this->~DmusMasterClock();
        ExFreePoolWithTag(this, kDmusPoolTag);
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP_(NTSTATUS) DmusMasterClock::GetTime(REFERENCE_TIME* time) {
    if (time == nullptr) return STATUS_INVALID_PARAMETER;
    *time = static_cast<REFERENCE_TIME>(KeQueryInterruptTime());
    return STATUS_SUCCESS;
}

}  // namespace q407::sim::portcls
