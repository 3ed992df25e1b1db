// ASIO sessions on the emulated machine: the machine boots with a virtual Q407 LX (outputs looped
// back to the inputs when asked), Q407DRV starts with the chosen rate, buffer size and USB buffer
// count, and the ASIO test host runs each session from an emulated process of its own, loading
// the driver library as hosts do.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/asio_host.h"
#include "tools/device_report.h"

namespace q407::tools {

class DeviceRig;

struct DeviceSessionOptions {
    uint32_t rate = 48000;
    uint32_t latency = 256;  // L, the ASIO buffer size the driver offers
    uint32_t buffers = 4;    // n, USB buffers
    bool realTime = false;
    bool loopback = true;       // every input carries output (input mod 8)
    bool wdmDriver = false;     // Q407WDM on the child device (its subdevices for other clients)
    bool midiLoopback = false;  // the device's MIDI OUT looped back to its MIDI IN
    std::string libraryPath;    // empty: DefaultAsioModulePath()
};

struct DeviceSessionResult {
    AsioSessionResult asio;
    DeviceReport device;  // as a client reads it before the session
    bool deviceKnown = false;
    // Counted from the moment start last succeeded.
    uint64_t deviceUnderruns = 0;
    uint64_t deviceOverruns = 0;
    uint64_t engineDropouts = 0;  // ASIO ring short or full, capture units lost
    uint64_t Dropouts() const {
        return deviceUnderruns + deviceOverruns + engineDropouts + asio.missedSwitches;
    }
};

class DeviceSession {
  public:
    DeviceSession();
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Boots the machine and loads the library; false, with the message, when either fails.
    bool Boot(const DeviceSessionOptions& options, std::string* error);
    // One session of the host; may be run again on the same machine. `finished` (if given) runs
    // in the host's process once the session has ended, before the process ends: for other work
    // the host did in its process meanwhile to close its handles.
    AsioSessionFailure Run(const AsioSessionRequest& request, DeviceSessionResult* result,
                           std::string* error, const std::function<void()>& finished = {});
    // Lets the machine run while nothing else happens.
    void RunForSeconds(double seconds);
    // The machine, for what a session does to the device meanwhile (unplugging it).
    DeviceRig& Rig();
    // Calls probe (null: none) each time the USB driver is about to set the ASIO client's event,
    // from the driver's completion; for timing the wake-up. Call between sessions only.
    void SetAsioEventProbe(void (*probe)());

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// One session on the running machine the program is linked to (ClientLink): the host runs on
// this program's threads against the wall clock; the device's counters stay on the machine, so
// only the host's own missed switches count as dropouts. The device settings are the machine's.
AsioSessionFailure RunLinkedSession(const std::string& libraryPath,
                                    const AsioSessionRequest& request, DeviceSessionResult* result,
                                    std::string* error);

// Boot and one session.
AsioSessionFailure RunDeviceSession(const DeviceSessionOptions& options,
                                    const AsioSessionRequest& request, DeviceSessionResult* result,
                                    std::string* error);

}  // namespace q407::tools
