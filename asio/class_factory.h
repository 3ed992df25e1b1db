// The module's class template table (one class: the driver object) and the class factory that
// DllGetClassObject hands to hosts.
#pragma once

#include "asio/com_unknown.h"
#include "platform/com/com_base.h"

namespace q407::asio {

// Creates an object aggregated in `outer` (or not, when null) and returns its non-delegating
// unknown; *result may be set to a failure, in which case the object is deleted.
using CreateInstanceRoutine = CUnknown* (*)(IUnknown* outer, HRESULT* result);

struct ClassTemplate {
    const wchar_t* name;
    const CLSID* classId;
    CreateInstanceRoutine create;
    void (*initialise)(BOOL loading, const CLSID* classId);  // none for this module
};

// The template whose class identifier is `classId`, or null.
const ClassTemplate* FindClassTemplate(REFCLSID classId);

class CClassFactory : public IClassFactory {
  public:
    explicit CClassFactory(const ClassTemplate* entry) : template_(entry) {}
    virtual ~CClassFactory() = default;
    CClassFactory(const CClassFactory&) = delete;
    CClassFactory& operator=(const CClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // Locks held by LockServer.
    static long Locks();

  private:
    const ClassTemplate* template_;
    // Hosts create and lock from one thread.
    long refCount_ = 0;
    static long locks_;
};

}  // namespace q407::asio
