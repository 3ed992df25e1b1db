// Win32 device access as the ASIO driver and the panel use it, on the emulated machine: device
// setup enumeration with its detail sizes, files on the device interface, device I/O control and
// its errors, events, threads and the millisecond clock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "shared/control_message.h"
#include "shared/device_interface.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "tools/device_client.h"
#include "tools/device_rig.h"

// After the emulated kernel's declarations: the Win32 names this brings into scope would
// otherwise be shadowed by the kernel's own.
#include "platform/user/device_access.h"

namespace q407::testing {
namespace {

class DeviceAccessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(rig_, DefaultMixerSettings(), &error)) << error;
    }

    void TearDown() override {
        client_.End();
        rig_.BeginRemove();
        rig_.FinishRemove();
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel9"), POOL_TAG("Zel6"), POOL_TAG("Zel5"),
                                         POOL_TAG("Zel2"), POOL_TAG("None"), POOL_TAG("Mdl "),
                                         POOL_TAG("Even"), POOL_TAG("Thre")}),
                  "");
    }

    std::wstring FirstPath() {
        const GUID guid = tools::Q407InterfaceClass();
        HDEVINFO set =
            SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        std::wstring path;
        if (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
            std::vector<unsigned char> storage(1024);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 1024, nullptr, nullptr))
                path = detail->DevicePath;
        }
        SetupDiDestroyDeviceInfoList(set);
        return path;
    }

    tools::DeviceRig rig_;
    sim::Process client_{"client"};
};

TEST_F(DeviceAccessTest, EnumeratesTheInterfaceClassWithItsDetail) {
    sim::Process::Scope scope(client_);
    const GUID guid = tools::Q407InterfaceClass();
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    SP_DEVICE_INTERFACE_DATA second{};
    second.cbSize = sizeof(second);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &second));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(required, sizeof(DWORD));
    std::vector<unsigned char> storage(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = required;  // the record's size is expected, not the buffer's
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required - 2, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    const std::wstring path = detail->DevicePath;
    EXPECT_EQ(path.rfind(L"\\\\?\\", 0), 0u);
    EXPECT_EQ((path.size() + 1) * sizeof(WCHAR) + sizeof(DWORD), required);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(nullptr));

    // Another class has no interfaces; a stopped device's interface is gone.
    GUID other = guid;
    other.Data1 ^= 1;
    set = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    SetupDiDestroyDeviceInfoList(set);
    rig_.Stop();
    EXPECT_EQ(FirstPath(), L"");
}

TEST_F(DeviceAccessTest, OpensControlsAndClosesTheDeviceWithWin32Errors) {
    sim::Process::Scope scope(client_);
    const std::wstring path = FirstPath();
    ASSERT_FALSE(path.empty());
    HANDLE device =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    ControlMessage m = MakeControlMessage(DeviceServicesType::QueryDriverVersion);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, &m, sizeof(m), &m, sizeof(m),
                                &returned, nullptr));
    EXPECT_EQ(returned, sizeof(m));
    EXPECT_EQ(GetU32(m, cm::kVersionMinor), 4u);

    EXPECT_FALSE(
        DeviceIoControl(device, 0x2A3BBC, &m, sizeof(m), &m, sizeof(m), &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    m = MakeControlMessage(ControlClass::DeviceServices, 8);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, &m, sizeof(m), &m, sizeof(m),
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, &m, sizeof(m), &m, sizeof(m),
                                 &returned, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(CloseHandle(device));
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(
        CreateFileW(L"\\\\?\\USB#nothing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceAccessTest, EventsThreadsAndTheMillisecondClock) {
    sim::Process::Scope scope(client_);
    EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
    EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const DWORD start = timeGetTime();
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    EXPECT_GE(timeGetTime() - start, 10u);

    struct Shared {
        HANDLE event;
        std::atomic<int> ran{0};
    } shared{event, {}};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto* s = static_cast<Shared*>(parameter);
            Sleep(5);
            ++s->ran;
            SetEvent(s->event);
            return 0;
        },
        &shared, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    const DWORD before = timeGetTime();
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(timeGetTime() - before, 5u);
    const HANDLE both[2] = {thread, event};
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(shared.ran.load(), 1);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(uintptr_t(0xBAD0)), 0), WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
}

TEST_F(DeviceAccessTest, CallsOutsideAnyProcessFail) {
    EXPECT_EQ(CreateFileW(L"\\\\?\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
}

}  // namespace
}  // namespace q407::testing
