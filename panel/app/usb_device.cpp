#include "panel/app/usb_device.h"

#include <vector>

#include "shared/device_interface.h"

namespace q407::panel {

GUID InterfaceClass() {
    GUID guid{};
    guid.Data1 = GUID_DEVINTERFACE_Q407.Data1;
    guid.Data2 = GUID_DEVINTERFACE_Q407.Data2;
    guid.Data3 = GUID_DEVINTERFACE_Q407.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = GUID_DEVINTERFACE_Q407.Data4[i];
    return guid;
}

namespace {

bool SendOn(HANDLE device, ControlMessage* message) {
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, message, sizeof(*message), message,
                           sizeof(*message), &returned, nullptr) != FALSE;
}

uint32_t BlockWord(const MixerSettings& block, size_t offset) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&block);
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

ControlMessage SettingsMessage(SettingsAndPanelType type, const MixerSettings* block) {
    ControlMessage m = MakeControlMessage(type);
    SetU64(m, cm::kSettingsAddress, reinterpret_cast<uint64_t>(block));
    return m;
}

}  // namespace

USBDevice::~USBDevice() {
    closeAll();
}

bool USBDevice::open() {
    if (count_ != 0) return true;
    const GUID guid = InterfaceClass();
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    // The table has eight slots: a ninth interface is not looked at (nothing more is opened).
    for (DWORD index = 0; count_ < kUnitSlots; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) break;
        std::vector<unsigned char> storage(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        // The record's size as this process's headers declare it (8 in a 64-bit process, 6 in a
        // 32-bit one): device setup refuses any other value.
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
            break;
        keepIfAnswering(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return count_ != 0;
}

void USBDevice::keepIfAnswering(const WCHAR* path) {
    HANDLE device =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE || device == nullptr) return;
    ControlMessage m = MakeControlMessage(DeviceServicesType::QueryInterfaceVersion);
    SetU32(m, cm::kVersionMajor, 0xFF);
    SetU32(m, cm::kVersionMinor, 0xFF);
    if (!SendOn(device, &m) || GetU32(m, cm::kVersionMajor) != 1 ||
        GetU32(m, cm::kVersionMinor) != 0) {
        CloseHandle(device);
        return;
    }
    handles_[count_] = device;
    ++count_;
    selected_ = count_ - 1;
}

void USBDevice::closeAll() {
    for (int32_t slot = count_ - 1; slot >= 0; --slot) {
        // A handle whose device has gone still closes; nothing to report to anyone.
        CloseHandle(handles_[slot]);
        handles_[slot] = nullptr;
    }
    count_ = 0;
    selected_ = 0;
}

void USBDevice::selectUnit(int32_t unit) {
    if (unit < 0 || unit + 1 > count_) {
        selected_ = count_ - 1;
    } else {
        selected_ = count_ - 1 - unit;
    }
}

int32_t USBDevice::addRef() {
    return ++refCount_;
}

int32_t USBDevice::release() {
    // A release without a reference would free an object nobody counted: it does nothing.
    if (refCount_ <= 0) return 0;
    if (--refCount_ == 0) {
        delete this;
        return 0;
    }
    return refCount_;
}

bool USBDevice::selectedHandleValid() const {
    return selected_ >= 0 && selected_ < count_ && handles_[selected_] != nullptr &&
           handles_[selected_] != INVALID_HANDLE_VALUE;
}

bool USBDevice::send(ControlMessage* message) {
    if (!selectedHandleValid()) return false;
    return SendOn(handles_[selected_], message);
}

bool USBDevice::readSettings(MixerSettings* area) {
    ControlMessage m = SettingsMessage(SettingsAndPanelType::ReadSettings, area);
    return send(&m);
}

bool USBDevice::writeSettings(const MixerSettings* block) {
    ControlMessage m = SettingsMessage(SettingsAndPanelType::WriteSettings, block);
    return send(&m);
}

bool USBDevice::mapPanelStatus(uint32_t flag, uint64_t* key, EngineStatus** record) {
    ControlMessage m = MakeControlMessage(SettingsAndPanelType::MapStatusForPanel);
    SetU32(m, cm::kMapFlag, flag);
    SetU64(m, cm::kStatusAddress, reinterpret_cast<uint64_t>(*record));
    SetU64(m, cm::kMappingKey, *key);
    if (!send(&m)) return false;
    // Both are 64-bit fields: a client address above 4 GiB must survive.
    *record =
        reinterpret_cast<EngineStatus*>(static_cast<uintptr_t>(GetU64(m, cm::kStatusAddress)));
    *key = GetU64(m, cm::kMappingKey);
    return true;
}

bool USBDevice::readRate(uint32_t* rate) {
    MixerSettings block{};
    if (!readSettings(&block)) return false;
    *rate = BlockWord(block, offsetof(MixerSettings, sampleRate));
    return true;
}

int32_t USBDevice::readUsbBuffer() {
    MixerSettings block{};
    if (!readSettings(&block)) return kFallbackUsbBufferCount;
    const uint32_t n = BlockWord(block, offsetof(MixerSettings, usbBufferCount));
    return n >= 2 && n <= 5 ? static_cast<int32_t>(n) : kFallbackUsbBufferCount;
}

uint32_t USBDevice::getLatency() {
    ControlMessage m = MakeControlMessage(SettingsAndPanelType::GetLatency);
    if (!send(&m)) return 0;
    return GetU32(m, cm::kLatency);
}

bool USBDevice::setLatency(uint32_t samples, uint32_t force) {
    ControlMessage m = MakeControlMessage(SettingsAndPanelType::SetLatency);
    SetU32(m, cm::kLatency, samples);
    SetU32(m, cm::kForce, force);
    return send(&m);
}

bool USBDevice::setConfiguration(uint32_t rate, uint32_t* rateReadBack) {
    MixerSettings block{};
    if (!readSettings(&block)) return false;
    block.sampleRate = static_cast<int32_t>(rate);
    // The read back below shows what the driver made of the write; its own result adds nothing.
    (void)writeSettings(&block);
    MixerSettings after{};
    if (readSettings(&after) && rateReadBack != nullptr)
        *rateReadBack = BlockWord(after, offsetof(MixerSettings, sampleRate));
    return true;
}

bool USBDevice::setUsbBuffer(uint32_t n) {
    if (n < 2 || n > 5) return false;
    MixerSettings block{};
    if (!readSettings(&block)) return false;
    block.usbBufferCount = static_cast<int32_t>(n);
    // Reported as done once the block was read, whatever the write's outcome.
    (void)writeSettings(&block);
    return true;
}

bool USBDevice::getDriverVersion(VersionInfo* info) {
    ControlMessage m = MakeControlMessage(DeviceServicesType::QueryDriverVersion);
    SetU32(m, cm::kVersionMajor, 0xFF);
    SetU32(m, cm::kVersionMinor, 0xFF);
    if (!send(&m)) return false;
    info->major = static_cast<int32_t>(GetU32(m, cm::kVersionMajor));
    info->minor = static_cast<int32_t>(GetU32(m, cm::kVersionMinor));
    info->kind = kVersionRelease;
    info->build = 1;
    info->letter = '0';
    FormatVersionText(info);
    return true;
}

bool USBDevice::getFirmwareVersion(VersionInfo* info) {
    info->letter = '0';
    info->major = 0;
    info->minor = 0;
    info->build = 9;
    info->kind = kVersionRelease;
    MixerSettings block{};
    const bool ok = readSettings(&block);
    if (ok) {
        info->letter = static_cast<char>(block.deviceInfo[0]);
        info->major = block.deviceInfo[1];
        info->minor = block.deviceInfo[2];
    }
    FormatShortText(info);
    FormatVersionText(info);
    return ok;
}

bool USBDevice::sendCodecBytes(uint32_t byteCount, const uint8_t* bytes) {
    if (!selectedHandleValid()) return false;
    if (byteCount == 0 || bytes == nullptr) return true;
    // The driver reads the bytes from this copy while the request runs.
    std::vector<uint8_t> copy(bytes, bytes + byteCount);
    ControlMessage m = MakeControlMessage(DeviceServicesType::SendCodecBytes);
    SetU32(m, cm::kCodecByteCount, byteCount);
    SetU64(m, cm::kCodecBytesAddress, reinterpret_cast<uint64_t>(copy.data()));
    return send(&m);
}

bool USBDevice::setDigitalOptions(uint8_t options) {
    ControlMessage m = MakeControlMessage(DeviceServicesType::SetDigitalOptions);
    SetU32(m, cm::kByteValue, options);
    return send(&m);
}

bool SendCodecBytesToDevice(void* context, const uint8_t* bytes, uint32_t count) {
    if (context == nullptr) return false;
    return static_cast<USBDevice*>(context)->sendCodecBytes(count, bytes);
}

}  // namespace q407::panel
