// The device's vendor requests: status and control byte (0x49), mode (0x41) and the
// information bytes (0x56), and the common path every vendor and class request takes.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr UCHAR kRequestStatusControl = 0x49;
constexpr UCHAR kRequestMode = 0x41;
constexpr UCHAR kRequestInfo = 0x56;
constexpr USHORT kControlValueBase = 0xFF00;
constexpr USHORT kModeValueBase = 0x0348;
constexpr USHORT kModeIndex = 0x0101;
constexpr ULONG kMaxModeNumber = 7;

}  // namespace

NTSTATUS StreamEngine::ControlRequest(USHORT function, BOOLEAN in, UCHAR request, USHORT value,
                                      USHORT index, PVOID data, ULONG length,
                                      BOOLEAN allowedDuringUpdate, PULONG transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (length > 0xFFFF || (length != 0 && data == nullptr)) return STATUS_INVALID_PARAMETER;
    // URB and data stage in one non-paged block.
    const SIZE_T urbBytes = (sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) + 15) & ~SIZE_T(15);
    auto* block = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(DriverPoolType(), urbBytes + length + 1, kEnginePoolTag));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, urbBytes + length + 1);
    auto* urb = reinterpret_cast<URB*>(block);
    PUCHAR stage = length != 0 ? block + urbBytes : nullptr;
    if (!in && length != 0) RtlCopyMemory(stage, data, length);

    const ULONG flags =
        in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    UsbBuildVendorRequest(urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0,
                          request, value, index, stage, nullptr, length, nullptr);
    NTSTATUS status = UsbCallSync(urb, IOCTL_INTERNAL_USB_SUBMIT_URB, allowedDuringUpdate);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        if (moved > length) moved = length;
        if (in && moved != 0) RtlCopyMemory(data, stage, moved);
        if (transferred != nullptr) *transferred = moved;
    }
    ExFreePoolWithTag(block, kEnginePoolTag);
    return status;
}

NTSTATUS StreamEngine::ReadDeviceStatus(PUCHAR statusByte) {
    UCHAR value = 0;
    ULONG moved = 0;
    const NTSTATUS status = ControlRequest(URB_FUNCTION_VENDOR_DEVICE, TRUE, kRequestStatusControl,
                                           0, 0, &value, 1, FALSE, &moved);
    if (!NT_SUCCESS(status) || moved != 1) return STATUS_DEVICE_DATA_ERROR;
    if (statusByte != nullptr) *statusByte = value;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::WriteDeviceControl(UCHAR controlByte) {
    if (IsStreaming()) {
        const NTSTATUS stopped = StopForChange("WriteDeviceControl", FALSE);
        if (!NT_SUCCESS(stopped)) return stopped;
    }
    const NTSTATUS status = ControlRequest(URB_FUNCTION_VENDOR_DEVICE, FALSE, kRequestStatusControl,
                                           static_cast<USHORT>(kControlValueBase + controlByte), 0,
                                           nullptr, 0, FALSE, nullptr);
    // The device takes the byte before it answers; the read only paces the next request.
    UCHAR scratch = 0;
    (void)ReadDeviceStatus(&scratch);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
}

NTSTATUS StreamEngine::SetDeviceMode(ULONG mode) {
    const USHORT value = static_cast<USHORT>(kModeValueBase + (mode <= kMaxModeNumber ? mode : 0));
    const NTSTATUS status = ControlRequest(URB_FUNCTION_VENDOR_DEVICE, FALSE, kRequestMode, value,
                                           kModeIndex, nullptr, 0, FALSE, nullptr);
    // The device does not acknowledge modes; only a missing request block is worth reporting.
    return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

NTSTATUS StreamEngine::ReadDeviceInfo(PUCHAR info, LONG keep) {
    UCHAR value[kDeviceInfoBytes] = {};
    ULONG moved = 0;
    const NTSTATUS status = ControlRequest(URB_FUNCTION_VENDOR_DEVICE, TRUE, kRequestInfo, 0, 0,
                                           value, kDeviceInfoBytes, FALSE, &moved);
    if (!NT_SUCCESS(status) || moved != kDeviceInfoBytes) {
        if (keep != 0 && info != nullptr) RtlCopyMemory(info, m_DeviceInfo, kDeviceInfoBytes);
        return STATUS_DEVICE_DATA_ERROR;
    }
    RtlCopyMemory(m_DeviceInfo, value, kDeviceInfoBytes);
    RtlCopyMemory(m_Settings.deviceInfo, value, kDeviceInfoByteCount);
    if (info != nullptr) RtlCopyMemory(info, value, kDeviceInfoBytes);
    return STATUS_SUCCESS;
}

}  // namespace q407
