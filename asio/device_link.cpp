#include "asio/device_link.h"

#include <new>
#include <vector>

#include "asio/driver_identity.h"
#include "shared/device_interface.h"

namespace q407::asio {
namespace {

GUID InterfaceClass() {
    GUID guid{};
    guid.Data1 = GUID_DEVINTERFACE_Q407.Data1;
    guid.Data2 = GUID_DEVINTERFACE_Q407.Data2;
    guid.Data3 = GUID_DEVINTERFACE_Q407.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = GUID_DEVINTERFACE_Q407.Data4[i];
    return guid;
}

bool SendOn(HANDLE device, ControlMessage* message, DWORD* error) {
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, message, sizeof(*message),
                                    message, sizeof(*message), &returned, nullptr);
    if (error != nullptr) *error = ok ? ERROR_SUCCESS : GetLastError();
    return ok != FALSE;
}

bool AnswersVersionOne(HANDLE device) {
    ControlMessage m = MakeControlMessage(DeviceServicesType::QueryInterfaceVersion);
    SetU32(m, cm::kVersionMajor, 0xFF);
    SetU32(m, cm::kVersionMinor, 0xFF);
    return SendOn(device, &m, nullptr) && GetU32(m, cm::kVersionMajor) == 1 &&
           GetU32(m, cm::kVersionMinor) == 0;
}

// Opens every present interface of the class that answers version 1.0 into the table, up to
// kMaxUnits; the enumeration ends at its first failure and keeps what it found.
void EnumerateUnits(USBDevice* table) {
    const GUID guid = InterfaceClass();
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;
    for (DWORD index = 0; table->count < kMaxUnits; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) break;
        std::vector<unsigned char> storage(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        // The size of the record as this process's headers declare it (8 in a 64-bit process).
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
            break;
        HANDLE device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device == INVALID_HANDLE_VALUE) continue;
        if (!AnswersVersionOne(device)) {
            CloseHandle(device);
            continue;
        }
        table->handles[table->count] = device;
        ++table->count;
        table->selected.store(table->count - 1);
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

AsioDeviceLink& TheDeviceLink() {
    static AsioDeviceLink link;
    return link;
}

bool AsioDeviceLink::Send(int32_t slot, ControlMessage* message, DWORD* error) {
    if (devices_ == nullptr || slot < 0 || slot >= devices_->count) {
        if (error != nullptr) *error = ERROR_INVALID_HANDLE;
        return false;
    }
    devices_->selected.store(slot);
    return SendOn(devices_->handles[slot], message, error);
}

bool AsioDeviceLink::SendToUnit(int32_t unit, ControlMessage* message, DWORD* error) {
    if (devices_ == nullptr) {
        if (error != nullptr) *error = ERROR_INVALID_HANDLE;
        return false;
    }
    return Send(SlotOfUnit(*devices_, unit), message, error);
}

bool AsioDeviceLink::Open() {
    if (devices_ != nullptr) return true;
    devices_ = new (std::nothrow) USBDevice{};
    if (devices_ == nullptr) return false;
    EnumerateUnits(devices_);
    if (devices_->count == 0) {
        Close();
        return false;
    }
    ControlMessage running = MakeControlMessage(AsioStreamingType::QueryAsioRunning);
    SetU32(running, cm::kAsioRunning, 0);
    if (!SendToUnit(0, &running) || GetU32(running, cm::kAsioRunning) != 0) {
        // Another ASIO client has the device (or it did not answer): nothing stays open.
        Close();
        return false;
    }
    if (!MapStatus(1) || statusRecord_ == nullptr) {
        Close();
        return false;
    }
    // Without a buffer size there is nothing a host could be offered.
    uint32_t frames = 0;
    if (!GetLatency(&frames) || frames == 0 || frames > 0x7FFFFFFFu) {
        Close();
        return false;
    }
    deviceBufferFrames_ = static_cast<int32_t>(frames);
    usbBufferSetting_ = ReadUsbBufferSetting();
    return true;
}

void AsioDeviceLink::Close() {
    if (devices_ == nullptr) return;
    if (statusRecord_ != nullptr) {
        // A failed unmap (the device already gone) is not reported; the view goes with the
        // process or the device.
        (void)MapStatus(0);
    }
    statusRecord_ = nullptr;
    clientKey_ = 0;
    CloseAllHandles();
    delete devices_;
    devices_ = nullptr;
    deviceBufferFrames_ = 0;
    usbBufferSetting_ = 0;
}

void AsioDeviceLink::CloseAllHandles() {
    for (int32_t slot = devices_->count - 1; slot >= 0; --slot) {
        CloseHandle(devices_->handles[slot]);
        devices_->handles[slot] = nullptr;
    }
    devices_->count = 0;
    devices_->selected.store(0);
}

bool AsioDeviceLink::MapStatus(uint32_t flag) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::MapStatusForAsio);
    SetU32(m, cm::kMapFlag, flag);
    SetU64(m, cm::kStatusAddress, reinterpret_cast<uint64_t>(statusRecord_));
    SetU64(m, cm::kMappingKey, clientKey_);
    if (!SendToUnit(0, &m)) return false;
    if (flag == 1) {
        statusRecord_ = reinterpret_cast<EngineStatus*>(GetU64(m, cm::kStatusAddress));
        clientKey_ = GetU64(m, cm::kMappingKey);
    }
    return true;
}

