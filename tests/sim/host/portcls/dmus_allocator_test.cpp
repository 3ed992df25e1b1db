// The DirectMusic port's allocator, master clock and capture sink: events and data buffers come
// from fixed pools and go back with their chains; misuse stops the machine.
#include "sim/host/portcls/dmus_allocator.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "sim/host/portcls/dmus_capture_sink.h"
#include "sim/host/portcls/dmus_master_clock.h"
#include "sim/host/portcls/port_pool_tags.h"

using namespace q407::sim;
using namespace q407::sim::portcls;

namespace {

DmusAllocator* NewAllocator(ULONG events, ULONG buffers) {
    DmusAllocator* allocator = nullptr;
    EXPECT_EQ(DmusAllocator::Create(events, buffers, &allocator), STATUS_SUCCESS);
    return allocator;
}

}  // namespace

TEST(DmusAllocator, RunsOutOfEventsAndGetsThemBackWithTheirChain) {
    Machine machine;
    DmusAllocator* allocator = NewAllocator(4, 1);
    std::vector<PDMUS_KERNEL_EVENT> taken;
    for (int i = 0; i < 4; ++i) {
        PDMUS_KERNEL_EVENT event = nullptr;
        ASSERT_EQ(allocator->GetMessage(&event), STATUS_SUCCESS);
        EXPECT_EQ(event->cbStruct, sizeof(DMUS_KERNEL_EVENT));
        EXPECT_EQ(event->pNextEvt, nullptr) << "a fresh event carries no stale chain";
        taken.push_back(event);
    }
    PDMUS_KERNEL_EVENT none = reinterpret_cast<PDMUS_KERNEL_EVENT>(1);
    EXPECT_EQ(allocator->GetMessage(&none), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(allocator->FailedRequests(), 1u);
    EXPECT_EQ(allocator->EventsOut(), 4u);

    // A long event's buffer goes back with it.
    PBYTE buffer = nullptr;
    ASSERT_EQ(allocator->GetBuffer(&buffer), STATUS_SUCCESS);
    PBYTE second = nullptr;
    EXPECT_EQ(allocator->GetBuffer(&second), STATUS_INSUFFICIENT_RESOURCES);
    taken[1]->cbEvent = 12;
    taken[1]->uData.pbData = buffer;
    for (size_t i = 0; i + 1 < taken.size(); ++i) taken[i]->pNextEvt = taken[i + 1];
    EXPECT_EQ(allocator->PutMessage(taken[0]), STATUS_SUCCESS);
    EXPECT_EQ(allocator->EventsOut(), 0u);
    EXPECT_EQ(allocator->BuffersOut(), 0u);
    allocator->Release();
    EXPECT_EQ(Pool::Usage(kDmusPoolTag).allocations, 0u);
}

TEST(DmusAllocator, APackageGivesBackTheEventsItCarries) {
    Machine machine;
    DmusAllocator* allocator = NewAllocator(8, 2);
    PDMUS_KERNEL_EVENT package = nullptr;
    PDMUS_KERNEL_EVENT inner1 = nullptr;
    PDMUS_KERNEL_EVENT inner2 = nullptr;
    ASSERT_EQ(allocator->GetMessage(&package), STATUS_SUCCESS);
    ASSERT_EQ(allocator->GetMessage(&inner1), STATUS_SUCCESS);
    ASSERT_EQ(allocator->GetMessage(&inner2), STATUS_SUCCESS);
    ASSERT_EQ(allocator->GetBuffer(&inner2->uData.pbData), STATUS_SUCCESS);
    inner2->cbEvent = 20;
    inner1->pNextEvt = inner2;
    package->cbEvent = sizeof(DMUS_KERNEL_EVENT) * 2;
    package->usFlags = DMUS_KEF_PACKAGE_EVENT;
    package->uData.pPackageEvt = inner1;
    EXPECT_EQ(allocator->EventsOut(), 3u);
    allocator->PutMessage(package);
    EXPECT_EQ(allocator->EventsOut(), 0u);
    EXPECT_EQ(allocator->BuffersOut(), 0u);
    allocator->Release();
}

TEST(DmusMasterClock, TellsTheMachinesTimeIn100NanosecondUnits) {
    Machine machine;
    DmusMasterClock* clock = nullptr;
    ASSERT_EQ(DmusMasterClock::Create(&clock), STATUS_SUCCESS);
    REFERENCE_TIME before = 0;
    REFERENCE_TIME after = 0;
    ASSERT_EQ(clock->GetTime(&before), STATUS_SUCCESS);
    machine.RunFor(3 * kTicksPerMillisecond);
    ASSERT_EQ(clock->GetTime(&after), STATUS_SUCCESS);
    EXPECT_EQ(after - before, 30'000);
    EXPECT_EQ(after, machine.Now());
    clock->Release();
}

TEST(DmusCaptureSink, CollectsInlineAndPointerDataInOrderAndGivesTheEventsBack) {
    Machine machine;
    DmusAllocator* allocator = NewAllocator(8, 2);
    DmusCaptureSink* sink = nullptr;
    ASSERT_EQ(DmusCaptureSink::Create(allocator, &sink), STATUS_SUCCESS);

    PDMUS_KERNEL_EVENT shortEvent = nullptr;
    PDMUS_KERNEL_EVENT longEvent = nullptr;
    ASSERT_EQ(allocator->GetMessage(&shortEvent), STATUS_SUCCESS);
    ASSERT_EQ(allocator->GetMessage(&longEvent), STATUS_SUCCESS);
    const uint8_t noteOn[] = {0x90, 0x40, 0x7F};
    shortEvent->cbEvent = sizeof(noteOn);
    RtlCopyMemory(shortEvent->uData.abData, noteOn, sizeof(noteOn));
    shortEvent->ullPresTime100ns = 111;
    std::vector<uint8_t> sysex = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0x02,
                                  0x03, 0x04, 0x05, 0x06, 0x07, 0xF7};
    ASSERT_EQ(allocator->GetBuffer(&longEvent->uData.pbData), STATUS_SUCCESS);
    RtlCopyMemory(longEvent->uData.pbData, sysex.data(), sysex.size());
    longEvent->cbEvent = static_cast<USHORT>(sysex.size());
    longEvent->ullPresTime100ns = 222;
    shortEvent->pNextEvt = longEvent;

    EXPECT_EQ(sink->PutMessage(shortEvent), STATUS_SUCCESS);
    EXPECT_EQ(allocator->EventsOut(), 0u) << "the sink gives every event back";
    EXPECT_EQ(allocator->BuffersOut(), 0u);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(sink->Take(&bytes), 15u);
    std::vector<uint8_t> expected(noteOn, noteOn + 3);
    expected.insert(expected.end(), sysex.begin(), sysex.end());
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(sink->Events(), 2u);
    EXPECT_EQ(sink->LastPresentationTime(), 222);
    EXPECT_EQ(sink->Take(&bytes), 0u) << "taken bytes are not delivered twice";
    sink->Release();
    allocator->Release();
    EXPECT_EQ(Pool::Usage(kDmusPoolTag).allocations, 0u);
}

class DmusAllocatorVerifier : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DmusAllocatorVerifier, AnEventGivenBackTwiceOrFromElsewhereStops) {
    EXPECT_DEATH(
        {
            Machine m;
            DmusAllocator* allocator = NewAllocator(2, 1);
            PDMUS_KERNEL_EVENT event = nullptr;
            allocator->GetMessage(&event);
            allocator->PutMessage(event);
            allocator->PutMessage(event);
        },
        "VERIFIER: IAllocatorMXF::PutMessage: event 0 given back twice");
    EXPECT_DEATH(
        {
            Machine m;
            DmusAllocator* allocator = NewAllocator(2, 1);
            DMUS_KERNEL_EVENT stranger{};
            allocator->PutMessage(&stranger);
        },
        "VERIFIER: IAllocatorMXF::PutMessage: event is not one of this allocator's");
}

TEST_F(DmusAllocatorVerifier, DestroyingItWithEventsStillOutStops) {
    EXPECT_DEATH(
        {
            Machine m;
            DmusAllocator* allocator = NewAllocator(2, 1);
            PDMUS_KERNEL_EVENT event = nullptr;
            allocator->GetMessage(&event);
            allocator->Release();
        },
        "VERIFIER: IAllocatorMXF::Release: allocator destroyed with 1 events");
}
