// Firmware download: 96 blocks of 64 bytes written in order, each read back. While a download
// runs the device takes no other request and streaming cannot start.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr UCHAR kRequestFirmware = 0x55;
constexpr ULONG kLastFirmwareBlock = kFirmwareBlockCount - 1;

}  // namespace

NTSTATUS StreamEngine::WriteFirmwareBlock(ULONG length, const UCHAR* data, ULONG blockNumber) {
    // A malformed block ends the download: the device is left to the ordinary requests again.
    if (length != kFirmwareBlockBytes || data == nullptr || blockNumber > kLastFirmwareBlock) {
        InterlockedExchange(&m_FirmwareUpdate, 0);
        return length != kFirmwareBlockBytes ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
    }
    if (IsStreaming()) {
        (void)SilenceOutput();
        (void)UsbStopStream();
        ClearStreamingIfIdle();
    }
    if (blockNumber != kLastFirmwareBlock) InterlockedExchange(&m_FirmwareUpdate, 1);

    UCHAR readBack[kFirmwareBlockBytes];
    const USHORT index = static_cast<USHORT>(blockNumber);
    if (blockNumber == 0) {
        (void)ControlRequest(URB_FUNCTION_VENDOR_DEVICE, TRUE, kRequestFirmware, 0, 0, readBack,
                             kFirmwareBlockBytes, TRUE, nullptr);
    }
    (void)ControlRequest(URB_FUNCTION_VENDOR_DEVICE, FALSE, kRequestFirmware, 0, index,
                         const_cast<UCHAR*>(data), kFirmwareBlockBytes, TRUE, nullptr);
    RtlZeroMemory(readBack, sizeof(readBack));
    ULONG moved = 0;
    const NTSTATUS readStatus =
        ControlRequest(URB_FUNCTION_VENDOR_DEVICE, TRUE, kRequestFirmware, 0, index, readBack,
                       kFirmwareBlockBytes, TRUE, &moved);

    if (blockNumber == kLastFirmwareBlock) {
        InterlockedExchange(&m_FirmwareUpdate, 0);
        UCHAR info[kDeviceInfoBytes];
        (void)ReadDeviceInfo(info, TRUE);
    }
    if (!NT_SUCCESS(readStatus)) return STATUS_SUCCESS;
    if (moved != kFirmwareBlockBytes) return STATUS_UNSUCCESSFUL;
    return RtlCompareMemory(readBack, data, kFirmwareBlockBytes) == kFirmwareBlockBytes
               ? STATUS_SUCCESS
               : STATUS_UNSUCCESSFUL;
}

}  // namespace q407
