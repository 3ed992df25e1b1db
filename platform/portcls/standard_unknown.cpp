// The standard unknown's members: reference counting and the IUnknown answer that every object
// derived from CUnknown shares. The kit ships these as a library of the port-class driver's own;
// the driver image carries them itself.
#include "platform/portcls/portcls.h"

#if defined(Q407_REAL_KITS)
// The kit's header names the two members differently.
#define m_lRefCount m_ref_count
#define m_pUnknownOuter m_outer_unknown
#endif

CUnknown::CUnknown(PUNKNOWN pUnknownOuter) : m_lRefCount(0) {
    // Without an outer object, the object's own non-delegating unknown stands in for it: the
    // layout of INonDelegatingUnknown is that of IUnknown, slot for slot.
    m_pUnknownOuter = pUnknownOuter
                          ? pUnknownOuter
                          : reinterpret_cast<PUNKNOWN>(static_cast<INonDelegatingUnknown*>(this));
}

CUnknown::~CUnknown() {}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
    return ULONG(InterlockedIncrement(&m_lRefCount));
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
    const LONG count = InterlockedDecrement(&m_lRefCount);
    if (count == 0) {
        // Guards against a release from the destructor deleting the object twice.
        m_lRefCount = 1;
        delete this;
        return 0;
    }
    return ULONG(count);
}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid) {
    if (IsEqualGUID(rIID, IID_IUnknown)) {
        *ppVoid = reinterpret_cast<PVOID>(static_cast<INonDelegatingUnknown*>(this));
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    *ppVoid = nullptr;
    return STATUS_INVALID_PARAMETER;
}

#if !defined(Q407_REAL_KITS)
void CUnknown::operator delete(PVOID ptr) {
    ExFreePool(ptr);
}
#endif
