#include "tools/device_client.h"

#include <vector>

#include "shared/device_interface.h"

namespace q407::tools {
namespace {

bool AnswersVersionOne(HANDLE device) {
    ControlMessage m = MakeControlMessage(DeviceServicesType::QueryInterfaceVersion);
    SetU32(m, cm::kVersionMajor, 0xFF);
    SetU32(m, cm::kVersionMinor, 0xFF);
    return SendControlMessage(device, &m) && GetU32(m, cm::kVersionMajor) == 1 &&
           GetU32(m, cm::kVersionMinor) == 0;
}

}  // namespace

GUID Q407InterfaceClass() {
    GUID guid{};
    guid.Data1 = GUID_DEVINTERFACE_Q407.Data1;
    guid.Data2 = GUID_DEVINTERFACE_Q407.Data2;
    guid.Data3 = GUID_DEVINTERFACE_Q407.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = GUID_DEVINTERFACE_Q407.Data4[i];
    return guid;
}

bool OpenQ407Device(DeviceConnection* connection) {
    const GUID guid = Q407InterfaceClass();
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    for (DWORD index = 0; !found; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < sizeof(DWORD)) continue;
        std::vector<unsigned char> storage(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
            continue;
        HANDLE device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device == INVALID_HANDLE_VALUE) continue;
        if (!AnswersVersionOne(device)) {
            CloseHandle(device);
            continue;
        }
        connection->handle = device;
        connection->path = detail->DevicePath;
        found = true;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

void CloseQ407Device(DeviceConnection* connection) {
    if (connection->handle != INVALID_HANDLE_VALUE) CloseHandle(connection->handle);
    connection->handle = INVALID_HANDLE_VALUE;
    connection->path.clear();
}

bool SendControlMessage(HANDLE device, ControlMessage* message, DWORD* error) {
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, message, sizeof(*message),
                                    message, sizeof(*message), &returned, nullptr);
    if (error != nullptr) *error = ok ? ERROR_SUCCESS : GetLastError();
    return ok != FALSE;
}

}  // namespace q407::tools
