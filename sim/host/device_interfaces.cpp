#include "sim/host/device_interfaces.h"

#include <algorithm>
#include <cwctype>

#include "sim/host/io_internal.h"
#include "sim/host/io_manager.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

constexpr ULONG kLinkTag = POOL_TAG("IoIf");

struct Registration {
    PDEVICE_OBJECT physicalDevice;
    GUID classGuid;
    std::wstring reference;
    std::wstring link;
    bool enabled = false;
};

struct Interfaces {
    std::mutex mutex;
    std::vector<Registration> registrations;
    std::vector<DeviceInterfaceSubscription*> subscribers;
};

Interfaces& State() {
    static auto* state = new Interfaces();
    return *state;
}

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
    return s;
}

// Client spelling "\\?\" and kernel spelling "\??\" name the same link.
std::wstring Canonical(const std::wstring& path) {
    std::wstring s = Lower(path);
    if (s.rfind(L"\\\\?\\", 0) == 0) s = L"\\??\\" + s.substr(4);
    return s;
}

void Notify(const Registration& r, DeviceInterfaceNotice::Kind kind) {
    DeviceInterfaceNotice notice{kind, r.classGuid, r.link};
    for (auto* s : State().subscribers)
        if (s->Wants(r.classGuid)) s->Deliver(notice);
}

}  // namespace

std::wstring GuidText(const GUID& g) {
    wchar_t buffer[40];
    swprintf(buffer, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
             g.Data4[6], g.Data4[7]);
    return buffer;
}

std::vector<std::wstring> EnabledDeviceInterfaces(const GUID& classGuid) {
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    std::vector<std::wstring> links;
    for (auto& r : st.registrations)
        if (r.enabled && IsEqualGUID(r.classGuid, classGuid)) links.push_back(r.link);
    return links;
}

DeviceInterfaceSubscription::DeviceInterfaceSubscription(const GUID& classGuid)
    : classGuid_(classGuid) {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    st.subscribers.push_back(this);
}

DeviceInterfaceSubscription::DeviceInterfaceSubscription() : allClasses_(true) {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    st.subscribers.push_back(this);
}

bool DeviceInterfaceSubscription::Wants(const GUID& classGuid) const {
    return allClasses_ || IsEqualGUID(classGuid_, classGuid);
}

void DeviceInterfaceSubscription::MirrorTo(PKEVENT event) {
    std::lock_guard lock(mutex_);
    mirror_ = event;
    if (mirror_ == nullptr) return;
    if (queue_.empty())
        KeClearEvent(mirror_);
    else
        KeSetEvent(mirror_, IO_NO_INCREMENT, FALSE);
}

DeviceInterfaceSubscription::~DeviceInterfaceSubscription() {
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    std::erase(st.subscribers, this);
}

void DeviceInterfaceSubscription::Deliver(const DeviceInterfaceNotice& notice) {
    std::lock_guard lock(mutex_);
    queue_.push_back(notice);
    KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
    if (mirror_ != nullptr) KeSetEvent(mirror_, IO_NO_INCREMENT, FALSE);
}

bool DeviceInterfaceSubscription::Next(DeviceInterfaceNotice* notice) {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    *notice = queue_.front();
    queue_.pop_front();
    if (queue_.empty()) {
        KeClearEvent(&event_);
        if (mirror_ != nullptr) KeClearEvent(mirror_);
    }
    return true;
}

bool DeviceInterfaceSubscription::Peek(DeviceInterfaceNotice* notice) {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    *notice = queue_.front();
    return true;
}

bool DeviceInterfaceSubscription::Wait(ClockTicks timeout) {
    LARGE_INTEGER t;
    t.QuadPart = -timeout;
    return KeWaitForSingleObject(&event_, UserRequest, UserMode, FALSE, &t) == STATUS_SUCCESS;
}

bool DeviceInterfaceSubscription::Wait() {
    return KeWaitForSingleObject(&event_, UserRequest, UserMode, FALSE, nullptr) == STATUS_SUCCESS;
}

namespace detail {

bool ResolveDeviceInterface(const std::wstring& path, PDEVICE_OBJECT* physicalDevice,
                            std::wstring* remainder) {
    const std::wstring wanted = Canonical(path);
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    // The longest enabled link that the path starts with: an interface with a reference string
    // is found before one of the same device and class without.
    const Registration* found = nullptr;
    size_t foundLength = 0;
    for (auto& r : st.registrations) {
        if (!r.enabled) continue;
        const std::wstring link = Canonical(r.link);
        if (wanted.rfind(link, 0) != 0) continue;
        if (wanted.size() != link.size() && wanted[link.size()] != L'\\') continue;
        if (found != nullptr && link.size() <= foundLength) continue;
        found = &r;
        foundLength = link.size();
    }
    if (found == nullptr) return false;
    // As on Windows, the driver sees the reference string as the file name, before whatever
    // followed the link.
    *remainder = (found->reference.empty() ? std::wstring() : L"\\" + found->reference) +
                 path.substr(foundLength);
    ObReferenceObject(found->physicalDevice);
    *physicalDevice = found->physicalDevice;
    return true;
}

void ForgetDeviceInterfaces(PDEVICE_OBJECT device) {
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    for (auto& r : st.registrations)
        if (r.physicalDevice == device && r.enabled)
            Notify(r, DeviceInterfaceNotice::Kind::Removal);
    std::erase_if(st.registrations, [&](auto& r) { return r.physicalDevice == device; });
}

void ResetInterfaces() {
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    st.registrations.clear();
}

}  // namespace detail
}  // namespace q407::sim

using namespace q407::sim;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    RequirePassive("IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::wstring instance;
    if (!IsDeviceObject(PhysicalDeviceObject) ||
        !PhysicalInstancePath(PhysicalDeviceObject, &instance))
        BugCheck("IoRegisterDeviceInterface", "not a physical device object");
    std::wstring reference;
    if (ReferenceString != nullptr && ReferenceString->Length != 0)
        reference.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
    std::wstring link = L"\\??\\" + instance;
    std::replace(link.begin() + 4, link.end(), L'\\', L'#');
    link += L"#" + GuidText(*InterfaceClassGuid);
    if (!reference.empty()) link += L"\\" + reference;

    const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    if (bytes > 0xFFFF) return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kLinkTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    wmemcpy(buffer, link.c_str(), link.size() + 1);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);

    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    for (auto& r : st.registrations)
        if (r.link == link) return STATUS_SUCCESS;  // registering again yields the same name
    st.registrations.push_back(
        Registration{PhysicalDeviceObject, *InterfaceClassGuid, reference, link, false});
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    RequirePassive("IoSetDeviceInterfaceState");
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    const std::wstring link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
    Interfaces& st = State();
    std::lock_guard lock(st.mutex);
    for (auto& r : st.registrations) {
        if (Canonical(r.link) != Canonical(link)) continue;
        if ((Enable != 0) == r.enabled) return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
        r.enabled = Enable != 0;
        Notify(r, r.enabled ? DeviceInterfaceNotice::Kind::Arrival
                            : DeviceInterfaceNotice::Kind::Removal);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
