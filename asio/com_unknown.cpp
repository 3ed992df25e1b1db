#include "asio/com_unknown.h"

namespace q407::asio {

std::atomic<long> CBaseObject::liveObjects_{0};

CBaseObject::CBaseObject() {
    liveObjects_.fetch_add(1);
}

CBaseObject::~CBaseObject() {
    liveObjects_.fetch_sub(1);
}

long CBaseObject::ObjectsActive() {
    return liveObjects_.load();
}

CUnknown::CUnknown(IUnknown* outer) : owner_(outer != nullptr ? outer : NonDelegatingUnknown()) {}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown)) {
        *ppv = NonDelegatingUnknown();
        NonDelegatingAddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
    const long count = refCount_.fetch_add(1) + 1;
    return static_cast<ULONG>(count > 1 ? count : 1);
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
    const long count = refCount_.fetch_sub(1) - 1;
    if (count == 0) {
        // A release nested in the destructor must not destroy the object again.
        refCount_.store(1);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count > 1 ? count : 1);
}

}  // namespace q407::asio
