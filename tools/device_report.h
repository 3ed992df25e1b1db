// What a user wants to know about a Q407 LX, gathered the way a client gathers it: through the
// device interface and ControlMessages from the calling thread's process (platform/user).
#pragma once

#include <cstdint>
#include <string>

namespace q407::tools {

struct DeviceReport {
    std::wstring path;  // the device interface the client opened
    uint32_t driverMajor = 0;
    uint32_t driverMinor = 0;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    char firmwareLetter = '0';
    uint32_t firmwareMajor = 0;
    uint32_t firmwareMinor = 0;
    uint32_t statusByte = 0;
    uint32_t sampleRate = 0;
    uint32_t latency = 0;  // frames
    uint32_t usbBufferCount = 0;
    bool autoClock = false;   // the clock follows the digital input
    bool spdifInput = false;  // inputs 15/16 from S/PDIF
};

// False, with the reason, when no device answers or a query fails.
bool QueryDeviceReport(DeviceReport* report, std::string* error);

// The device path as a report prints it: printable ASCII, anything else as '?'.
std::string PrintablePath(const std::wstring& path);

}  // namespace q407::tools
