// Subdevices of an adapter: PcRegisterSubdevice (a device interface per category, reference
// string = the name), PcRegisterPhysicalConnection, their end at stop and removal, and what the
// emulation lets tests and the audio stack read of them.
#include <algorithm>
#include <cwctype>
#include <string>

#include "sim/host/portcls/adapter_state.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace detail {
namespace {

constexpr size_t kMaxNameLength = 255;

bool SameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

const PCPIN_DESCRIPTOR& PinAt(const PCFILTER_DESCRIPTOR& filter, ULONG pin) {
    return *reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Pins) +
                                                      size_t(pin) * filter.PinSize);
}

bool Streaming(const PCPIN_DESCRIPTOR& pin) {
    const KSPIN_COMMUNICATION c = pin.KsPinDescriptor.Communication;
    return c == KSPIN_COMMUNICATION_SINK || c == KSPIN_COMMUNICATION_SOURCE ||
           c == KSPIN_COMMUNICATION_BOTH;
}

void AddCategory(std::vector<GUID>* categories, const GUID& category) {
    for (const GUID& present : *categories)
        if (IsEqualGUID(present, category)) return;
    categories->push_back(category);
}

// The interface classes a filter is found under: audio always; render and capture by its
// streaming pins (data into the filter is rendered, data out of it captured); topology for a
// filter without streaming pins; and the categories the filter names itself.
void Classify(const PCFILTER_DESCRIPTOR& filter, SubdeviceEntry* entry) {
    for (ULONG i = 0; i < filter.PinCount; ++i) {
        const PCPIN_DESCRIPTOR& pin = PinAt(filter, i);
        if (!Streaming(pin)) continue;
        if (pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN) entry->playback = true;
        if (pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT) entry->recording = true;
    }
    AddCategory(&entry->categories, KSCATEGORY_AUDIO);
    if (entry->playback) AddCategory(&entry->categories, KSCATEGORY_RENDER);
    if (entry->recording) AddCategory(&entry->categories, KSCATEGORY_CAPTURE);
    if (!entry->playback && !entry->recording) AddCategory(&entry->categories, KSCATEGORY_TOPOLOGY);
    for (ULONG i = 0; i < filter.CategoryCount; ++i)
        AddCategory(&entry->categories, filter.Categories[i]);
}

void FreeLinks(SubdeviceEntry* entry, bool disable) {
    for (UNICODE_STRING& link : entry->links) {
        if (disable) (void)IoSetDeviceInterfaceState(&link, FALSE);  // it was enabled
        RtlFreeUnicodeString(&link);
    }
    entry->links.clear();
    entry->enabled = false;
}

// Registers and enables the entry's interfaces; on failure nothing stays registered.
NTSTATUS PublishInterfaces(AdapterState* adapter, SubdeviceEntry* entry) {
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, entry->name.c_str());
    for (const GUID& category : entry->categories) {
        UNICODE_STRING link{};
        const NTSTATUS status =
            IoRegisterDeviceInterface(adapter->physical, &category, &reference, &link);
        if (!NT_SUCCESS(status)) {
            FreeLinks(entry, false);
            return status;
        }
        entry->links.push_back(link);
    }
    for (size_t i = 0; i < entry->links.size(); ++i) {
        const NTSTATUS status = IoSetDeviceInterfaceState(&entry->links[i], TRUE);
        if (!NT_SUCCESS(status)) {
            for (size_t j = 0; j < i; ++j) (void)IoSetDeviceInterfaceState(&entry->links[j], FALSE);
            FreeLinks(entry, false);
            return status;
        }
    }
    entry->enabled = true;
    return STATUS_SUCCESS;
}

int UnitOf(const AdapterState* adapter) {
    const auto& adapters = Adapters();
    return int(std::find(adapters.begin(), adapters.end(), adapter) - adapters.begin());
}

SubdeviceRecord RecordOf(const AdapterState* adapter, const SubdeviceEntry& entry) {
    SubdeviceRecord record;
    record.name = entry.name;
    record.kind = entry.port->Kind();
    record.physicalDevice = adapter->physical;
    record.unit = UnitOf(adapter);
    record.categories = entry.categories;
    for (const UNICODE_STRING& link : entry.links)
        record.symbolicLinks.emplace_back(link.Buffer, link.Length / sizeof(WCHAR));
    record.enabled = entry.enabled;
    record.playback = entry.playback;
    record.recording = entry.recording;
    return record;
}

AdapterState* AdapterOfDeviceLocked(PDEVICE_OBJECT deviceObject) {
    for (AdapterState* adapter : Adapters())
        if (adapter->self == deviceObject) return adapter;
    return nullptr;
}

AdapterState* AdapterOfPhysicalLocked(PDEVICE_OBJECT physicalDevice) {
    for (AdapterState* adapter : Adapters())
        if (adapter->physical == physicalDevice) return adapter;
    return nullptr;
}

