// The Plug and Play manager and the system power manager of the emulated machine.
//
// It builds the device tree the way Windows does: a physical device from a bus (the virtual
// device's USB PDO) is asked for its identifiers and capabilities, the function driver registered
// for one of its hardware IDs is loaded (once) and added above it, the stack is started, asked
// for its capabilities again and for its bus relations, and every child physical device gets the
// same treatment. Removal, surprise removal and stopping follow Windows' orders: children before
// parents, queries answered by every device before the real request, vetoes cancelled. System
// sleep sends query-power and then set-power to every started stack, leaves first; wake sends
// set-power of the working state, parents first. A driver is unloaded when its last device goes.
//
// All requests are sent from the manager's own system thread, one operation at a time, as the
// system serialises Plug and Play. The calls below wait for their operation (PASSIVE_LEVEL, an
// emulated wait, so they work in virtual time); ReportMissing only queues one and may be called
// from anywhere, including a machine event at DISPATCH_LEVEL.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"

namespace q407::sim {

enum class DeviceNodeState {
    NoDriver,  // no driver registered for its hardware IDs
    Failed,    // add-device or start failed; the stack was torn down
    Started,
    Stopped,          // after query-stop and stop
    SurpriseRemoved,  // gone; the remove request waits for its open files to close
    Removed,          // remove sent; the node stays while its parent keeps the physical device
};
const char* DeviceNodeStateName(DeviceNodeState state);

// One request the manager sent, for reports and tests.
struct PnpRequestRecord {
    std::wstring instancePath;  // of the device node
    UCHAR major = 0;            // IRP_MJ_PNP or IRP_MJ_POWER
    UCHAR minor = 0;
    ULONG detail = 0;  // query-id type, relation type, power state
    NTSTATUS status = STATUS_SUCCESS;
};
// "start", "query-remove", "set-power S3", "query-id 1", ...
std::string PnpRequestName(const PnpRequestRecord& record);

class PnpManager {
  public:
    // Starts the manager's thread and serves ZwUnloadDriver (see OnUnloadDriver). One manager per
    // machine, created after the machine and destroyed before it.
    PnpManager();
    // Removes every device still in the tree (remove requests, leaves first), unloads the drivers
    // it loaded and ends its thread.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // The driver for devices whose hardware IDs include hardwareId (case does not matter); a
    // later registration of the same ID replaces the earlier one. Takes effect at the next
    // enumeration.
    void RegisterDriver(const std::wstring& hardwareId, const std::wstring& serviceName,
                        PDRIVER_INITIALIZE entry);

    // A bus reports a new physical device: its subtree is built and started. The status of the
    // device's own start (STATUS_NO_SUCH_DEVICE without a driver for it; a child's failure only
    // marks the child).
    NTSTATUS Plug(PDEVICE_OBJECT physicalDevice);
    // The bus reports the device gone: surprise removal of its subtree (leaves first); the remove
    // requests follow as soon as no file is open on any device of the subtree. Only queues the
    // work; WaitIdle waits for it.
    void ReportMissing(PDEVICE_OBJECT physicalDevice);
    // Orderly removal of a device and its subtree: query-remove to each (leaves first); a veto is
    // cancelled (cancel-remove to those asked) and returned; otherwise remove to each, leaves
    // first. The node leaves the tree.
    NTSTATUS Remove(PDEVICE_OBJECT physicalDevice);
    // Query-stop then stop (a veto is cancelled with cancel-stop and returned); Restart starts a
    // stopped device again and enumerates its children anew.
    NTSTATUS Stop(PDEVICE_OBJECT physicalDevice);
    NTSTATUS Restart(PDEVICE_OBJECT physicalDevice);

    // System sleep: query-power then set-power of the state to every started stack, leaves first.
    // A refused query is cancelled with set-power of the working state to those asked, and its
    // status returned. STATUS_INVALID_DEVICE_STATE when already asleep.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    // Wake: set-power of the working state, parents first.
    NTSTATUS Wake();
    bool Asleep() const;

    // Waits until every queued operation (surprise removals, removals after the last close) is
    // done.
    void WaitIdle();

    // ZwUnloadDriver of a service: its devices are removed (query-remove, remove; a veto is
    // returned) and the driver unloaded. A service the manager did not load is unloaded directly.
    NTSTATUS OnUnloadDriver(const std::wstring& serviceName);

    // The tree as it stands. False/empty for a device the manager does not know.
    bool Knows(PDEVICE_OBJECT physicalDevice) const;
    DeviceNodeState StateOf(PDEVICE_OBJECT physicalDevice) const;
    std::wstring InstancePathOf(PDEVICE_OBJECT physicalDevice) const;
    std::wstring ServiceOf(PDEVICE_OBJECT physicalDevice) const;
    std::vector<PDEVICE_OBJECT> ChildrenOf(PDEVICE_OBJECT physicalDevice) const;
    // The capabilities the stack reported after start (zeroed before).
    DEVICE_CAPABILITIES CapabilitiesOf(PDEVICE_OBJECT physicalDevice) const;
    // Every request sent so far, in order.
    std::vector<PnpRequestRecord> History() const;
    void ClearHistory();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace q407::sim
