// A process whose client lives in another Linux process: client addresses in requests go through
// its address space, mappings of pool are made by the client and recorded with its address, and
// direct I/O is refused.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/client_address_space.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/memory_views.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "tests/sim/host/test_driver.h"

using namespace q407::sim;
using namespace q407::test;

namespace {

const GUID kClass{0x21111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x66}};
const ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kOutDirectCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

// The client's memory: one block at an address that means nothing in this process. Mappings are
// real mappings of the arena, as the client makes them.
class FakeClientSpace : public ClientAddressSpace {
  public:
    static constexpr uintptr_t kBase = 0x5500'0000'0000;
    std::vector<uint8_t> memory = std::vector<uint8_t>(64 * 1024);
    int reads = 0, writes = 0;
    bool failMap = false;
    uintptr_t fixedAddress = 0;  // non-zero: Map answers it and maps nothing
    struct Mapping {
        uintptr_t address;
        size_t arenaOffset, length;
    };
    std::vector<Mapping> mapped, unmapped;

    bool Read(void* destination, uintptr_t clientAddress, size_t length) override {
        ++reads;
        if (!Inside(clientAddress, length)) return false;
        memcpy(destination, memory.data() + (clientAddress - kBase), length);
        return true;
    }
    bool Write(uintptr_t clientAddress, const void* source, size_t length) override {
        ++writes;
        if (!Inside(clientAddress, length)) return false;
        memcpy(memory.data() + (clientAddress - kBase), source, length);
        return true;
    }
    uintptr_t Map(size_t arenaOffset, size_t length) override {
        if (failMap) return 0;
        if (fixedAddress != 0) {
            mapped.push_back({fixedAddress, arenaOffset, length});
            return fixedAddress;
        }
        void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, Pool::ArenaFd(),
                       static_cast<off_t>(arenaOffset));
        if (p == MAP_FAILED) return 0;
        mapped.push_back({reinterpret_cast<uintptr_t>(p), arenaOffset, length});
        return reinterpret_cast<uintptr_t>(p);
    }
    void Unmap(uintptr_t clientAddress, size_t length) override {
        unmapped.push_back({clientAddress, 0, length});
        if (fixedAddress == 0) munmap(reinterpret_cast<void*>(clientAddress), length);
    }
    bool Inside(uintptr_t address, size_t length) const {
        return address >= kBase && length <= memory.size() &&
               address - kBase <= memory.size() - length;
    }
    void* At(size_t offset) const { return reinterpret_cast<void*>(kBase + offset); }
};

// The request names a second client buffer, as some requests embed a pointer to more data.
struct EmbeddedRequest {
    uint64_t address;
    uint32_t length;
    uint32_t reserved;
};

// Reads the embedded buffer and replies with its bytes.
NTSTATUS ReadEmbedded(PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(EmbeddedRequest))
        return STATUS_INVALID_PARAMETER;
    EmbeddedRequest request;
    memcpy(&request, irp->AssociatedIrp.SystemBuffer, sizeof request);
    if (request.length > stack->Parameters.DeviceIoControl.OutputBufferLength ||
        request.length > 256)
        return STATUS_INVALID_PARAMETER;
    UCHAR data[256];
    const NTSTATUS status = ProbeAndReadUserBuffer(
        data, reinterpret_cast<const void*>(static_cast<uintptr_t>(request.address)),
        request.length);
    if (!NT_SUCCESS(status)) return status;
    memcpy(irp->AssociatedIrp.SystemBuffer, data, request.length);
    *information = request.length;
    return STATUS_SUCCESS;
}

