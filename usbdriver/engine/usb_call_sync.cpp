// The one synchronous path to the device's default control pipe: every configuration, vendor
// and class request goes through here.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {

NTSTATUS StreamEngine::UsbCallSync(URB* urb, ULONG controlCode,
                                   BOOLEAN allowedDuringFirmwareUpdate) {
    if (InterlockedCompareExchange(&m_FirmwareUpdate, 0, 0) != 0 && !allowedDuringFirmwareUpdate) {
        ENGINE_TRACE("UsbCallSync ERROR FIRMWARE UPDATE IS RUNNING !!!!\n");
        return STATUS_UNSUCCESSFUL;
    }
    // The device takes no control request while it streams; callers stop the pipes first.
    if (IsStreaming()) return STATUS_UNSUCCESSFUL;
    if (urb == nullptr) {
        ENGINE_TRACE("UsbCallSync pUrb not valid\n");
        return STATUS_UNSUCCESSFUL;
    }
    return SendUrbSync(urb, controlCode);
}

NTSTATUS StreamEngine::SendUrbSync(URB* urb, ULONG controlCode) {
    if (m_LowerDevice == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(controlCode, m_LowerDevice, nullptr, 0, nullptr, 0,
                                             TRUE, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

    NTSTATUS status = IofCallDriver(m_LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

}  // namespace q407
