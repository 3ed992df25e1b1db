// The USB driver on a virtual Q407 LX, reached the way user-mode clients reach it: the emulated
// machine with its Plug and Play manager, the virtual device on its bus, Q407DRV loaded for the
// device's hardware ID, its function device added above the bus's physical device and started
// (facade, engine, pipes, device interface), and the child device it enumerates with whatever
// driver is registered for "ZEL\Q407_01". Clients run in emulated processes and use
// platform/user.
//
// Several units (virtual devices) can share the machine, each with its own device tree; calls
// without a unit number concern unit 0.
#pragma once

#include <memory>
#include <string>

#include "platform/kernel/wdk.h"
#include "shared/mixer_settings.h"
#include "sim/device/q407_device.h"
#include "sim/host/machine_clock.h"

namespace q407 {
struct DeviceFacade;
}

namespace q407::sim {
class PnpManager;
class VirtualQ407;
}  // namespace q407::sim

namespace q407::tools {

// The hardware IDs the rig's Plug and Play manager knows drivers by.
inline constexpr wchar_t kQ407HardwareId[] = L"USB\\VID_F407&PID_0001";
inline constexpr wchar_t kChildHardwareId[] = L"ZEL\\Q407_01";
inline constexpr wchar_t kChildServiceName[] = L"Q407WDM_01";

struct DeviceRigOptions {
    sim::ClockMode clockMode = sim::ClockMode::Virtual;
    // The driver loaded on the child device (service Q407WDM_01); none when null.
    PDRIVER_INITIALIZE childDriver = nullptr;
    int units = 1;
};

class DeviceRig {
  public:
    explicit DeviceRig(const DeviceRigOptions& options = {});
    // Removes the device if it is still there (the drivers unload with their last device).
    ~DeviceRig();
    DeviceRig(const DeviceRig&) = delete;
    DeviceRig& operator=(const DeviceRig&) = delete;

    // The stored settings value the engine loads at start (every unit's).
    void StoreSettings(const MixerSettings& settings);
    // Plugs every unit (tree built and started) or starts it again after Stop or a failed
    // start; the first failing start's status.
    NTSTATUS Start();
    // Query-stop and stop (cancel-stop when the driver refuses) to every unit; the first
    // failing query's status.
    NTSTATUS Stop();
    // The device is pulled out: the bus loses it, the system surprise-removes the tree and sends
    // the remove requests once no client holds a file on it (at once when none does).
    void Unplug(int unit = 0);
    // The same device is plugged in again and started. STATUS_DELETE_PENDING while the pulled
    // device's removal still waits for a client's handle (the system enumerates the device
    // again only when its old instance has gone).
    NTSTATUS Replug(int unit = 0);
    // Unplug, and wait for the removal.
    void BeginRemove(int unit = 0);
    void FinishRemove(int unit = 0);
    // Orderly removal: query-remove and remove to the unit's tree; the status of the queries (a
    // veto while the audio driver holds its interface leaves everything as it was).
    NTSTATUS Remove(int unit = 0);
    // System sleep (S3) and wake, with the power requests to every device.
    NTSTATUS Sleep();
    NTSTATUS Wake();
    bool Started() const;
    // The device left the system (its remove requests were sent).
    bool Removed(int unit = 0) const;

    void RunFor(sim::ClockTicks duration);
    void RunForSeconds(double seconds);

    // The device on the bus now (a replug plugs in a new one).
    int Units() const;
    sim::Q407Device& Device(int unit = 0);
    sim::VirtualQ407& VirtualDevice(int unit = 0);
    sim::PnpManager& Pnp();
    // Q407DRV's function device above the bus's physical device, or null.
    PDEVICE_OBJECT FunctionalDevice(int unit = 0) const;
    // The child physical device Q407DRV enumerated, or null.
    PDEVICE_OBJECT ChildDevice(int unit = 0) const;
    DeviceFacade* Facade(int unit = 0) const;

  private:
    struct Machine;
    NTSTATUS StartUnit(int unit);
    std::unique_ptr<Machine> machine_;
};

// Starts the rig with these settings; false, with the message, when the device does not start.
bool StartDeviceWithSettings(DeviceRig& rig, const MixerSettings& settings, std::string* error);

}  // namespace q407::tools
