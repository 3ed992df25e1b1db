#include "sim/host/portcls/resource_list.h"

#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

class EmptyResourceList final : public IResourceList {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (object == nullptr) BugCheck("IResourceList::QueryInterface", "null interface pointer");
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IResourceList)) {
            *object = static_cast<IResourceList*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs < 0) BugCheck("IResourceList::Release", "released more often than referenced");
        if (refs == 0) {
            delete this;
            return 0;
        }
        return ULONG(refs);
    }
    STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE) override { return 0; }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG) override { return nullptr; }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG) override { return nullptr; }
    // The list describes what the device was given; nothing can be added to it.
    STDMETHODIMP_(NTSTATUS)
    AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR) override {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return nullptr; }
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return nullptr; }

    static void operator delete(void* p) { ExFreePool(p); }

  private:
    ~EmptyResourceList() = default;
    volatile LONG refs_ = 1;
};

}  // namespace

NTSTATUS NewEmptyResourceList(PRESOURCELIST* list) {
    auto* created = new (NonPagedPoolNx, kResourceListPoolTag) EmptyResourceList();
    *list = created;
    return created != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace q407::sim::portcls
