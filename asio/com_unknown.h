// Reference counting for the module's COM objects: the non-delegating IUnknown that an
// aggregating object holds, the outer unknown every other interface forwards to, and the count of
// live objects that decides whether the module may be unloaded.
#pragma once

#include <atomic>

#include "platform/com/com_base.h"

namespace q407::asio {

// Slots 0..2 have IUnknown's shape, so the non-delegating interface can be handed out as the
// object's IUnknown when it is not aggregated.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;

  protected:
    ~INonDelegatingUnknown() = default;
};

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

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
  public:
    // outer: the aggregating object's unknown, or null for an object of its own.
    explicit CUnknown(IUnknown* outer);
    ~CUnknown() override = default;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    IUnknown* GetOwner() const { return owner_; }
    // The non-delegating interface in IUnknown's shape.
    IUnknown* NonDelegatingUnknown() {
        return reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this));
    }

  private:
    IUnknown* owner_;
    std::atomic<long> refCount_{0};
};

}  // namespace q407::asio
