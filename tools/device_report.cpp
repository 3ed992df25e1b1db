#include "tools/device_report.h"

#include "shared/mixer_settings.h"
#include "tools/device_client.h"

namespace q407::tools {
namespace {

bool Query(HANDLE device, ControlMessage* m, const char* what, std::string* error) {
    DWORD code = 0;
    if (SendControlMessage(device, m, &code)) return true;
    *error = std::string(what) + " failed (Win32 error " + std::to_string(code) + ")";
    return false;
}

bool Gather(HANDLE device, DeviceReport* report, std::string* error) {
    ControlMessage version = MakeControlMessage(DeviceServicesType::QueryDriverVersion);
    SetU32(version, cm::kVersionMajor, 0xFF);
    SetU32(version, cm::kVersionMinor, 0xFF);
    if (!Query(device, &version, "QueryDriverVersion", error)) return false;
    report->driverMajor = GetU32(version, cm::kVersionMajor);
    report->driverMinor = GetU32(version, cm::kVersionMinor);

    ControlMessage counts = MakeControlMessage(DeviceServicesType::QueryChannelCounts);
    if (!Query(device, &counts, "QueryChannelCounts", error)) return false;
    report->inputChannels = GetU32(counts, cm::kInputChannels);
    report->outputChannels = GetU32(counts, cm::kOutputChannels);

    ControlMessage status = MakeControlMessage(DeviceServicesType::ReadDeviceStatus);
    if (!Query(device, &status, "ReadDeviceStatus", error)) return false;
    report->statusByte = GetU32(status, cm::kByteValue);

    MixerSettings settings{};
    ControlMessage read = MakeControlMessage(SettingsAndPanelType::ReadSettings);
    SetU64(read, cm::kSettingsAddress, reinterpret_cast<uint64_t>(&settings));
    if (!Query(device, &read, "ReadSettings", error)) return false;
    report->firmwareLetter = static_cast<char>(settings.deviceInfo[0]);
    report->firmwareMajor = settings.deviceInfo[1];
    report->firmwareMinor = settings.deviceInfo[2];
    report->sampleRate = static_cast<uint32_t>(settings.sampleRate);
    report->usbBufferCount = static_cast<uint32_t>(settings.usbBufferCount);
    report->autoClock = settings.autoClock != 0;
    report->spdifInput = settings.spdifInput != 0;

    ControlMessage latency = MakeControlMessage(SettingsAndPanelType::GetLatency);
    if (!Query(device, &latency, "GetLatency", error)) return false;
    report->latency = GetU32(latency, cm::kLatency);
    return true;
}

}  // namespace

bool QueryDeviceReport(DeviceReport* report, std::string* error) {
    DeviceConnection connection;
    if (!OpenQ407Device(&connection)) {
        *error = "no Q407 LX device interface answered";
        return false;
    }
    report->path = connection.path;
    const bool ok = Gather(connection.handle, report, error);
    CloseQ407Device(&connection);
    return ok;
}

std::string PrintablePath(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace q407::tools
