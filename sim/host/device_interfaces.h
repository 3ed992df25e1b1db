// Device interfaces as user mode sees them: the enabled interfaces of a class, and arrival and
// removal notices delivered to subscribers' queues (the way a client's window receives its
// device-change messages, asynchronously to the driver that changed the state).
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/machine_clock.h"

namespace q407::sim {

struct DeviceInterfaceNotice {
    enum class Kind { Arrival, Removal } kind = Kind::Arrival;
    GUID classGuid{};
    std::wstring symbolicLink;  // as the driver got it ("\??\...")
};

// Symbolic link names of the enabled interfaces of a class, in registration order.
std::vector<std::wstring> EnabledDeviceInterfaces(const GUID& classGuid);

// "{ce872cd5-e4fc-4ec5-a992-5bf4d395b350}"
std::wstring GuidText(const GUID& guid);

class DeviceInterfaceSubscription {
  public:
    explicit DeviceInterfaceSubscription(const GUID& classGuid);
    // Notices of every interface class.
    DeviceInterfaceSubscription();
    ~DeviceInterfaceSubscription();
    DeviceInterfaceSubscription(const DeviceInterfaceSubscription&) = delete;
    DeviceInterfaceSubscription& operator=(const DeviceInterfaceSubscription&) = delete;

    // Takes the oldest queued notice; false when none is queued.
    bool Next(DeviceInterfaceNotice* notice);
    // The oldest queued notice, left queued; false when none is queued.
    bool Peek(DeviceInterfaceNotice* notice);
    // Waits (an emulated wait, PASSIVE_LEVEL) until a notice is queued; false on time-out.
    bool Wait(ClockTicks timeout);
    bool Wait();
    // Signalled while notices are queued.
    PKEVENT Event() { return &event_; }

    // Keeps another event (a client's, referenced by the caller for the subscription's life)
    // in the same state as Event().
    void MirrorTo(PKEVENT event);

    // Called by the I/O manager.
    void Deliver(const DeviceInterfaceNotice& notice);
    bool Wants(const GUID& classGuid) const;

  private:
    bool allClasses_ = false;
    GUID classGuid_{};
    PKEVENT mirror_ = nullptr;
    KEVENT event_;
    std::mutex mutex_;
    std::deque<DeviceInterfaceNotice> queue_;
};

namespace detail {
// Resolves a client's path to an enabled interface: its physical device (referenced) and the
// file name the driver sees: "\" and the interface's reference string when it has one, then
// what followed the link ("" or "\name"). False if no enabled interface matches.
bool ResolveDeviceInterface(const std::wstring& path, PDEVICE_OBJECT* physicalDevice,
                            std::wstring* remainder);
}  // namespace detail

}  // namespace q407::sim
