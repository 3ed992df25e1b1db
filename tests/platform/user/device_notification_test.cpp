// Device-interface notifications as the panel's device watcher takes them on the bench: the
// registration's queue and event, the records' layout and contents, the filter and handle checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"

// After the emulated kernel's declarations: the Win32 names this brings into scope would
// otherwise be shadowed by the kernel's own.
#include "platform/user/device_access.h"

namespace q407::testing {
namespace {

const GUID kWatched = {
    0xce872cd5, 0xe4fc, 0x4ec5, {0xa9, 0x92, 0x5b, 0xf4, 0xd3, 0x95, 0xb3, 0x50}};
const GUID kOther = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

NTSTATUS NoDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// A physical device whose interfaces the test enables and disables as a driver would.
class DeviceNotificationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sim::LoadDriver(L"NotifyDrv", NoDriverEntry, &driver_), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_),
                  STATUS_SUCCESS);
        pdo_->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kWatched, nullptr, &watched_), STATUS_SUCCESS);
        ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kOther, nullptr, &other_), STATUS_SUCCESS);
    }
    void TearDown() override {
        RtlFreeUnicodeString(&watched_);
        RtlFreeUnicodeString(&other_);
        if (pdo_ != nullptr) IoDeleteDevice(pdo_);
        client_.End();
        EXPECT_EQ(sim::UnloadDriver(L"NotifyDrv"), STATUS_SUCCESS);
        EXPECT_EQ(sim::Pool::LeakReport(), "");
    }

    static DEV_BROADCAST_DEVICEINTERFACE_W Filter(const GUID& guid) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = guid;
        return filter;
    }

    // The SetupDi path of the watched interface while it is enabled.
    static std::wstring WatchedPath() {
        HDEVINFO set = SetupDiGetClassDevsW(&kWatched, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        std::wstring path;
        std::vector<unsigned char> storage(1024);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiEnumDeviceInterfaces(set, nullptr, &kWatched, 0, &data) &&
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 1024, nullptr, nullptr))
            path = detail->DevicePath;
        SetupDiDestroyDeviceInfoList(set);
        return path;
    }

    struct Message {
        WPARAM event = 0;
        HANDLE recipient = nullptr;
        GUID guid{};
        DWORD size = 0;
        std::wstring name;
    };
    static bool Take(HDEVNOTIFY n, Message* m) {
        std::vector<unsigned char> storage(1024);
        auto* record = reinterpret_cast<PDEV_BROADCAST_DEVICEINTERFACE_W>(storage.data());
        if (!BenchTakeDeviceChange(n, &m->recipient, &m->event,
                                   reinterpret_cast<PDEV_BROADCAST_HDR>(record), 1024, nullptr))
            return false;
        EXPECT_EQ(record->dbcc_devicetype, DBT_DEVTYP_DEVICEINTERFACE);
        m->guid = record->dbcc_classguid;
        m->size = record->dbcc_size;
        m->name = record->dbcc_name;
        return true;
    }

    sim::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    UNICODE_STRING watched_{};
    UNICODE_STRING other_{};
    sim::Process client_{"panel"};
    HWND window_ = reinterpret_cast<HWND>(0x1234);
};

