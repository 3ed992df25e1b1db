// The port-class driver's record of one adapter device, shared by its IRP handling
// (adapter.cpp) and subdevice registration (subdevices.cpp). Not for use outside the port-class
// emulation.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/port_base.h"

namespace q407::sim::portcls::detail {

struct SubdeviceEntry {
    std::wstring name;
    PortBase* port = nullptr;  // the adapter's reference
    std::vector<GUID> categories;
    std::vector<UNICODE_STRING> links;  // IoRegisterDeviceInterface's strings, in category order
    bool enabled = false;
    bool playback = false;
    bool recording = false;
};

struct AdapterState {
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT physical = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
    uint64_t sequence = 0;  // plug order
    bool started = false;
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    // Guarded by the registry mutex.
    std::vector<SubdeviceEntry> subdevices;
    std::vector<PhysicalConnectionRecord> connections;
    std::vector<PortBase*> boundPorts;  // not referenced: each port leaves the list as it dies
};

// The port-class area at the start of an adapter's device extension.
struct PortClassArea {
    ULONG magic;
    ULONG reserved;
    AdapterState* state;
};
inline constexpr ULONG kPortClassAreaMagic = 0x41637650;  // "PvcA"
static_assert(sizeof(PortClassArea) <= PORT_CLASS_DEVICE_EXTENSION_SIZE);

// One mutex for every adapter's lists and the list of adapters.
std::mutex& RegistryMutex();
std::vector<AdapterState*>& Adapters();

// The adapter behind a device object: its state, or a bug check naming call when the device is
// not a port-class adapter.
AdapterState* AdapterOf(PDEVICE_OBJECT deviceObject, const char* call);
// Same, null instead of the bug check.
AdapterState* FindAdapter(PDEVICE_OBJECT deviceObject);

// Ends every subdevice of the adapter: interfaces disabled and their strings freed, ports shut
// down and released, connections forgotten; then ports initialised on it but never registered
// are shut down too. PASSIVE_LEVEL.
void UnregisterSubdevices(AdapterState* adapter);
// Disables the subdevices' device interfaces (surprise removal: user mode stops seeing them at
// once; the rest ends at removal).
void DisableSubdeviceInterfaces(AdapterState* adapter);
// Tells every bound port's miniport of a device power change.
void NotifyPowerChange(AdapterState* adapter, DEVICE_POWER_STATE state);

// The port's reference unless it is already being destroyed.
bool TryReferencePort(PortBase* port);

}  // namespace q407::sim::portcls::detail
