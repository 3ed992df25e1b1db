// The port-class driver's adapter devices as the emulation keeps them, and what tests and the
// bench's audio stack may read of them: the subdevices each adapter registered (with their
// device interfaces), the physical connections between subdevices, and a referenced port of a
// registered subdevice by name.
//
// The Pc* entry points themselves (PcInitializeAdapterDriver, PcAddAdapterDevice, PcDispatchIrp,
// PcRegisterSubdevice, PcRegisterPhysicalConnection) are declared in platform/portcls/portcls.h.
// The adapter handles its Plug and Play and power requests as the port-class driver does: start
// forwards the request down the stack, then calls the driver's start routine with the (empty)
// resource list of the child device; the other Plug and Play requests go down the stack to the
// child's physical device; stop and removal unregister the subdevices (device interfaces
// disabled, ports shut down and released); device power changes reach the miniports that answer
// IPowerNotify, and system power changes become device power requests.
#pragma once

#include <string>
#include <vector>

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/port_base.h"

namespace q407::sim::portcls {

struct SubdeviceRecord {
    std::wstring name;
    PortKind kind = PortKind::Topology;
    PDEVICE_OBJECT physicalDevice = nullptr;  // of the adapter
    int unit = 0;                             // the adapter's place among live adapters
    std::vector<GUID> categories;             // one device interface per category
    std::vector<std::wstring> symbolicLinks;  // in the order of categories
    bool enabled = false;                     // its device interfaces are enabled
    bool playback = false;                    // has a streaming render pin
    bool recording = false;                   // has a streaming capture pin
};

struct PhysicalConnectionRecord {
    std::wstring fromName;
    ULONG fromPin = 0;
    std::wstring toName;
    ULONG toPin = 0;
};

// Adapters alive now, in plug order (their physical devices).
std::vector<PDEVICE_OBJECT> AdapterPhysicalDevices();
// Subdevices of every adapter (plug order, then registration order), or of one adapter.
std::vector<SubdeviceRecord> RegisteredSubdevices();
std::vector<SubdeviceRecord> SubdevicesOf(PDEVICE_OBJECT physicalDevice);
std::vector<PhysicalConnectionRecord> PhysicalConnectionsOf(PDEVICE_OBJECT physicalDevice);
// The subdevice whose device interface is symbolicLink (any of its categories); false if none.
bool FindSubdeviceByLink(const std::wstring& symbolicLink, SubdeviceRecord* record);

// The port of the enabled subdevice called name (the first adapter's in plug order when several
// devices registered the same name), referenced; null if none. unit >= 0 picks the adapter.
PortBase* ReferenceSubdevicePort(const std::wstring& name, int unit = -1);

// Ports initialised on an adapter's device that are still alive (registered or not).
size_t BoundPortsOf(PDEVICE_OBJECT physicalDevice);

namespace detail {
// Called by PortBase: a port was initialised on deviceObject / is being destroyed.
void NoteBoundPort(PDEVICE_OBJECT deviceObject, PortBase* port);
void ForgetBoundPort(PDEVICE_OBJECT deviceObject, PortBase* port);
}  // namespace detail

}  // namespace q407::sim::portcls