class RemoteClient : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = LoadTestDriver();
        device = CreateTestDevice(driver, TestDevice::Role::Bottom, "D", &log);
        device->control = ReadEmbedded;
        ASSERT_EQ(IoRegisterDeviceInterface(device->self, &kClass, nullptr, &link), STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        clientLink = L"\\\\?\\" + std::wstring(link.Buffer + 4, link.Length / sizeof(WCHAR) - 4);
        AttachClientAddressSpace(*client, space);
    }
    void TearDown() override {
        client.reset();
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
        DeleteTestDevice(device);
        UnloadDriver(L"TestDrv");
        EXPECT_EQ(LiveIrpCount(), 0u);
        EXPECT_EQ(Pool::LeakReport(), "");
    }
    Machine machine;
    std::vector<std::string> log;
    PDRIVER_OBJECT driver = nullptr;
    TestDevice* device = nullptr;
    UNICODE_STRING link{};
    std::wstring clientLink;
    std::shared_ptr<FakeClientSpace> space = std::make_shared<FakeClientSpace>();
    std::unique_ptr<Process> client = std::make_unique<Process>("remote");
};

}  // namespace

TEST_F(RemoteClient, BufferedRequestsAndEmbeddedPointersGoThroughTheClientsMemory) {
    HANDLE h;
    ASSERT_EQ(client->OpenDevice(clientLink, &h), STATUS_SUCCESS);
    for (size_t i = 0; i < 64; ++i) space->memory[0x2000 + i] = static_cast<uint8_t>(0xC0 + i);
    const EmbeddedRequest request{FakeClientSpace::kBase + 0x2000, 64, 0};
    memcpy(space->memory.data() + 0x1000, &request, sizeof request);
    ULONG returned = 0;
    EXPECT_EQ(client->DeviceIoControl(h, kBufferedCode, space->At(0x1000), sizeof request,
                                      space->At(0x3000), 128, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(space->memory[0x3000], 0xC0);
    EXPECT_EQ(space->memory[0x3000 + 63], 0xC0 + 63);
    EXPECT_EQ(space->memory[0x3000 + 64], 0);  // only what the driver returned is written back
    EXPECT_EQ(space->reads, 2);                // the request, then the embedded buffer
    EXPECT_EQ(space->writes, 1);

    // An embedded pointer the client cannot read fails the request, and nothing is written back.
    const EmbeddedRequest bad{FakeClientSpace::kBase + 0x100000, 16, 0};
    memcpy(space->memory.data() + 0x1000, &bad, sizeof bad);
    memset(space->memory.data() + 0x3000, 0xEE, 128);
    EXPECT_EQ(client->DeviceIoControl(h, kBufferedCode, space->At(0x1000), sizeof bad,
                                      space->At(0x3000), 128, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(space->memory[0x3000], 0xEE);
    EXPECT_EQ(space->writes, 1);

    // Kernel pool is never client memory, whatever the client's space would say.
    void* pool = ExAllocatePoolWithTag(NonPagedPoolNx, 64, POOL_TAG("Test"));
    const EmbeddedRequest kernel{reinterpret_cast<uintptr_t>(pool), 16, 0};
    memcpy(space->memory.data() + 0x1000, &kernel, sizeof kernel);
    const int readsBefore = space->reads;
    EXPECT_EQ(client->DeviceIoControl(h, kBufferedCode, space->At(0x1000), sizeof kernel,
                                      space->At(0x3000), 128, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(space->reads, readsBefore + 1);  // the request only
    ExFreePool(pool);

    // An unreadable input buffer fails before the driver sees the request; so do addresses that
    // wrap or lie beyond user space.
    const int controls = device->controls;
    EXPECT_EQ(client->DeviceIoControl(h, kBufferedCode, space->At(0x200000), 16, space->At(0x3000),
                                      16, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(client->DeviceIoControl(h, kBufferedCode, reinterpret_cast<void*>(~uintptr_t(0) - 8),
                                      16, space->At(0x3000), 16, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(device->controls, controls);

    // Direct I/O has no pages to lock in another Linux process.
    EXPECT_EQ(client->DeviceIoControl(h, kOutDirectCode, space->At(0x1000), sizeof request,
                                      space->At(0x3000), 128, &returned),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device->controls, controls);
    EXPECT_EQ(client->Close(h), STATUS_SUCCESS);
}

TEST_F(RemoteClient, MappingsAreMadeByTheClientAndGoWithTheProcess) {
    constexpr ULONG tag = POOL_TAG("Zel2");
    auto* kernel = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 3 * PAGE_SIZE, tag));
    ASSERT_NE(kernel, nullptr);
    UCHAR* record = kernel + PAGE_SIZE + 100;  // not page aligned, spans two pages
    PMDL mdl = IoAllocateMdl(record, PAGE_SIZE, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    UCHAR* first;
    UCHAR* second;
    {
        Process::Scope scope(*client);
        first = static_cast<UCHAR*>(MmMapLockedPages(mdl, UserMode));
        second = static_cast<UCHAR*>(MmMapLockedPages(mdl, UserMode));
    }
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(space->mapped.size(), 2u);
    EXPECT_EQ(first, reinterpret_cast<UCHAR*>(space->mapped[0].address) + 100);
    EXPECT_EQ(space->mapped[0].length, 2 * PAGE_SIZE);
    EXPECT_EQ(space->mapped[0].arenaOffset % PAGE_SIZE, 0u);
    // The client's mapping shows the driver's bytes.
    record[0] = 0x5A;
    record[PAGE_SIZE - 1] = 0xA5;
    EXPECT_EQ(first[0], 0x5A);
    EXPECT_EQ(first[PAGE_SIZE - 1], 0xA5);
    EXPECT_EQ(client->ViewCount(), 2u);
    std::string what;
    EXPECT_TRUE(FindViewOfRange(record, 1, &what));

    {
        Process::Scope scope(*client);
        MmUnmapLockedPages(first, mdl);
    }
    ASSERT_EQ(space->unmapped.size(), 1u);
    EXPECT_EQ(space->unmapped[0].address, space->mapped[0].address);
    EXPECT_EQ(space->unmapped[0].length, 2 * PAGE_SIZE);
    EXPECT_EQ(client->ViewCount(), 1u);

    // The client refusing to map is a failed mapping, not a view.
    space->failMap = true;
    {
        Process::Scope scope(*client);
        EXPECT_EQ(MmMapLockedPages(mdl, UserMode), nullptr);
    }
    EXPECT_EQ(client->ViewCount(), 1u);

    client->End();
    ASSERT_EQ(space->unmapped.size(), 2u);
    EXPECT_EQ(space->unmapped[1].address, space->mapped[1].address);
    EXPECT_EQ(client->ViewCount(), 0u);
    EXPECT_FALSE(FindViewOfRange(record, 1, &what));
    {
        Process::Scope scope(*client);
        MmUnmapLockedPages(second, mdl);  // a late unmap of a vanished view is harmless
    }
    EXPECT_EQ(space->unmapped.size(), 2u);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(kernel, tag);
}

TEST_F(RemoteClient, AClientAddressEqualToALocalViewIsTheClientsOwn) {
    // Two address spaces may hand out the same numbers: a local process's view at an address
    // neither hides the remote client's memory nor is unmapped by the remote client.
    auto* kernel =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, POOL_TAG("Zel2")));
    PMDL mdl = IoAllocateMdl(kernel, PAGE_SIZE, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    Process local("local");
    UCHAR* localView;
    {
        Process::Scope scope(local);
        localView = static_cast<UCHAR*>(MmMapLockedPages(mdl, UserMode));
    }
    ASSERT_NE(localView, nullptr);
    space->fixedAddress = reinterpret_cast<uintptr_t>(localView);
    UCHAR* remoteView;
    {
        Process::Scope scope(*client);
        remoteView = static_cast<UCHAR*>(MmMapLockedPages(mdl, UserMode));
        ASSERT_EQ(remoteView, localView);
        MmUnmapLockedPages(remoteView, mdl);
    }
    EXPECT_EQ(local.ViewCount(), 1u);
    EXPECT_EQ(client->ViewCount(), 0u);
    EXPECT_EQ(space->unmapped.size(), 1u);
    localView[0] = 1;  // still mapped here
    EXPECT_EQ(kernel[0], 1);
    {
        Process::Scope scope(local);
        MmUnmapLockedPages(localView, mdl);
    }
    IoFreeMdl(mdl);
    ExFreePool(kernel);
}
