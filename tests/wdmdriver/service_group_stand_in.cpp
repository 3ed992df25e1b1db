// The port-class driver's service group, for the wave tests that run without the port-class
// emulation: a counted group whose RequestService reaches its members directly.
#include <atomic>
#include <vector>

#include "platform/portcls/portcls.h"
#include "wave_fakes.h"

namespace {

std::atomic<int> g_liveGroups{0};

class StandInServiceGroup final : public IServiceGroup {
  public:
    StandInServiceGroup() { ++g_liveGroups; }
    ~StandInServiceGroup() { --g_liveGroups; }
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink) ||
            IsEqualGUID(iid, IID_IServiceGroup)) {
            *object = this;
            AddRef();
            return STATUS_SUCCESS;
        }
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP_(void) RequestService() override {
        for (PSERVICESINK member : members_) member->RequestService();
    }
    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override {
        members_.push_back(sink);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override { std::erase(members_, sink); }
    STDMETHODIMP_(void) SupportDelayedService() override {}
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG delay) override { (void)delay; }
    STDMETHODIMP_(void) CancelDelayedService() override {}

  private:
    LONG references_ = 0;
    std::vector<PSERVICESINK> members_;
};

}  // namespace

int q407::testing::LiveServiceGroups() {
    return g_liveGroups.load();
}

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
    (void)OuterUnknown;
    auto* group = new StandInServiceGroup();
    group->AddRef();
    *OutServiceGroup = group;
    return STATUS_SUCCESS;
}
