// The USB driver on a virtual Q407 LX, reached the way user-mode clients reach it: the emulated
// machine with its Plug and Play manager, the virtual device on its bus, Q407DRV loaded for the
// device's hardware ID, its function device added above the bus's physical device and started
// (facade, engine, pipes, device interface), and the child device it enumerates with whatever
// driver is registered for "ZEL\Q407_01". Clients run in emulated processes and use
// platform/user.
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
};

class DeviceRig {
  public:
    explicit DeviceRig(const DeviceRigOptions& options = {});
    // Removes the device if it is still there (the drivers unload with their last device).
    ~DeviceRig();
    DeviceRig(const DeviceRig&) = delete;
    DeviceRig& operator=(const DeviceRig&) = delete;

    // The stored settings value the engine loads at start.
    void StoreSettings(const MixerSettings& settings);
    // Plugs the device (tree built and started) or starts it again after Stop or a failed
    // start; the status of the function device's start.
    NTSTATUS Start();
    // Query-stop and stop (cancel-stop when the driver refuses); the query's status.
    NTSTATUS Stop();
    // The device is pulled out: the bus loses it, the system surprise-removes the tree and sends
    // the remove requests once no client holds a file on it (at once when none does).
    void Unplug();
    // The same device is plugged in again and started. STATUS_DELETE_PENDING while the pulled
    // device's removal still waits for a client's handle (the system enumerates the device
    // again only when its old instance has gone).
    NTSTATUS Replug();
    // Unplug, and wait for the removal.
    void BeginRemove();
    void FinishRemove();
    // Orderly removal: query-remove and remove to the tree; the status of the queries (a veto
    // while the audio driver holds its interface leaves everything as it was).
    NTSTATUS Remove();
    // System sleep (S3) and wake, with the power requests to every device.
    NTSTATUS Sleep();
    NTSTATUS Wake();
    bool Started() const;
    // The device left the system (its remove requests were sent).
    bool Removed() const;

    void RunFor(sim::ClockTicks duration);
    void RunForSeconds(double seconds);

    // The device on the bus now (a replug plugs in a new one).
    sim::Q407Device& Device();
    sim::VirtualQ407& VirtualDevice();
    sim::PnpManager& Pnp();
    // Q407DRV's function device above the bus's physical device, or null.
    PDEVICE_OBJECT FunctionalDevice() const;
    // The child physical device Q407DRV enumerated, or null.
    PDEVICE_OBJECT ChildDevice() const;
    DeviceFacade* Facade() const;

  private:
    struct Machine;
    std::unique_ptr<Machine> machine_;
};

// Starts the rig with these settings; false, with the message, when the device does not start.
bool StartDeviceWithSettings(DeviceRig& rig, const MixerSettings& settings, std::string* error);

}  // namespace q407::tools
