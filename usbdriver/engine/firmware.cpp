// Firmware download: 96 blocks of 64 bytes written in order, each read back. While a download
// runs the device takes no other request and streaming cannot start.
#include "usbdriver/engine/engine_trace.h"
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
        const NTSTATUS stopped = StopForChange("WriteFirmwareBlock", TRUE);
        if (!NT_SUCCESS(stopped)) return stopped;
    }
    if (blockNumber != kLastFirmwareBlock) InterlockedExchange(&m_FirmwareUpdate, 1);

    UCHAR readBack[kFirmwareBlockBytes];
    const USHORT index = static_cast<USHORT>(blockNumber);
    if (blockNumber == 0) {
        // The device's answer before the first block says nothing about the download.
        (void)ControlRequest(URB_FUNCTION_VENDOR_DEVICE, TRUE, kRequestFirmware, 0, 0, readBack,
                             kFirmwareBlockBytes, TRUE, nullptr);
    }
    const NTSTATUS written =
        ControlRequest(URB_FUNCTION_VENDOR_DEVICE, FALSE, kRequestFirmware, 0, index,
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
    // A block is written only when the device took it and gave the same bytes back.
    if (!NT_SUCCESS(written)) {
        ENGINE_TRACE("WriteFirmwareBlock ERROR block %u not written 0x%08X\n",
                     static_cast<unsigned>(blockNumber), static_cast<unsigned>(written));
        return written;
    }
    if (!NT_SUCCESS(readStatus)) {
        ENGINE_TRACE("WriteFirmwareBlock ERROR block %u not read back 0x%08X\n",
                     static_cast<unsigned>(blockNumber), static_cast<unsigned>(readStatus));
        return readStatus;
    }
    if (moved != kFirmwareBlockBytes ||
        RtlCompareMemory(readBack, data, kFirmwareBlockBytes) != kFirmwareBlockBytes) {
        ENGINE_TRACE("WriteFirmwareBlock ERROR block %u read back differs\n",
                     static_cast<unsigned>(blockNumber));
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

}  // namespace q407
