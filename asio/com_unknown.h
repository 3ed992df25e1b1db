// Reference counting for the module's COM objects: the non-delegating IUnknown that an
// aggregating object holds, the outer unknown every other interface forwards to, and the count of
// live objects that decides whether the module may be unloaded.
#pragma once

#include <atomic>

#include "platform/com/com_base.h"

namespace q407::asio {

// Objects of the module alive now (constructed and not yet destroyed).
class CBaseObject {
  public:
    CBaseObject();
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
    static long ObjectsActive();

  private:
    static std::atomic<long> liveObjects_;
};

// An object's own unknown: its IUnknown slots are the non-delegating operations, which an
// aggregating object holds and every other interface of the object reaches through the owner.
class CUnknown : public IUnknown, public CBaseObject {
  public:
    // outer: the aggregating object's unknown, or null for an object of its own.
    explicit CUnknown(IUnknown* outer);
    ~CUnknown() override = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) final {
        return NonDelegatingQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() final { return NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() final { return NonDelegatingRelease(); }

    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv);
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef();
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease();

    // The aggregating object, or this object's own unknown.
    IUnknown* GetOwner() const { return owner_; }
    IUnknown* NonDelegatingUnknown() { return static_cast<IUnknown*>(this); }

  private:
    IUnknown* owner_;
    std::atomic<long> refCount_{0};
};

}  // namespace q407::asio
