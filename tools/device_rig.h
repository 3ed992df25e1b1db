// The USB driver on a virtual Q407 LX, reached the way user-mode clients reach it: the emulated
// machine, the virtual device on its bus, Q407DRV loaded with its functional device added above
// the bus's physical device and started (facade, engine, pipes, device interface). Clients run in
// emulated processes and use platform/user.
//
// The rig sends the Plug and Play requests itself, in the orders the system uses.
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
};

class DeviceRig {
  public:
    explicit DeviceRig(const DeviceRigOptions& options = {});
    // Removes the device if it is still there and unloads the driver.
    ~DeviceRig();
    DeviceRig(const DeviceRig&) = delete;
    DeviceRig& operator=(const DeviceRig&) = delete;

    // The stored settings value the engine loads at start.
    void StoreSettings(const MixerSettings& settings);
    // Start request; the start's status.
    NTSTATUS Start();
    // Query-stop and stop (cancel-stop when the driver refuses).
    void Stop();
    // Removal in two steps, as when the device is pulled out while clients hold handles:
    // surprise removal (the facade goes; handles still open reach a device that refuses
    // requests with STATUS_DELETE_PENDING), then, once the clients are done, remove.
    void BeginRemove();
    void FinishRemove();
    // Orderly removal: query-remove and remove. When the driver refuses the query (the audio
    // driver holds its interface), cancel-remove, then the two steps above.
    void Remove();
    bool Started() const;
    bool Removed() const { return removed_; }

    void RunFor(sim::ClockTicks duration);
    void RunForSeconds(double seconds);

    sim::Q407Device& Device();
    PDEVICE_OBJECT FunctionalDevice() const { return functionalDevice_; }
    DeviceFacade* Facade() const;

  private:
    struct Machine;
    std::unique_ptr<Machine> machine_;
    PDEVICE_OBJECT functionalDevice_ = nullptr;
    bool surpriseRemoved_ = false;
    bool removed_ = false;
};

// Starts the rig with these settings; false, with the message, when the device does not start.
bool StartDeviceWithSettings(DeviceRig& rig, const MixerSettings& settings, std::string* error);

}  // namespace q407::tools
