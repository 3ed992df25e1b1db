// Emulated processes: device handles through the I/O manager, mappings of pool into a process,
// probing client memory, and what ending a process does.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "platform/kernel/wdk.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/process.h"
#include "tests/sim/host/test_driver.h"

using namespace q407::sim;
using namespace q407::test;

namespace {

const GUID kClass{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class ClientFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = LoadTestDriver();
        device = CreateTestDevice(driver, TestDevice::Role::Bottom, "D", &log);
        ASSERT_EQ(IoRegisterDeviceInterface(device->self, &kClass, nullptr, &link), STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        // Clients spell the link with "\\?\".
        clientLink = L"\\\\?\\" + std::wstring(link.Buffer + 4, link.Length / sizeof(WCHAR) - 4);
    }
    void TearDown() override {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
        DeleteTestDevice(device);
        UnloadDriver(L"TestDrv");
    }
    Machine machine;
    std::vector<std::string> log;
    PDRIVER_OBJECT driver = nullptr;
    TestDevice* device = nullptr;
    UNICODE_STRING link{};
    std::wstring clientLink;
};

}  // namespace

TEST_F(ClientFixture, DeviceIoControlGoesThroughTheDriverWithBufferedCopies) {
    Process client("panel");
    HANDLE h;
    ASSERT_EQ(client.OpenDevice(clientLink, &h), STATUS_SUCCESS);
    EXPECT_EQ(device->creates, 1);
    UCHAR message[128];
    for (int i = 0; i < 128; ++i) message[i] = static_cast<UCHAR>(i);
    ULONG returned = 0;
    EXPECT_EQ(client.DeviceIoControl(h, kBufferedCode, message, 128, message, 128, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 128u);
    EXPECT_EQ(message[0], 1);
    EXPECT_EQ(message[127], 128);
    // A client buffer the process cannot read fails the request before the driver sees it.
    EXPECT_EQ(client.DeviceIoControl(h, kBufferedCode, reinterpret_cast<void*>(0x10), 128, message,
                                     128, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(device->controls, 1);
    EXPECT_EQ(Pool::Usage(POOL_TAG("IoSb")).allocations, 0u);  // the refused request's buffer
    EXPECT_EQ(client.Close(h), STATUS_SUCCESS);
    EXPECT_EQ(device->cleanups, 1);
    EXPECT_EQ(device->closes, 1);
    EXPECT_EQ(client.Close(h), STATUS_INVALID_HANDLE);
}

TEST_F(ClientFixture, OpeningAnUnknownOrDisabledInterfaceFails) {
    Process client;
    HANDLE h;
    EXPECT_EQ(client.OpenDevice(L"\\\\?\\nothing#here", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    IoSetDeviceInterfaceState(&link, FALSE);
    EXPECT_EQ(client.OpenDevice(clientLink, &h), STATUS_OBJECT_NAME_NOT_FOUND);
    IoSetDeviceInterfaceState(&link, TRUE);
    EXPECT_EQ(client.OpenDevice(clientLink, &h), STATUS_SUCCESS);
    EXPECT_EQ(device->creates, 1);
}

TEST_F(ClientFixture, EndingAProcessSendsCleanupAndCloseForEveryHandle) {
    auto client = std::make_unique<Process>("asio host");
    HANDLE a, b;
    ASSERT_EQ(client->OpenDevice(clientLink, &a), STATUS_SUCCESS);
    ASSERT_EQ(client->OpenDevice(clientLink + L"\\second", &b), STATUS_SUCCESS);
    HANDLE event = client->CreateEvent(true, false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(client->HandleCount(), 3u);
    log.clear();
    client->End();
    EXPECT_EQ(device->cleanups, 2);
    EXPECT_EQ(device->closes, 2);
    EXPECT_EQ(log, (std::vector<std::string>{"D:cleanup", "D:dispatch", "D:close", "D:dispatch",
                                             "D:cleanup", "D:dispatch", "D:close", "D:dispatch"}));
    EXPECT_EQ(client->HandleCount(), 0u);
    EXPECT_TRUE(client->Ended());
    client.reset();
    EXPECT_EQ(Pool::Usage(POOL_TAG("File")).allocations, 0u);
}

TEST_F(ClientFixture, EndingAProcessStopsItsThreadsUserModeWaits) {
    Process client;
    HANDLE never = client.CreateEvent(true, false);
    bool reachedEnd = false;
    HANDLE thread = client.StartThread([&] {
        client.WaitForAny({never});
        reachedEnd = true;  // not reached: the wait gives up when the process ends
    });
    ASSERT_NE(thread, nullptr);
    machine.RunUntilIdle();
    client.End();
    EXPECT_FALSE(reachedEnd);
}

TEST(ProcessEvents, ADriverReferencesAClientEventByHandleAndSignalsIt) {
    Machine m;
    Process client;
    HANDLE h = client.CreateEvent(false, false);
    PVOID object = nullptr;
    {
        Process::Scope scope(client);
        ASSERT_EQ(ObReferenceObjectByHandle(h, 0, *ExEventObjectType, UserMode, &object, nullptr),
                  STATUS_SUCCESS);
    }
    // Another process's handle table does not know the handle.
    Process other;
    {
        Process::Scope scope(other);
        PVOID none;
        EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, UserMode, &none, nullptr),
                  STATUS_INVALID_HANDLE);
    }
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(client.WaitForAny({h}, 0), STATUS_WAIT_0);
    EXPECT_EQ(client.WaitForAny({h}, 5), STATUS_TIMEOUT);  // a synchronization event resets
    EXPECT_EQ(m.Now(), 5 * kTicksPerMillisecond);
    ObDereferenceObject(object);
}

TEST(Mappings, BothMappingsSeeTheSameBytesAtDifferentAddresses) {
    Machine m;
    constexpr ULONG tag = POOL_TAG("Zel2");
    constexpr size_t size = 688224;
    auto* kernel = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, tag));
    ASSERT_NE(kernel, nullptr);
    memset(kernel, 0, size);
    UCHAR* status = kernel + 0xA8000;  // a 96-byte record inside the work area
    PMDL mdl = IoAllocateMdl(status, 96, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    Process client;
    UCHAR* user;
    {
        Process::Scope scope(client);
        user = static_cast<UCHAR*>(MmMapLockedPagesSpecifyCache(
            mdl, UserMode, MmCached, nullptr, FALSE,
            static_cast<MM_PAGE_PRIORITY>(NormalPagePriority | MdlMappingNoExecute)));
    }
    ASSERT_NE(user, nullptr);
    EXPECT_NE(user, status);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(user) % PAGE_SIZE,
              reinterpret_cast<uintptr_t>(status) % PAGE_SIZE);
    status[0] = 0xA5;
    EXPECT_EQ(user[0], 0xA5);
    user[95] = 0x5A;
    EXPECT_EQ(status[95], 0x5A);
    EXPECT_EQ(client.ViewCount(), 1u);
    {
        Process::Scope scope(client);
        // The driver writes through the probe into the client's view.
        const UCHAR value = 7;
        EXPECT_EQ(ProbeAndWriteUserBuffer(user + 10, &value, 1), STATUS_SUCCESS);
        EXPECT_EQ(status[10], 7);
        MmUnmapLockedPages(user, mdl);
    }
    EXPECT_EQ(client.ViewCount(), 0u);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(kernel, tag);
    EXPECT_EQ(Pool::LeakReport(), "");
}

TEST(Mappings, EndingTheProcessUnmapsItsViews) {
    Machine m;
    auto* kernel =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 8192, POOL_TAG("Zel2")));
    PMDL mdl = IoAllocateMdl(kernel, 8192, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    auto client = std::make_unique<Process>();
    UCHAR* user;
    {
        Process::Scope scope(*client);
        user = static_cast<UCHAR*>(MmMapLockedPages(mdl, UserMode));
    }
    ASSERT_NE(user, nullptr);
    client->End();
    EXPECT_EQ(client->ViewCount(), 0u);
    // The client's pages are gone from the address space.
    unsigned char residency;
    EXPECT_NE(mincore(user, PAGE_SIZE, &residency), 0);
    {
        Process::Scope scope(*client);
        MmUnmapLockedPages(user, mdl);  // a late unmap of a vanished view is harmless
    }
    IoFreeMdl(mdl);
    ExFreePool(kernel);
}

TEST(Probe, RefusesAddressesTheProcessCannotAccess) {
    Machine m;
    Process client;
    Process::Scope scope(client);
    char local[16] = "hello";
    char copy[16] = {};
    EXPECT_EQ(ProbeAndReadUserBuffer(copy, local, 6), STATUS_SUCCESS);
    EXPECT_STREQ(copy, "hello");
    // Inaccessible memory. The page stays reserved: once unmapped, another thread of the machine
    // could map something there before the probe looks.
    void* gone = mmap(nullptr, PAGE_SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(gone, MAP_FAILED);
    EXPECT_EQ(ProbeAndReadUserBuffer(copy, gone, 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ProbeAndWriteUserBuffer(gone, copy, 4), STATUS_ACCESS_VIOLATION);
    munmap(gone, PAGE_SIZE);
    // Null page, ranges that wrap, and read-only memory for writes.
    EXPECT_EQ(ProbeAndReadUserBuffer(copy, nullptr, 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ProbeAndReadUserBuffer(copy, reinterpret_cast<void*>(~uintptr_t(0) - 2), 8),
              STATUS_ACCESS_VIOLATION);
    void* readOnly = mmap(nullptr, PAGE_SIZE, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_EQ(ProbeAndWriteUserBuffer(readOnly, copy, 4), STATUS_ACCESS_VIOLATION);
    munmap(readOnly, PAGE_SIZE);
    // Kernel pool is not client memory, even though it is mapped in this address space.
    void* pool = ExAllocatePoolWithTag(NonPagedPoolNx, 64, POOL_TAG("Test"));
    EXPECT_EQ(ProbeAndReadUserBuffer(copy, pool, 4), STATUS_ACCESS_VIOLATION);
    ExFreePool(pool);
    EXPECT_EQ(ProbeAndReadUserBuffer(copy, local, 0), STATUS_SUCCESS);
}

TEST(Probe, AnotherProcesssViewIsNotAccessible) {
    Machine m;
    auto* kernel =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, POOL_TAG("Zel2")));
    PMDL mdl = IoAllocateMdl(kernel, PAGE_SIZE, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    Process owner, stranger;
    UCHAR* user;
    {
        Process::Scope scope(owner);
        user = static_cast<UCHAR*>(MmMapLockedPages(mdl, UserMode));
    }
    UCHAR byte;
    {
        Process::Scope scope(stranger);
        EXPECT_EQ(ProbeAndReadUserBuffer(&byte, user, 1), STATUS_ACCESS_VIOLATION);
    }
    {
        Process::Scope scope(owner);
        EXPECT_EQ(ProbeAndReadUserBuffer(&byte, user, 1), STATUS_SUCCESS);
        MmUnmapLockedPages(user, mdl);
    }
    IoFreeMdl(mdl);
    ExFreePool(kernel);
}