bool SameGuid(const GUID& a, const GUID& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST_F(DeviceNotificationTest, ArrivalAndRemovalOfTheClassAreQueuedInOrderWithTheirRecords) {
    sim::Process::Scope scope(client_);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = Filter(kWatched);
    HDEVNOTIFY n = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(n, nullptr);
    HANDLE event = BenchDeviceChangeEvent(n);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    ASSERT_EQ(IoSetDeviceInterfaceState(&watched_, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&other_, TRUE), STATUS_SUCCESS);  // another class
    const std::wstring path = WatchedPath();
    ASSERT_EQ(path.rfind(L"\\\\?\\", 0), 0u);
    ASSERT_EQ(IoSetDeviceInterfaceState(&watched_, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    Message m;
    ASSERT_TRUE(Take(n, &m));
    EXPECT_EQ(m.event, DBT_DEVICEARRIVAL);
    EXPECT_EQ(m.recipient, reinterpret_cast<HANDLE>(window_));
    EXPECT_TRUE(SameGuid(m.guid, kWatched));
    EXPECT_EQ(m.name, path);
    EXPECT_EQ(m.size, 28 + (path.size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // one more queued
    ASSERT_TRUE(Take(n, &m));
    EXPECT_EQ(m.event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(m.name, path);
    EXPECT_FALSE(Take(n, &m));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    // The device going takes its enabled interfaces with it.
    ASSERT_EQ(IoSetDeviceInterfaceState(&watched_, TRUE), STATUS_SUCCESS);
    IoDeleteDevice(pdo_);
    pdo_ = nullptr;
    ASSERT_TRUE(Take(n, &m));
    EXPECT_EQ(m.event, DBT_DEVICEARRIVAL);
    ASSERT_TRUE(Take(n, &m));
    EXPECT_EQ(m.event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_TRUE(UnregisterDeviceNotification(n));
}

TEST_F(DeviceNotificationTest, AllClassesRegistrationSeesEveryClass) {
    sim::Process::Scope scope(client_);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = Filter(kOther);
    HDEVNOTIFY all = RegisterDeviceNotificationW(
        window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    HDEVNOTIFY one = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(all, nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_EQ(IoSetDeviceInterfaceState(&watched_, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&other_, TRUE), STATUS_SUCCESS);
    Message m;
    ASSERT_TRUE(Take(all, &m));
    EXPECT_TRUE(SameGuid(m.guid, kWatched));
    ASSERT_TRUE(Take(all, &m));
    EXPECT_TRUE(SameGuid(m.guid, kOther));
    ASSERT_TRUE(Take(one, &m));
    EXPECT_TRUE(SameGuid(m.guid, kOther));
    EXPECT_FALSE(Take(one, &m));
    EXPECT_TRUE(UnregisterDeviceNotification(all));
    EXPECT_TRUE(UnregisterDeviceNotification(one));
}

TEST_F(DeviceNotificationTest, TooSmallARecordLeavesTheMessageQueued) {
    sim::Process::Scope scope(client_);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = Filter(kWatched);
    HDEVNOTIFY n = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_EQ(IoSetDeviceInterfaceState(&watched_, TRUE), STATUS_SUCCESS);
    DEV_BROADCAST_DEVICEINTERFACE_W small{};
    WPARAM event = 0;
    DWORD required = 0;
    EXPECT_FALSE(BenchTakeDeviceChange(
        n, nullptr, &event, reinterpret_cast<PDEV_BROADCAST_HDR>(&small), sizeof small, &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 28 + (WatchedPath().size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(small.dbcc_size, 0u);  // nothing written
    EXPECT_EQ(WaitForSingleObject(BenchDeviceChangeEvent(n), 0), WAIT_OBJECT_0);
    std::vector<unsigned char> storage(required);
    EXPECT_TRUE(BenchTakeDeviceChange(n, nullptr, &event,
                                      reinterpret_cast<PDEV_BROADCAST_HDR>(storage.data()),
                                      required, &required));
    EXPECT_EQ(event, DBT_DEVICEARRIVAL);
    EXPECT_TRUE(UnregisterDeviceNotification(n));
}

TEST_F(DeviceNotificationTest, BadFiltersRecipientsAndHandlesAreRefused) {
    sim::Process::Scope scope(client_);
    const size_t handlesBefore = client_.HandleCount();
    DEV_BROADCAST_DEVICEINTERFACE_W filter = Filter(kWatched);
    EXPECT_EQ(RegisterDeviceNotificationW(window_, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    filter.dbcc_devicetype = 2;  // a volume, not an interface
    EXPECT_EQ(RegisterDeviceNotificationW(window_, &filter, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    filter = Filter(kWatched);
    filter.dbcc_size = sizeof(DEV_BROADCAST_HDR);  // claims only the header
    EXPECT_EQ(RegisterDeviceNotificationW(window_, &filter, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    filter = Filter(kWatched);
    EXPECT_EQ(RegisterDeviceNotificationW(nullptr, &filter, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterDeviceNotificationW(window_, &filter, 2), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(client_.HandleCount(), handlesBefore);

    HDEVNOTIFY n = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(client_.HandleCount(), handlesBefore + 1);  // its event
    WPARAM event;
    {
        // Another process cannot use the registration.
        sim::Process other("other");
        sim::Process::Scope otherScope(other);
        EXPECT_FALSE(UnregisterDeviceNotification(n));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(BenchTakeDeviceChange(n, nullptr, &event, nullptr, 0, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    ASSERT_EQ(IoSetDeviceInterfaceState(&watched_, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(UnregisterDeviceNotification(n));  // drops the queued arrival
    EXPECT_EQ(client_.HandleCount(), handlesBefore);
    EXPECT_FALSE(UnregisterDeviceNotification(n));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(BenchTakeDeviceChange(n, nullptr, &event, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace q407::testing
