#include "asio/class_factory.h"

#include <new>

#include "asio/asio_direct_sound.h"
#include "asio/driver_identity.h"

namespace q407::asio {
namespace {

CUnknown* CreateDriver(IUnknown* outer, HRESULT* result) {
    (void)result;  // construction itself cannot fail
    return new (std::nothrow) AsioDirectSound(outer);
}

const ClassTemplate kTemplates[] = {
    {L"Asio 2.0", &kDriverClassId, CreateDriver, nullptr},
};

}  // namespace

long CClassFactory::locks_ = 0;

const ClassTemplate* FindClassTemplate(REFCLSID classId) {
    for (const ClassTemplate& entry : kTemplates) {
        if (IsEqualGUID(classId, *entry.classId)) return &entry;
    }
    return nullptr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    return static_cast<ULONG>(++refCount_);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    if (--refCount_ == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(refCount_);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // An aggregating object may only ask for the inner object's own unknown.
    if (outer != nullptr && !IsEqualGUID(riid, IID_IUnknown)) return E_NOINTERFACE;
    HRESULT result = S_OK;
    CUnknown* object = template_->create(outer, &result);
    if (object == nullptr) return E_OUTOFMEMORY;
    if (FAILED(result)) {
        delete object;
        return result;
    }
    object->NonDelegatingAddRef();
    const HRESULT answer = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return answer;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock != FALSE) {
        ++locks_;
    } else {
        --locks_;
    }
    return S_OK;
}

long CClassFactory::Locks() {
    return locks_;
}

}  // namespace q407::asio