// The registered subdevice whose port is behind unknown; null if none on this adapter.
const SubdeviceEntry* EntryOfLocked(const AdapterState* adapter, PortBase* port) {
    for (const SubdeviceEntry& entry : adapter->subdevices)
        if (entry.port == port) return &entry;
    return nullptr;
}

}  // namespace

bool TryReferencePort(PortBase* port) {
    return port->TryAddPortReference();
}

void NoteBoundPort(PDEVICE_OBJECT deviceObject, PortBase* port) {
    std::lock_guard lock(RegistryMutex());
    AdapterState* adapter = AdapterOfDeviceLocked(deviceObject);
    if (adapter == nullptr)
        BugCheck("IPort::Init",
                 "the device object is not an adapter added with PcAddAdapterDevice");
    adapter->boundPorts.push_back(port);
}

void ForgetBoundPort(PDEVICE_OBJECT deviceObject, PortBase* port) {
    std::lock_guard lock(RegistryMutex());
    // The adapter may be gone already when a port outlives it.
    AdapterState* adapter = AdapterOfDeviceLocked(deviceObject);
    if (adapter != nullptr) std::erase(adapter->boundPorts, port);
}

void DisableSubdeviceInterfaces(AdapterState* adapter) {
    std::vector<UNICODE_STRING> links;
    {
        std::lock_guard lock(RegistryMutex());
        for (SubdeviceEntry& entry : adapter->subdevices) {
            if (!entry.enabled) continue;
            entry.enabled = false;
            links.insert(links.end(), entry.links.begin(), entry.links.end());
        }
    }
    // The strings stay owned by the entries until UnregisterSubdevices frees them.
    for (UNICODE_STRING& link : links) (void)IoSetDeviceInterfaceState(&link, FALSE);  // enabled
}

void UnregisterSubdevices(AdapterState* adapter) {
    RequirePassive("UnregisterSubdevices");
    std::vector<SubdeviceEntry> entries;
    {
        std::lock_guard lock(RegistryMutex());
        entries.swap(adapter->subdevices);
        adapter->connections.clear();
    }
    for (SubdeviceEntry& entry : entries) FreeLinks(&entry, entry.enabled);
    for (SubdeviceEntry& entry : entries) {
        entry.port->Shutdown();
        entry.port->ReleasePortReference();
    }
    // Ports initialised on the adapter but never registered (a failed registration) end too:
    // their miniports hold them, so nothing else would.
    std::vector<PortBase*> bound;
    {
        std::lock_guard lock(RegistryMutex());
        for (PortBase* port : adapter->boundPorts)
            if (TryReferencePort(port)) bound.push_back(port);
    }
    for (PortBase* port : bound) {
        port->Shutdown();
        port->ReleasePortReference();
    }
}

void NotifyPowerChange(AdapterState* adapter, DEVICE_POWER_STATE state) {
    std::vector<PortBase*> bound;
    {
        std::lock_guard lock(RegistryMutex());
        for (PortBase* port : adapter->boundPorts)
            if (TryReferencePort(port)) bound.push_back(port);
    }
    for (PortBase* port : bound) {
        port->NotifyPowerChange(state);
        port->ReleasePortReference();
    }
}

}  // namespace detail

using namespace detail;

std::vector<SubdeviceRecord> RegisteredSubdevices() {
    std::lock_guard lock(RegistryMutex());
    std::vector<SubdeviceRecord> records;
    for (const AdapterState* adapter : Adapters())
        for (const SubdeviceEntry& entry : adapter->subdevices)
            records.push_back(RecordOf(adapter, entry));
    return records;
}

std::vector<SubdeviceRecord> SubdevicesOf(PDEVICE_OBJECT physicalDevice) {
    std::lock_guard lock(RegistryMutex());
    std::vector<SubdeviceRecord> records;
    const AdapterState* adapter = AdapterOfPhysicalLocked(physicalDevice);
    if (adapter == nullptr) return records;
    for (const SubdeviceEntry& entry : adapter->subdevices)
        records.push_back(RecordOf(adapter, entry));
    return records;
}

std::vector<PhysicalConnectionRecord> PhysicalConnectionsOf(PDEVICE_OBJECT physicalDevice) {
    std::lock_guard lock(RegistryMutex());
    const AdapterState* adapter = AdapterOfPhysicalLocked(physicalDevice);
    return adapter != nullptr ? adapter->connections : std::vector<PhysicalConnectionRecord>{};
}

bool FindSubdeviceByLink(const std::wstring& symbolicLink, SubdeviceRecord* record) {
    std::lock_guard lock(RegistryMutex());
    for (const AdapterState* adapter : Adapters()) {
        for (const SubdeviceEntry& entry : adapter->subdevices) {
            for (const UNICODE_STRING& link : entry.links) {
                if (SameName(std::wstring(link.Buffer, link.Length / sizeof(WCHAR)),
                             symbolicLink)) {
                    *record = RecordOf(adapter, entry);
                    return true;
                }
            }
        }
    }
    return false;
}