uint32_t AsioDeviceLink::StatusSampleRate() const {
    if (statusRecord_ == nullptr) return 0;
    // The record is written by the USB driver at any time.
    return std::atomic_ref<uint32_t>(statusRecord_->sampleRate).load(std::memory_order_relaxed);
}

void AsioDeviceLink::ClearUnderrunCounter() {
    if (statusRecord_ == nullptr) return;
    std::atomic_ref<uint32_t>(statusRecord_->errorCounter).store(0, std::memory_order_relaxed);
}

bool AsioDeviceLink::SetSampleRateOnAllUnits(uint32_t hz) {
    if (devices_ == nullptr) return false;
    bool all = true;
    for (int32_t slot = devices_->count - 1; slot >= 0; --slot) {
        ControlMessage m = MakeControlMessage(AsioStreamingType::SetSampleRate);
        SetU32(m, cm::kSampleRate, hz);
        if (!Send(slot, &m)) all = false;
    }
    return all;
}

bool AsioDeviceLink::SetChannelHalf(uint32_t direction, int32_t unit, uint32_t channelInUnit,
                                    uint32_t half, uint64_t clientAddress) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::SetAsioChannelBuffer);
    SetU32(m, cm::kDirection, direction);
    SetU32(m, cm::kChannel, channelInUnit);
    SetU32(m, cm::kHalf, half);
    SetU64(m, cm::kBufferAddress, clientAddress);
    SetU32(m, cm::kStride, 1);
    SetU64(m, cm::kSharedBufferKey, clientKey_);
    return SendToUnit(unit, &m);
}

bool AsioDeviceLink::AllocSharedBuffer(uint32_t bytes, uint64_t* variable) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::AllocSharedBuffer);
    SetU32(m, cm::kSharedBufferSize, bytes);
    SetU64(m, cm::kSharedBufferVariable, reinterpret_cast<uint64_t>(variable));
    SetU64(m, cm::kSharedBufferKey, clientKey_);
    return SendToUnit(0, &m);
}

void AsioDeviceLink::RunChannels(uint32_t runFlag, const UnitMasks* masks, int32_t unitCount) {
    // Unit 0 last: its periods drive the buffer switches, and its stream should start after the
    // others have theirs running.
    for (int32_t unit = unitCount - 1; unit >= 0; --unit) {
        if (masks[unit].output == 0 && masks[unit].input == 0) continue;
        ControlMessage m = MakeControlMessage(AsioStreamingType::RunAsioChannels);
        SetU32(m, cm::kChannelFlag, runFlag);
        SetU32(m, cm::kOutputMask, masks[unit].output);
        SetU32(m, cm::kInputMask, masks[unit].input);
        // Not reported to the host: a unit that cannot run shows as silence.
        (void)SendToUnit(unit, &m);
    }
}

bool AsioDeviceLink::SetAsioEvent(HANDLE event) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::SetAsioEvent);
    SetU64(m, cm::kAsioEventHandle, reinterpret_cast<uint64_t>(event));
    return SendToUnit(0, &m);
}

bool AsioDeviceLink::WriteAsioOutput(int32_t unit, uint32_t half, uint32_t enable) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::WriteAsioOutput);
    SetU32(m, cm::kOutputHalf, half);
    SetU32(m, cm::kOutputEnable, enable);
    return SendToUnit(unit, &m);
}

bool AsioDeviceLink::GetLatency(uint32_t* frames, DWORD* error) {
    ControlMessage m = MakeControlMessage(SettingsAndPanelType::GetLatency);
    if (!SendToUnit(0, &m, error)) return false;
    *frames = GetU32(m, cm::kLatency);
    return true;
}

int32_t AsioDeviceLink::ReadUsbBufferSetting() {
    alignas(8) unsigned char area[kSettingsAreaBytes] = {};
    ControlMessage m = MakeControlMessage(SettingsAndPanelType::ReadSettings);
    SetU64(m, cm::kSettingsAddress, reinterpret_cast<uint64_t>(area));
    if (!SendToUnit(0, &m)) return kDefaultUsbBufferCount;
    const uint32_t count = static_cast<uint32_t>(area[8]) | (static_cast<uint32_t>(area[9]) << 8) |
                           (static_cast<uint32_t>(area[10]) << 16) |
                           (static_cast<uint32_t>(area[11]) << 24);
    return count >= 2 && count <= 5 ? static_cast<int32_t>(count) : kDefaultUsbBufferCount;
}

}  // namespace q407::asio
