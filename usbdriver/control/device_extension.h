// The extensions of Q407DRV's two kinds of device: the function device above the USB bus's
// physical device, and the child device it enumerates for the audio driver. Both begin with the
// child flag, so a dispatch routine tells them apart before anything else.
#pragma once

#include "platform/kernel/wdk.h"
#include "usbdriver/control/device_facade.h"
#include "usbdriver/control/remove_lock.h"

namespace q407 {

enum class PnpState : LONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 3,
    SurpriseRemoved = 4,
    Removed = 5,
};

inline constexpr LONG kChildFlag = 1;  // bit 0 of the first field: a child device
inline constexpr ULONG kMaxChildren = 1;

struct DeviceExtension {
    LONG childFlag;  // 0
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lowerDevice;     // where every forwarded request goes
    PDEVICE_OBJECT physicalDevice;  // the bus driver's
    PDRIVER_OBJECT driver;
    RemoveLock removeLock;
    volatile LONG pnpState;  // PnpState
    LONG previousPnpState;   // saved by query-remove, restored by cancel-remove
    LONG devicePowerState;   // DEVICE_POWER_STATE
    LONG systemPowerState;   // SYSTEM_POWER_STATE
    DEVICE_CAPABILITIES capabilities;
    PDEVICE_OBJECT children[kMaxChildren];
    ULONG childCount;
    // References the audio driver holds on the private interface; changed with locked
    // increments and decrements. Non-zero vetoes query-remove and query-stop.
    volatile LONG interfaceReferences;
    UNICODE_STRING interfaceName;
    DeviceFacade* facade;
    // Control messages and clean-ups inside the facade; the facade goes only when none is left.
    volatile LONG facadeUsers;
    KEVENT facadeIdle;
};

struct ChildDevice {
    LONG childFlag;  // kChildFlag
    LONG index;      // 1 for the only child
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT parent;  // the function device
};

inline bool IsChildDevice(PDEVICE_OBJECT device) {
    return (*static_cast<const LONG*>(device->DeviceExtension) & kChildFlag) != 0;
}
inline DeviceExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension);
}
inline ChildDevice* ChildOf(PDEVICE_OBJECT device) {
    return static_cast<ChildDevice*>(device->DeviceExtension);
}

}  // namespace q407
