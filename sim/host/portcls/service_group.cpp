#include "sim/host/portcls/service_group.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

std::atomic<LONG> g_liveGroups{0};

class ServiceGroup final : public IServiceGroup {
  public:
    ServiceGroup() {
        KeInitializeSpinLock(&lock_);
        KeInitializeTimer(&timer_);
        KeInitializeDpc(&dpc_, DelayedService, this);
        ++g_liveGroups;
    }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (object == nullptr) BugCheck("IServiceGroup::QueryInterface", "null interface pointer");
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink) ||
            IsEqualGUID(iid, IID_IServiceGroup)) {
            *object = static_cast<IServiceGroup*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        const LONG refs = InterlockedIncrement(&refs_);
        if (refs <= 1) BugCheck("IServiceGroup::AddRef", "reference to a released service group");
        return ULONG(refs);
    }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs < 0) BugCheck("IServiceGroup::Release", "released more often than referenced");
        if (refs == 0) {
            delete this;
            return 0;
        }
        return ULONG(refs);
    }

    // Calls every member once; from below DISPATCH_LEVEL the calls are made at DISPATCH_LEVEL,
    // where the port's own deferred call would make them.
    STDMETHODIMP_(void) RequestService() override {
        RequireAtMostDispatch("IServiceGroup::RequestService");
        KIRQL old = PASSIVE_LEVEL;
        const bool raised = KeGetCurrentIrql() < DISPATCH_LEVEL;
        if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
        // Members may leave (and be released) while others are served: each is held meanwhile.
        std::vector<PSERVICESINK> members;
        KeAcquireSpinLockAtDpcLevel(&lock_);
        members = members_;
        for (PSERVICESINK member : members) member->AddRef();
        KeReleaseSpinLockFromDpcLevel(&lock_);
        for (PSERVICESINK member : members) {
            member->RequestService();
            member->Release();
        }
        if (raised) KeLowerIrql(old);
    }

    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override {
        RequireAtMostDispatch("IServiceGroup::AddMember");
        if (sink == nullptr) BugCheck("IServiceGroup::AddMember", "null service sink");
        KIRQL old;
        KeAcquireSpinLock(&lock_, &old);
        const bool present = std::find(members_.begin(), members_.end(), sink) != members_.end();
        if (!present) {
            sink->AddRef();
            members_.push_back(sink);
        }
        KeReleaseSpinLock(&lock_, old);
        return STATUS_SUCCESS;
    }

    STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override {
        RequireAtMostDispatch("IServiceGroup::RemoveMember");
        KIRQL old;
        KeAcquireSpinLock(&lock_, &old);
        auto found = std::find(members_.begin(), members_.end(), sink);
        const bool present = found != members_.end();
        if (present) members_.erase(found);
        KeReleaseSpinLock(&lock_, old);
        if (present) sink->Release();
    }

    STDMETHODIMP_(void) SupportDelayedService() override { delayedSupported_ = true; }

    // ullDelay as KeSetTimer's due time: negative is relative, in 100-nanosecond units.
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG ullDelay) override {
        RequireAtMostDispatch("IServiceGroup::RequestDelayedService");
        if (!delayedSupported_)
            BugCheck("IServiceGroup::RequestDelayedService",
                     "delayed service requested without SupportDelayedService");
        LARGE_INTEGER due;
        due.QuadPart = static_cast<LONGLONG>(ullDelay);
        // The pending timer holds a reference, given back by the deferred call or a cancel.
        AddRef();
        if (KeSetTimer(&timer_, due, &dpc_)) Release();  // it was pending already
    }

    STDMETHODIMP_(void) CancelDelayedService() override {
        RequireAtMostDispatch("IServiceGroup::CancelDelayedService");
        if (KeCancelTimer(&timer_)) Release();
    }

    static void operator delete(void* p) { ExFreePool(p); }

  private:
    ~ServiceGroup() {
        for (PSERVICESINK member : members_) member->Release();
        --g_liveGroups;
    }

    static void DelayedService(PKDPC, PVOID context, PVOID, PVOID) {
        auto* group = static_cast<ServiceGroup*>(context);
        group->RequestService();
        group->Release();
    }

    volatile LONG refs_ = 1;
    KSPIN_LOCK lock_;
    std::vector<PSERVICESINK> members_;
    bool delayedSupported_ = false;
    KTIMER timer_;
    KDPC dpc_;
};

}  // namespace

LONG LiveServiceGroups() {
    return g_liveGroups.load();
}

}  // namespace q407::sim::portcls

using namespace q407::sim;

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
    RequireAtMostDispatch("PcNewServiceGroup");
    if (OutServiceGroup == nullptr) BugCheck("PcNewServiceGroup", "null service group pointer");
    *OutServiceGroup = nullptr;
    // Service groups are not aggregated by any driver of the bench.
    if (OuterUnknown != nullptr) return STATUS_INVALID_PARAMETER;
    auto* group = new (NonPagedPoolNx, portcls::kServiceGroupPoolTag) portcls::ServiceGroup();
    if (group == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *OutServiceGroup = group;
    return STATUS_SUCCESS;
}
