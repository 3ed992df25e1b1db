#include "tests/sim/host/portcls/fake_service_group.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace q407::testing {
namespace {

class FakeServiceGroup final : public IServiceGroup {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink) ||
            IsEqualGUID(iid, IID_IServiceGroup)) {
            *object = static_cast<IServiceGroup*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = --refs_;
        if (left == 0) {
            for (PSERVICESINK member : members_) member->Release();
            delete this;
        }
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP_(void) RequestService() override {
        std::vector<PSERVICESINK> members;
        {
            std::lock_guard lock(mutex_);
            members = members_;
            for (PSERVICESINK m : members) m->AddRef();
        }
        for (PSERVICESINK m : members) {
            m->RequestService();
            m->Release();
        }
    }
    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override {
        std::lock_guard lock(mutex_);
        sink->AddRef();
        members_.push_back(sink);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override {
        PSERVICESINK removed = nullptr;
        {
            std::lock_guard lock(mutex_);
            auto it = std::find(members_.begin(), members_.end(), sink);
            if (it == members_.end()) return;
            removed = *it;
            members_.erase(it);
        }
        removed->Release();
    }
    STDMETHODIMP_(void) SupportDelayedService() override {}
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override { RequestService(); }
    STDMETHODIMP_(void) CancelDelayedService() override {}

    size_t Members() {
        std::lock_guard lock(mutex_);
        return members_.size();
    }

  private:
    std::atomic<LONG> refs_{1};
    std::mutex mutex_;
    std::vector<PSERVICESINK> members_;  // referenced
};

}  // namespace

NTSTATUS NewFakeServiceGroup(PSERVICEGROUP* group) {
    *group = new FakeServiceGroup();
    return STATUS_SUCCESS;
}

size_t FakeServiceGroupMembers(PSERVICEGROUP group) {
    return static_cast<FakeServiceGroup*>(group)->Members();
}

}  // namespace q407::testing
