// platform/user's Win32 names in a client linked to the machine through its socket (both ends in
// this Linux process here, the machine's threads marked as its own): a panel's calls reach the
// driver in the client's emulated process, the status record is mapped into the client, and the
// driver's removal event wakes the client's wait on its eventfd.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/bench_win32.h"
#include "platform/user/remote/client_link.h"
#include "tests/sim/service/service_fixture.h"

namespace q407::service::testing {
namespace {

using LinkedClientTest = ServiceFixture;

std::wstring FirstInterface() {
    GUID guid = InterfaceGuid();
    win32::HDEVINFO set = win32::SetupDiGetClassDevsW(
        &guid, nullptr, nullptr, win32::DIGCF_PRESENT | win32::DIGCF_DEVICEINTERFACE);
    if (set == win32::INVALID_HANDLE_VALUE) return {};
    std::wstring path;
    win32::SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (win32::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
        win32::DWORD required = 0;
        (void)win32::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        std::vector<win32::DWORD> storage(required / sizeof(win32::DWORD) + 1);
        auto* detail = reinterpret_cast<win32::PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
        detail->cbSize = sizeof(win32::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (win32::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
            path = detail->DevicePath;
    }
    (void)win32::SetupDiDestroyDeviceInfoList(set);
    return path;
}

bool LinkedControl(HANDLE device, ControlMessage* m) {
    win32::DWORD returned = 0;
    return win32::DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, m, kControlMessageSize, m,
                                  kControlMessageSize, &returned, nullptr) != FALSE &&
           returned == kControlMessageSize;
}

TEST_F(LinkedClientTest, PanelCallsReachTheDriverAndItsRemovalEventWakesTheClient) {
    std::string error;
    ASSERT_TRUE(remote::ClientLink::Connect(SocketPath(), L"panel", &error)) << error;
    remote::ClientLink* link = remote::ClientLink::Current();
    ASSERT_NE(link, nullptr);
    const uint32_t processId = link->ProcessId();

    const std::wstring path = FirstInterface();
    ASSERT_FALSE(path.empty());
    HANDLE device =
        win32::CreateFileW(path.c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                           win32::OPEN_EXISTING, win32::FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, win32::INVALID_HANDLE_VALUE);

    ControlMessage version = MakeControlMessage(DeviceServicesType::QueryDriverVersion);
    ASSERT_TRUE(LinkedControl(device, &version));
    EXPECT_EQ(GetU32(version, cm::kVersionMajor), 1u);
    EXPECT_EQ(GetU32(version, cm::kVersionMinor), 4u);

    HANDLE removal = win32::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(removal, nullptr);
    ControlMessage set = MakeControlMessage(SettingsAndPanelType::SetRemovalEvent);
    SetU64(set, cm::kRemovalEventHandle, reinterpret_cast<uint64_t>(removal));
    ASSERT_TRUE(LinkedControl(device, &set));

    ControlMessage map = MakeControlMessage(SettingsAndPanelType::MapStatusForPanel);
    SetU32(map, cm::kMapFlag, 1);
    ASSERT_TRUE(LinkedControl(device, &map));
    const auto* status = reinterpret_cast<const EngineStatus*>(GetU64(map, cm::kStatusAddress));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->sampleRate, DefaultMixerSettings().sampleRate);
    EXPECT_EQ(link->ViewCount(), 1u);
    EXPECT_EQ(win32::WaitForSingleObject(removal, 0), win32::WAIT_TIMEOUT);

    // The device stops: the driver signals the panel's event and takes its view back.
    ASSERT_EQ(rig_.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(win32::WaitForSingleObject(removal, 2000), win32::WAIT_OBJECT_0);
    for (int i = 0; i < 200 && link->ViewCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(link->ViewCount(), 0u);

    EXPECT_TRUE(win32::CloseHandle(removal));
    EXPECT_TRUE(win32::CloseHandle(device));
    remote::ClientLink::Disconnect();
    EXPECT_EQ(remote::ClientLink::Current(), nullptr);
    EXPECT_TRUE(WaitEnded(processId));
}

}  // namespace
}  // namespace q407::service::testing
