// The USB driver on a virtual Q407 LX, reached the way user-mode clients reach it: the emulated
// machine, the virtual device on its bus, Q407DRV loaded with its functional device added above
// the bus's physical device and started (facade, engine, pipes, device interface). Clients run in
// emulated processes and use platform/user.
//
// Until the driver's Plug and Play handling exists, the rig calls the start and removal steps
// the Plug and Play manager would ask for.
//
// Several units (virtual devices) can share the machine, each with its own functional device;
// calls without a unit number concern unit 0. A unit can be unplugged and plugged in again.
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

namespace q407::tools {

struct DeviceRigOptions {
    sim::ClockMode clockMode = sim::ClockMode::Virtual;
    int units = 1;
};

class DeviceRig {
  public:
    explicit DeviceRig(const DeviceRigOptions& options = {});
    // Removes the device if it is still there and unloads the driver.
    ~DeviceRig();
    DeviceRig(const DeviceRig&) = delete;
    DeviceRig& operator=(const DeviceRig&) = delete;

    // The stored settings value the engine loads at start (every unit's).
    void StoreSettings(const MixerSettings& settings);
    // Starts every unit; the first failure's status.
    NTSTATUS Start();
    void Stop();
    // Removal in the two steps of the driver (see function_device.h).
    void BeginRemove(int unit = 0);
    void FinishRemove(int unit = 0);
    bool Started() const;

    // The unit leaves the bus mid-stream (its transfers complete as gone) and the driver stops
    // its device as in a surprise removal; the removal itself follows with Replug (once the
    // clients closed their handles), which puts a new device of the same kind in its place and
    // starts it, or with the rig's end.
    void Unplug(int unit = 0);
    NTSTATUS Replug(int unit = 0);

    void RunFor(sim::ClockTicks duration);
    void RunForSeconds(double seconds);

    int Units() const;
    sim::Q407Device& Device(int unit = 0);
    PDEVICE_OBJECT FunctionalDevice(int unit = 0) const;
    DeviceFacade* Facade(int unit = 0) const;

  private:
    struct Machine;
    struct Unit;
    NTSTATUS AddUnit(int unit);
    std::unique_ptr<Machine> machine_;
};

// Starts the rig with these settings; false, with the message, when the device does not start.
bool StartDeviceWithSettings(DeviceRig& rig, const MixerSettings& settings, std::string* error);

}  // namespace q407::tools