PortBase* ReferenceSubdevicePort(const std::wstring& name, int unit) {
    std::lock_guard lock(RegistryMutex());
    const auto& adapters = Adapters();
    for (size_t i = 0; i < adapters.size(); ++i) {
        if (unit >= 0 && size_t(unit) != i) continue;
        for (const SubdeviceEntry& entry : adapters[i]->subdevices)
            if (entry.enabled && SameName(entry.name, name) && TryReferencePort(entry.port))
                return entry.port;
    }
    return nullptr;
}

size_t BoundPortsOf(PDEVICE_OBJECT physicalDevice) {
    std::lock_guard lock(RegistryMutex());
    const AdapterState* adapter = AdapterOfPhysicalLocked(physicalDevice);
    return adapter != nullptr ? adapter->boundPorts.size() : 0;
}

}  // namespace q407::sim::portcls

using namespace q407::sim;
using namespace q407::sim::portcls;
using namespace q407::sim::portcls::detail;

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown) {
    RequirePassive("PcRegisterSubdevice");
    AdapterState* adapter = AdapterOf(DeviceObject, "PcRegisterSubdevice");
    if (Name == nullptr || Unknown == nullptr)
        BugCheck("PcRegisterSubdevice", "null name or subdevice");
    const size_t length = wcsnlen(Name, kMaxNameLength + 1);
    if (length == 0 || length > kMaxNameLength) return STATUS_INVALID_PARAMETER;
    SubdeviceEntry entry;
    entry.name.assign(Name, length);
    // The name becomes a reference string: one path component.
    if (entry.name.find_first_of(L"\\/") != std::wstring::npos) return STATUS_INVALID_PARAMETER;

    PortBase* port = ReferenceEmulatedPort(Unknown);
    if (port == nullptr) return STATUS_INVALID_PARAMETER;  // not a port of this driver
    if (!port->Initialized() || port->ShutDown() || port->DeviceObject() != DeviceObject) {
        port->ReleasePortReference();
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard lock(RegistryMutex());
        NTSTATUS refused = STATUS_SUCCESS;
        if (adapter->subdevices.size() >= adapter->maxObjects)
            refused = STATUS_INSUFFICIENT_RESOURCES;
        for (const SubdeviceEntry& present : adapter->subdevices) {
            if (present.port == port) refused = STATUS_INVALID_PARAMETER;
            if (SameName(present.name, entry.name)) refused = STATUS_OBJECT_NAME_COLLISION;
        }
        if (!NT_SUCCESS(refused)) {
            port->ReleasePortReference();
            return refused;
        }
    }
    Classify(*port->Descriptor(), &entry);
    entry.port = port;
    const NTSTATUS status = PublishInterfaces(adapter, &entry);
    if (!NT_SUCCESS(status)) {
        port->ReleasePortReference();
        return status;
    }
    port->SetName(entry.name);
    std::lock_guard lock(RegistryMutex());
    adapter->subdevices.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                      ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) {
    RequirePassive("PcRegisterPhysicalConnection");
    AdapterState* adapter = AdapterOf(DeviceObject, "PcRegisterPhysicalConnection");
    if (FromUnknown == nullptr || ToUnknown == nullptr)
        BugCheck("PcRegisterPhysicalConnection", "null subdevice");
    PortBase* from = ReferenceEmulatedPort(FromUnknown);
    PortBase* to = ReferenceEmulatedPort(ToUnknown);
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(RegistryMutex());
        const SubdeviceEntry* fromEntry = from != nullptr ? EntryOfLocked(adapter, from) : nullptr;
        const SubdeviceEntry* toEntry = to != nullptr ? EntryOfLocked(adapter, to) : nullptr;
        // Both ends are registered subdevices of this adapter, the pins exist, and the
        // connection leaves the first filter and enters the second.
        if (fromEntry == nullptr || toEntry == nullptr || from == to) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            const PCFILTER_DESCRIPTOR& fromFilter = *from->Descriptor();
            const PCFILTER_DESCRIPTOR& toFilter = *to->Descriptor();
            if (FromPin >= fromFilter.PinCount || ToPin >= toFilter.PinCount ||
                PinAt(fromFilter, FromPin).KsPinDescriptor.DataFlow != KSPIN_DATAFLOW_OUT ||
                PinAt(toFilter, ToPin).KsPinDescriptor.DataFlow != KSPIN_DATAFLOW_IN) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                PhysicalConnectionRecord record{fromEntry->name, FromPin, toEntry->name, ToPin};
                const bool known = std::any_of(
                    adapter->connections.begin(), adapter->connections.end(),
                    [&](const PhysicalConnectionRecord& c) {
                        return c.fromName == record.fromName && c.fromPin == record.fromPin &&
                               c.toName == record.toName && c.toPin == record.toPin;
                    });
                if (!known) adapter->connections.push_back(record);
            }
        }
    }
    if (from != nullptr) from->ReleasePortReference();
    if (to != nullptr) to->ReleasePortReference();
    return status;
}
