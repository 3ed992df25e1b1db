// Internals shared by the parts of the I/O manager.
#pragma once

#include <functional>
#include <string>

#include "platform/kernel/wdk.h"

namespace q407::sim::detail {

// The emulation's record of a device object (DEVICE_OBJECT::SimData).
struct DeviceRecord {
    std::wstring name;               // "\Device\..." or empty
    std::wstring instancePath;       // set for physical device objects
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
    bool deleted = false;
    // What the driver last told the power manager (PoSetPowerState); guarded by the power
    // manager's lock.
    DEVICE_POWER_STATE devicePower = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE systemPower = PowerSystemUnspecified;
    ULONG startNextPowerCalls = 0;
    // Files opened on this (physical) device whose close has not yet been sent; guarded by the
    // file lock of the process code.
    size_t openFiles = 0;
};

DeviceRecord& RecordOf(PDEVICE_OBJECT device);
// A device at the bottom of its stack (attached to no other) and not deleted.
bool IsStackBottom(PDEVICE_OBJECT device);

// Builds an IRP that the I/O manager owns: on completion it copies buffered output back, stores
// IoStatus into *iosb, sets *event and frees the IRP. mode is the requestor mode; for UserMode
// buffers are copied with the probing routines.
struct OwnedIrpSetup {
    PDEVICE_OBJECT device = nullptr;  // target (top of stack)
    UCHAR major = 0;
    UCHAR minor = 0;
    KPROCESSOR_MODE mode = KernelMode;
    PFILE_OBJECT file = nullptr;
    PKEVENT event = nullptr;
    PIO_STATUS_BLOCK iosb = nullptr;
    NTSTATUS initialStatus = STATUS_SUCCESS;
};
PIRP AllocateOwnedIrp(const OwnedIrpSetup& setup);
// Sets up a device control (METHOD_* buffers) in an owned IRP's first location. Returns false when
// the system buffer cannot be allocated or the client's input cannot be read (*failure says why).
bool SetupDeviceControl(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                        ULONG outputLength, bool internal, NTSTATUS* failure);
// Frees an owned IRP that was never sent.
void DiscardOwnedIrp(PIRP irp);

// Sends an owned IRP and waits for it; returns the final status.
NTSTATUS CallAndWait(PIRP irp, PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb);
// Builds an owned IRP for the top of device's stack from setup (its device, event and status
// block are filled in here), sends it and waits for it. prepare, when given, fills the IRP first;
// when it returns false, with *status set, the IRP is discarded unsent. *information, when given,
// receives the sent IRP's IoStatus.Information.
NTSTATUS SendToStackAndWait(PDEVICE_OBJECT device, OwnedIrpSetup setup,
                            const std::function<bool(PIRP irp, NTSTATUS* status)>& prepare,
                            ULONG_PTR* information);

// Device interfaces and registry keys of a physical device go when it is deleted.
void ForgetDeviceInterfaces(PDEVICE_OBJECT device);

// Drivers: a device was deleted (an unload may be waiting for the last one).
void ResetDrivers();
void ResetDevices();
void ResetInterfaces();

}  // namespace q407::sim::detail

namespace q407::sim {
// The instance path of a physical device (named on first use for a device without a lower
// device); false for a device attached to another (not a physical device object).
bool PhysicalInstancePath(PDEVICE_OBJECT device, std::wstring* path);
}  // namespace q407::sim
