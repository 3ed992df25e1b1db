// The emulated USB bus: the physical device object a USB function driver attaches above, with
// the host controller behind it. IRP_MJ_INTERNAL_DEVICE_CONTROL takes
// IOCTL_INTERNAL_USB_SUBMIT_URB; the bus answers every URB as a host controller would: control
// requests after a short bus delay, bulk and interrupt transfers when the device has moved their
// data, always completing at DISPATCH_LEVEL from clock events. Pending transfers can be cancelled
// (STATUS_CANCELLED, USBD_STATUS_CANCELED); when the device goes away everything outstanding and
// every later request ends with USBD_STATUS_DEVICE_GONE and STATUS_DEVICE_NOT_CONNECTED.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"
#include "platform/usb/usb.h"
#include "sim/device/q407_device.h"
#include "sim/device/scheduler.h"
#include "sim/device/usbmon_capture.h"

namespace q407::sim {

struct UsbBusStats {
    std::uint64_t urbs = 0;  // every URB received
    std::map<USHORT, std::uint64_t> byFunction;
    std::uint64_t rejected = 0;           // failed before reaching the device
    std::uint64_t isochronousMisuse = 0;  // bulk/interrupt URBs aimed at the isochronous pipe
    std::uint64_t cancelled = 0;
    std::uint64_t pending = 0;  // right now
};

class UsbBus {
  public:
    // instanceId: the device's serial number as its instance identifier (each device on a
    // machine needs its own).
    UsbBus(Q407Device& device, Scheduler& scheduler, std::wstring instanceId = L"Q407LX-000001");
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Creates the bus driver object's PDO (once).
    NTSTATUS CreatePdo();
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT DriverObject() { return &driver_; }

    // The device leaves the bus now (or at `due`): all outstanding URBs complete with
    // USBD_STATUS_DEVICE_GONE; the removal callback runs once.
    void Unplug();
    void UnplugAt(ClockTicks due);
    bool Plugged() const;
    void SetRemovalCallback(std::function<void()> callback);

    // usbmon capture of every request from now on.
    bool StartCapture(const std::string& path);
    void StopCapture();

    // The next `count` bulk/interrupt transfers on the endpoint complete with these statuses
    // after the bus delay without reaching the device (e.g. STATUS_SUCCESS with a URB error).
    void FailTransfers(std::uint8_t endpoint, int count, USBD_STATUS usbd, NTSTATUS irpStatus);

    // Completion inside IoCallDriver, as host controller drivers do on errors: with the mode on,
    // transfers the bus fails itself (FailTransfers) and transfers to an endpoint the device
    // has halted (USBD_STATUS_ENDPOINT_HALTED) complete before the dispatch routine returns.
    // Requests refused outright (a gone device, a bad URB, an IRP cancelled on its way) always
    // complete there.
    void SetInlineCompletion(bool on);

    UsbBusStats Stats() const;
    // Pipe handle of an endpoint in the current settings, or null.
    USBD_PIPE_HANDLE PipeHandleOf(std::uint8_t endpoint) const;

  private:
    enum class Kind { Control, Transfer, SelectConfiguration, SelectInterface, ResetPipe };
    struct Pipe {
        std::uint8_t interfaceNumber;
        std::uint8_t address;
        std::uint8_t type;
        std::uint16_t maxPacket;
        std::uint8_t interval;
        ULONG maxTransfer;
    };
    struct Request {
        PIRP irp;
        PURB urb;
        Kind kind;
        std::uint8_t endpoint;  // transfers and pipe resets
        bool in;
        bool shortOk;
        std::uint8_t* buffer;
        std::uint32_t length;
        SetupPacket setup;
        UsbmonTransferType transferType;
        int interval;
        bool deviceDone;
        bool cancelRan;
        TransferResult result;
        bool forced;  // a bus-injected failure
        USBD_STATUS forcedUsbd;
        NTSTATUS forcedIrp;
    };
    struct BusFault {
        int count;
        USBD_STATUS usbd;
        NTSTATUS irpStatus;
    };
    struct Life;

    static NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static UsbBus* FromDevice(PDEVICE_OBJECT device);

    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS Reject(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);
    NTSTATUS StartControl(PIRP irp, PURB urb, Kind kind, const SetupPacket& setup,
                          std::uint8_t* buffer, bool in);
    NTSTATUS StartTransfer(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS SelectInterface(PIRP irp, PURB urb);
    NTSTATUS PipeRequest(PIRP irp, PURB urb);
    NTSTATUS QueryId(PIRP irp);
    static NTSTATUS QueryCapabilities(PDEVICE_CAPABILITIES caps);

    TransferId Enqueue(Request r);
    // After the device was given request id (accepted: it took it); STATUS_PENDING.
    NTSTATUS HandedToDevice(TransferId id, bool accepted);
    void OnDeviceDone(TransferId id, const TransferResult& result);
    void OnCancel(TransferId id);
    void Complete(TransferId id, Request& r, const TransferResult& result);
    void FinishSelectConfiguration(Request& r, USBD_STATUS& usbd);
    void FinishSelectInterface(Request& r, USBD_STATUS& usbd);
    void FillInterface(PUSBD_INTERFACE_INFORMATION info, int interfaceNumber, int alt);
    // Completes the given device requests with `status` from a clock event.
    void DeferDone(const std::vector<TransferId>& ids, TransferStatus status);
    // A request the bus answers itself: done, without the device, after the bus delay.
    void DoneAfterBusDelay(TransferId id);
    void AbortPipesOf(int interfaceNumber);  // -1: all
    void Capture(TransferId id, char type, const Request& r, std::int32_t status,
                 std::uint32_t length, const std::uint8_t* data, std::uint32_t dataLength);
    TransferCallback Callback(TransferId id);

    Q407Device& device_;
    Scheduler& scheduler_;
    std::wstring instanceId_;
    std::shared_ptr<Life> life_;
    DRIVER_OBJECT driver_{};
    DRIVER_EXTENSION driverExtension_{};
    PDEVICE_OBJECT pdo_ = nullptr;

    mutable std::mutex mu_;
    bool gone_ = false;
    std::function<void()> onRemoval_;
    TransferId nextId_ = 1;
    std::map<TransferId, Request> requests_;
    std::uintptr_t nextHandle_ = 1;
    std::uintptr_t configurationHandle_ = 0;
    std::map<std::uintptr_t, Pipe> pipes_;
    std::map<std::uint8_t, BusFault> faults_;
    bool inlineCompletion_ = false;
    UsbmonCapture capture_;
    UsbBusStats stats_;
};

// A virtual Q407 LX plugged into its bus on the machine clock: what the machine and the tests
// create.
class VirtualQ407 {
  public:
    // serial tells several devices on one machine apart (instance Q407LX-<serial>).
    explicit VirtualQ407(unsigned serial = 1);
    Q407Device& Device() { return device_; }
    UsbBus& Bus() { return bus_; }
    PDEVICE_OBJECT Pdo() const { return bus_.Pdo(); }

  private:
    MachineClockScheduler scheduler_;
    Q407Device device_;
    UsbBus bus_;
};

}  // namespace q407::sim
