// A streaming engine on a virtual Q407 LX: the emulated machine, the USB bus with the device
// plugged in, a functional device object attached above the bus's physical device, the shared
// block the facade would allocate, and the engine itself. The q407 command and the engine's tests
// bring the engine up through it.
//
// The rig's owner thread is an emulated thread at PASSIVE_LEVEL and calls the engine's control
// operations as the facade would.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/device/q407_device.h"
#include "sim/device/usb_bus.h"
#include "sim/host/machine_clock.h"
#include "sim/host/windows_version.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407::tools {

struct EngineRigOptions {
    sim::ClockMode clockMode = sim::ClockMode::Virtual;
    std::string pcapPath;                // empty: no capture of the bus traffic
    sim::WindowsVersion windowsVersion;  // what the machine reports to the driver's entry
};

// What the facade would receive from the engine; counted by the rig's notification table.
struct NotificationCounts {
    std::atomic<uint64_t> outputPeriods{0};
    std::atomic<uint64_t> inputPeriods{0};
    std::atomic<uint64_t> asioSignals{0};
    std::atomic<uint64_t> midiIn{0};
};

class EngineRig {
  public:
    explicit EngineRig(const EngineRigOptions& options = {});
    // Another virtual device, with serial number `serial`, on the machine of `host`, driven by
    // the same driver: several devices on one machine.
    EngineRig(EngineRig& host, unsigned serial);
    ~EngineRig();
    EngineRig(const EngineRig&) = delete;
    EngineRig& operator=(const EngineRig&) = delete;

    // The stored settings value in the device's driver key, as the engine would find it.
    void StoreSettingsValue(const void* data, size_t length);
    std::optional<std::vector<uint8_t>> StoredSettingsValue();

    // The facade's start: zeroed shared block, engine construction, InitDevice.
    NTSTATUS Start();
    // The facade's teardown: ReleaseDevice, then the engine and the shared block are freed.
    // Returns what ReleaseDevice reported.
    NTSTATUS Release();
    bool Started() const { return engine_ != nullptr; }
    // False when a capture file was asked for and could not be opened.
    bool CaptureOpen() const { return captureOpen_; }

    StreamEngine& Engine() { return *engine_; }
    EngineStatus& Status() { return *status_; }
    sim::Q407Device& Device();
    sim::UsbBus& Bus();
    NotificationCounts& Notifications() { return notifications_; }

    // Lets the machine run (virtual or real time) while this thread waits.
    void RunFor(sim::ClockTicks duration);
    void RunForSeconds(double seconds);
    // The device leaves the bus; pending transfers complete with the device gone.
    void Unplug();

    // Kernel objects the tests look at.
    PDEVICE_OBJECT FunctionalDevice() const { return functionalDevice_; }
    PDEVICE_OBJECT LowerDevice() const { return lowerDevice_; }

  private:
    struct Machine;
    void AttachFunctionalDevice();
    static void OnOutputPeriod(PVOID context);
    static void OnInputPeriod(PVOID context);
    static LONG OnAsioPeriod(PVOID context);
    static void OnMidiIn(PVOID context);

    std::shared_ptr<Machine> machine_;
    std::unique_ptr<sim::VirtualQ407> device_;
    PDEVICE_OBJECT functionalDevice_ = nullptr;
    PDEVICE_OBJECT lowerDevice_ = nullptr;
    PUCHAR sharedBlock_ = nullptr;
    EngineStatus* status_ = nullptr;
    StreamEngine* engine_ = nullptr;
    EngineNotifications table_{};
    NotificationCounts notifications_;
    bool captureOpen_ = true;
};

// Stores settings as the engine's settings value and starts the rig; false, with the message,
// when the engine does not start.
bool StartWithSettings(EngineRig& rig, const MixerSettings& settings, std::string* error);

}  // namespace q407::tools
