// Pool accounting, the leak report and the low-resource simulation.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/kernel/wdk.h"
#include "sim/host/machine.h"

using namespace q407::sim;

TEST(Pool, TracksOutstandingAllocationsPerTagAndReportsLeaks) {
    Machine m;
    constexpr ULONG zel6 = POOL_TAG("Zel6");
    constexpr ULONG zel2 = POOL_TAG("Zel2");
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, zel6);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 688224, zel6);
    void* c = ExAllocatePoolWithTag(PagedPool, 32, zel2);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Pool::Usage(zel6).allocations, 2u);
    EXPECT_EQ(Pool::Usage(zel6).bytes, 688324u);
    EXPECT_EQ(Pool::LeakReport({zel2}), "Pool leak: tag Zel2: 1 allocation, 32 bytes\n");
    EXPECT_EQ(Pool::LeakReport(),
              "Pool leak: tag Zel2: 1 allocation, 32 bytes\n"
              "Pool leak: tag Zel6: 2 allocations, 688324 bytes\n");
    ExFreePoolWithTag(b, zel6);
    ExFreePool(c);
    EXPECT_EQ(Pool::LeakReport(), "Pool leak: tag Zel6: 1 allocation, 100 bytes\n");
    ExFreePoolWithTag(a, zel6);
    EXPECT_EQ(Pool::LeakReport(), "");
    EXPECT_TRUE(Pool::Outstanding().empty());
}

TEST(Pool, LargeAllocationsArePageAlignedAndSmallOnesDoNotOverlap) {
    Machine m;
    auto* big = static_cast<uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE + 1, POOL_TAG("Test")));
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % PAGE_SIZE, 0u);
    auto* x = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 24, POOL_TAG("Test")));
    auto* y = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 24, POOL_TAG("Test")));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(x) % 16, 0u);
    EXPECT_TRUE(x + 24 <= y || y + 24 <= x);
    memset(big, 1, PAGE_SIZE + 1);
    memset(x, 2, 24);
    memset(y, 3, 24);
    EXPECT_EQ(x[23], 2);
    EXPECT_EQ(big[PAGE_SIZE], 1);
    ExFreePoolWithTag(big, POOL_TAG("Test"));
    ExFreePoolWithTag(x, POOL_TAG("Test"));
    ExFreePoolWithTag(y, POOL_TAG("Test"));
    EXPECT_EQ(Pool::Usage(POOL_TAG("Test")).allocations, 0u);
}

TEST(Pool, LowResourceSimulationFailsTheNthAllocationOrATag) {
    Machine m;
    constexpr ULONG tag = POOL_TAG("Zel5");
    Pool::FailAllocationNumber(3);
    void* p1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
    void* p2 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
    void* p3 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
    void* p4 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
    EXPECT_NE(p1, nullptr);
    EXPECT_NE(p2, nullptr);
    EXPECT_EQ(p3, nullptr);
    EXPECT_NE(p4, nullptr);
    EXPECT_EQ(Pool::Usage(tag).allocations, 3u);

    Pool::FailTag(tag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, tag), nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, POOL_TAG("Zel9"));
    EXPECT_NE(other, nullptr);
    Pool::ClearFailures();
    void* p5 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
    EXPECT_NE(p5, nullptr);
    // System allocations count as requests too (as the verifier's simulation fails them).
    const size_t before = Pool::RequestCount();
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_EQ(Pool::RequestCount(), before + 1);
    Pool::FailAllocationNumber(1);
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    IoFreeIrp(irp);
    for (void* p : {p1, p2, p4, p5}) ExFreePoolWithTag(p, tag);
    ExFreePool(other);
    EXPECT_EQ(Pool::LeakReport(), "");
}

TEST(Pool, AFreshMachineStartsWithEmptyBooks) {
    {
        Machine m;
        ExAllocatePoolWithTag(NonPagedPoolNx, 10, POOL_TAG("Leak"));  // leaked on purpose
        Pool::FailTag(POOL_TAG("Zel6"));
        EXPECT_NE(Pool::LeakReport(), "");
    }
    Machine m;
    EXPECT_EQ(Pool::LeakReport(), "");
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 10, POOL_TAG("Zel6"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

// The no-execute pool exists from Windows 8 (6.2) on; an older reported version bug checks at the
// first request for it and still serves the plain pool.
TEST(Pool, NoExecutePoolExistsFromWindows8On) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    {
        Machine m;
        m.SetWindowsVersion(WindowsVersion{6, 2, 9200});
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, POOL_TAG("Test"));
        ASSERT_NE(p, nullptr);
        PoolRange range;
        ASSERT_TRUE(Pool::Locate(p, 16, &range));
        EXPECT_EQ(range.type, NonPagedPoolNx);
        ExFreePoolWithTag(p, POOL_TAG("Test"));
        m.SetWindowsVersion(WindowsVersion{6, 1, 7601});
        p = ExAllocatePoolWithTag(NonPagedPool, 16, POOL_TAG("Test"));
        ASSERT_NE(p, nullptr);
        ASSERT_TRUE(Pool::Locate(p, 16, &range));
        EXPECT_EQ(range.type, NonPagedPool);
        ExFreePoolWithTag(p, POOL_TAG("Test"));
    }
    EXPECT_DEATH(
        {
            Machine m;
            m.SetWindowsVersion(WindowsVersion{6, 1, 7601});
            (void)ExAllocatePoolWithTag(NonPagedPoolNx, 16, POOL_TAG("Zel6"));
        },
        "VERIFIER: ExAllocatePoolWithTag: NonPagedPoolNx does not exist on Windows 6.1 at IRQL 0 "
        "\\(tag Zel6\\)");
}
