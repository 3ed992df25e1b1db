// platform/user's Win32 names in a process linked to a machine elsewhere (a stand-in here).
#include "platform/user/remote/remote_win32.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "platform/user/device_access.h"
#include "tests/platform/user/remote/fake_machine.h"

namespace q407::remote {
namespace {

using testing::FakeMachine;
using win32::linked::kLocalHandleBit;

uint64_t ValueOf(HANDLE h) {
    return reinterpret_cast<uintptr_t>(h);
}

class LinkedWin32 : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(ClientLink::Connect(machine_.Path(), L"win32 test", &error)) << error;
    }
    void TearDown() override { ClientLink::Disconnect(); }

    FakeMachine machine_;
};

// Two waiters on one auto-reset event: each SetEvent releases exactly one of them.
TEST_F(LinkedWin32, AutoResetReleasesOneWaiterPerSignalManualResetReleasesAll) {
    HANDLE autoEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(autoEvent, nullptr);
    std::atomic<int> woken{0};
    auto waiter = [&](HANDLE e) {
        const DWORD r = WaitForSingleObject(e, INFINITE);
        EXPECT_EQ(r, WAIT_OBJECT_0);
        ++woken;
    };
    std::thread a(waiter, autoEvent), b(waiter, autoEvent);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(woken.load(), 0);
    ASSERT_TRUE(SetEvent(autoEvent));
    for (int i = 0; i < 400 && woken.load() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken.load(), 1);  // the other waiter found the signal taken
    ASSERT_TRUE(SetEvent(autoEvent));
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);  // both signals consumed

    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    woken = 0;
    std::thread c(waiter, manual), d(waiter, manual);
    ASSERT_TRUE(SetEvent(manual));
    c.join();
    d.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // still set
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(autoEvent));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_EQ(machine_.Closed(), std::vector<uint64_t>({ValueOf(autoEvent), ValueOf(manual)}));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(LinkedWin32, WaitsSeeTheMachinesSignalsAnyTakesTheFirstAllTakesEvery) {
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // created signalled
    HANDLE both[2] = {first, second};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20), WAIT_TIMEOUT);
    // What the machine's KeSetEvent does, from its own side of the descriptor.
    machine_.SignalEvent(ValueOf(first));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);      // lowest index wins
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);  // first consumed
    machine_.SignalEvent(ValueOf(first));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);    // the auto-reset one was taken
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);  // the manual one was not
    // Wait-all blocks until the last one comes.
    auto all =
        std::async(std::launch::async, [&] { return WaitForMultipleObjects(2, both, TRUE, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    machine_.SignalEvent(ValueOf(first));
    EXPECT_EQ(all.get(), WAIT_OBJECT_0);
    HANDLE unknown = reinterpret_cast<HANDLE>(0x999);
    EXPECT_EQ(WaitForSingleObject(unknown, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

DWORD RaiseFlag(LPVOID p) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    static_cast<std::atomic<bool>*>(p)->store(true);
    return 0;
}

TEST_F(LinkedWin32, ThreadsAreLocalWithHandlesOutsideTheMachinesRange) {
    std::atomic<bool> ran{false};
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, RaiseFlag, &ran, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(ValueOf(t) & kLocalHandleBit, 0u);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_FALSE(SetEvent(t));
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_FALSE(CloseHandle(t));
    EXPECT_TRUE(machine_.Closed().empty());  // never the machine's business
    EXPECT_EQ(CreateThread(nullptr, 0, RaiseFlag, &ran, 4 /* suspended */, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The stand-in's DeviceIoControl: checks the copy of the input, probes the machine's access to
// other client addresses, and writes back its output.
TEST_F(LinkedWin32, DeviceIoControlCarriesBuffersBothWaysAndBadAddressesFailCleanly) {
    std::atomic<uint32_t> badReadOk{9};
    machine_.On(Op::DeviceIoControl, [&](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        const uint64_t handle = r.U64();
        const uint32_t code = r.U32();
        const uint64_t inAddress = r.U64();
        const uint32_t inLength = r.U32();
        const std::vector<uint8_t> input = r.Bytes();
        r.U64();
        const uint32_t outLength = r.U32();
        EXPECT_TRUE(r.AtEnd());
        EXPECT_EQ(handle, 0x40u);
        EXPECT_EQ(inLength, input.size());
        EXPECT_NE(inAddress, 0u);
        WireWriter probe;
        probe.U64(8).U32(4);  // the first page is never mapped
        auto a = f.Request(Op::ReadMemory, probe);
        badReadOk = WireReader(a.data(), a.size()).U32();
        WireWriter w;
        if (code == 1) {  // echo, reversed
            std::vector<uint8_t> out(input.rbegin(), input.rend());
            out.resize(std::min<size_t>(out.size(), outLength));
            w.U32(0).U32(static_cast<uint32_t>(out.size())).Bytes(out.data(), out.size());
        } else if (code == 2) {  // more output than the caller's buffer holds: a broken reply
            std::vector<uint8_t> out(outLength + 8, 0x77);
            w.U32(0).U32(outLength + 8).Bytes(out.data(), out.size());
        } else {
            w.U32(ERROR_INVALID_FUNCTION).U32(0).Bytes(nullptr, 0);
        }
        f.Reply(m, w);
    });
    HANDLE device = reinterpret_cast<HANDLE>(0x40);
    uint8_t in[4] = {1, 2, 3, 4};
    uint8_t out[8 + 4];
    std::memset(out, 0xCC, sizeof out);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, 1, in, 4, out, 8, &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[3], 1);
    EXPECT_EQ(out[4], 0xCC);
    EXPECT_EQ(badReadOk.load(), 0u);

    EXPECT_FALSE(DeviceIoControl(device, 2, in, 4, out, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_EQ(out[8], 0xCC);  // nothing written past the caller's buffer

    EXPECT_FALSE(DeviceIoControl(device, 3, in, 4, out, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

    // An unreadable input buffer fails here, as the I/O manager's probe would, without a fault.
    void* hole = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(hole, MAP_FAILED);
    EXPECT_FALSE(DeviceIoControl(device, 1, hole, 4, out, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
    // An unwritable output buffer: the reply's bytes cannot land, and that is an error too.
    EXPECT_FALSE(DeviceIoControl(device, 1, in, 4, hole, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
    munmap(hole, 4096);
    // A length no message can carry is refused before anything is read or sent.
    EXPECT_FALSE(DeviceIoControl(device, 1, in, 0xFFFFFFFFu, out, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(DeviceIoControl(device, 1, in, 4, out, 8, &returned, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(LinkedWin32, TheMachineGoingEndsWaitsAndCallsWithAnError) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto waiting = std::async(std::launch::async, [&] {
        const DWORD r = WaitForSingleObject(event, INFINITE);
        return std::make_pair(r, GetLastError());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    machine_.Close();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto [result, error] = waiting.get();
    EXPECT_EQ(result, WAIT_FAILED);
    EXPECT_EQ(error, ERROR_NO_SUCH_DEVICE);

    uint8_t buffer[4] = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x40), 1, buffer, 4, buffer, 4, &returned,
                                 nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVICE);
    EXPECT_EQ(CreateFileW(L"\\\\?\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVICE);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVICE);
    // Local threads still end and can be waited for.
    std::atomic<bool> ran{false};
    HANDLE t = CreateThread(nullptr, 0, RaiseFlag, &ran, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
}

TEST_F(LinkedWin32, TheMachineGoingMidCallFailsTheCall) {
    machine_.On(Op::DeviceIoControl, [](FakeMachine& f, const Message&) { f.Close(); });
    uint8_t buffer[4] = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x40), 1, buffer, 4, buffer, 4, &returned,
                                 nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVICE);
}

constexpr GUID kClass = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

TEST_F(LinkedWin32, DeviceSetupTakesASnapshotAndFilesOpenOnTheMachine) {
    machine_.On(Op::GetClassDevs, [](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        const GUID g = r.Guid();
        const uint32_t flags = r.U32();
        EXPECT_EQ(std::memcmp(&g, &kClass, sizeof g), 0);
        EXPECT_EQ(flags, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        WireWriter w;
        w.U32(0).U32(2).WString(L"\\\\?\\usb#one").WString(L"\\\\?\\usb#two");
        f.Reply(m, w);
    });
    machine_.On(Op::CreateFile, [](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        const std::wstring path = r.WString();
        WireWriter w;
        if (path == L"\\\\?\\usb#two")
            w.U32(0).U64(0x2C);
        else
            w.U32(ERROR_FILE_NOT_FOUND).U64(0);
        f.Reply(m, w);
    });
    HDEVINFO set =
        SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 1, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 2, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    std::vector<uint8_t> storage(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(std::wstring(detail->DevicePath), L"\\\\?\\usb#two");
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    HANDLE file = CreateFileW(L"\\\\?\\usb#two", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(ValueOf(file), 0x2Cu);
    EXPECT_EQ(CreateFileW(L"\\\\?\\usb#one", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(LinkedWin32, DeviceChangeRegistrationsWaitLocallyAndTakeFromTheMachine) {
    std::atomic<int> registrationFd{-1};
    const std::wstring path = L"\\\\?\\usb#arrived";
    machine_.On(Op::RegisterDeviceNotification, [&](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        const auto filter = r.Bytes();
        EXPECT_EQ(filter.size(), sizeof(DEV_BROADCAST_DEVICEINTERFACE_W));
        EXPECT_EQ(r.U64(), 0x1234u);
        r.U32();
        const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        registrationFd = dup(fd);
        WireWriter w;
        w.U32(0).U64(0x5000);
        f.Reply(m, w, {fd});
        close(fd);
    });
    machine_.On(Op::TakeDeviceChange, [&](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        EXPECT_EQ(r.U64(), 0x5000u);
        const uint32_t size = r.U32();
        const size_t bytes =
            offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * 2;
        WireWriter w;
        if (size < bytes) {
            w.U32(ERROR_INSUFFICIENT_BUFFER).U64(0).U64(0).U32(static_cast<uint32_t>(bytes));
            w.Bytes(nullptr, 0);
        } else {
            std::vector<uint8_t> record(bytes);
            auto* rec = reinterpret_cast<PDEV_BROADCAST_DEVICEINTERFACE_W>(record.data());
            rec->dbcc_size = static_cast<DWORD>(bytes);
            rec->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            w.U32(0).U64(0x1234).U64(DBT_DEVICEARRIVAL).U32(static_cast<uint32_t>(bytes));
            w.Bytes(record.data(), record.size());
        }
        f.Reply(m, w);
    });
    machine_.On(Op::UnregisterDeviceNotification, [](FakeMachine& f, const Message& m) {
        WireWriter w;
        w.U32(0);
        f.Reply(m, w);
    });
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kClass;
    HANDLE recipient = reinterpret_cast<HANDLE>(0x1234);
    HDEVNOTIFY n = RegisterDeviceNotificationW(recipient, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(n, nullptr);
    HANDLE event = BenchDeviceChangeEvent(n);
    ASSERT_NE(event, nullptr);
    EXPECT_NE(ValueOf(event) & kLocalHandleBit, 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    const uint64_t one = 1;
    ASSERT_EQ(write(registrationFd.load(), &one, 8), 8);  // the machine queued a change
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_FALSE(CloseHandle(event));  // the registration's own
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    WPARAM wParam = 0;
    HANDLE who = nullptr;
    DWORD required = 0;
    DEV_BROADCAST_HDR small{};
    EXPECT_FALSE(BenchTakeDeviceChange(n, &who, &wParam, &small, sizeof small, &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(required, sizeof small);
    std::vector<uint8_t> storage(required);
    ASSERT_TRUE(BenchTakeDeviceChange(n, &who, &wParam,
                                      reinterpret_cast<PDEV_BROADCAST_HDR>(storage.data()),
                                      required, &required));
    EXPECT_EQ(wParam, DBT_DEVICEARRIVAL);
    EXPECT_EQ(who, recipient);
    EXPECT_EQ(reinterpret_cast<PDEV_BROADCAST_HDR>(storage.data())->dbch_devicetype,
              DBT_DEVTYP_DEVICEINTERFACE);

    EXPECT_TRUE(UnregisterDeviceNotification(n));
    EXPECT_EQ(BenchDeviceChangeEvent(n), nullptr);
    EXPECT_FALSE(UnregisterDeviceNotification(n));
    close(registrationFd.load());
}

}  // namespace
}  // namespace q407::remote
