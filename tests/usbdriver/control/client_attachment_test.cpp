// Status mappings, shared buffers and event slots, seen from client processes: real second
// mappings of the same pool pages, translation of client addresses, and the release of what a
// client was given when it asks, when it closes its handle, and when its process ends.
#include <cstring>

#include "control_fixture.h"

namespace q407::testing {
namespace {

class ClientAttachmentTest : public ControlFixture {
  protected:
    Reply Send(sim::Process& process, HANDLE device, ControlMessage&& m) {
        return ControlFixture::Send(process, device, &m);
    }

    // Maps the status block for the ASIO slot (2.14) or the panel slot (3.3).
    static ControlMessage MapMessage(bool asio, uint32_t flag) {
        ControlMessage m = asio ? MakeControlMessage(AsioStreamingType::MapStatusForAsio)
                                : MakeControlMessage(SettingsAndPanelType::MapStatusForPanel);
        SetU32(m, cm::kMapFlag, flag);
        return m;
    }

    static ControlMessage AllocMessage(uint32_t size, uint64_t key, uint64_t* variable) {
        ControlMessage m = MakeControlMessage(AsioStreamingType::AllocSharedBuffer);
        SetU32(m, cm::kSharedBufferSize, size);
        SetU64(m, cm::kSharedBufferKey, key);
        SetU64(m, cm::kSharedBufferVariable, reinterpret_cast<uint64_t>(variable));
        return m;
    }

    static ControlMessage BufferMessage(uint32_t direction, uint32_t channel, uint32_t half,
                                        uint64_t address, uint64_t key) {
        ControlMessage m = MakeControlMessage(AsioStreamingType::SetAsioChannelBuffer);
        SetU32(m, cm::kDirection, direction);
        SetU32(m, cm::kChannel, channel);
        SetU32(m, cm::kHalf, half);
        SetU64(m, cm::kBufferAddress, address);
        SetU32(m, cm::kStride, 1);
        SetU64(m, cm::kSharedBufferKey, key);
        return m;
    }

    uint64_t AsioBuffer(int direction, int channel, int half) const {
        return Engine().m_ClientBuffers[2][direction][channel][half].address;
    }
};

TEST_F(ClientAttachmentTest, PanelAndAsioSeeTheSameStatusBytesAtDifferentAddresses) {
    sim::Process panel("panel");
    sim::Process asio("asio");
    HANDLE panelDevice = Open(panel);
    HANDLE asioDevice = Open(asio);

    ControlMessage mp = MapMessage(false, 1);
    ASSERT_EQ(ControlFixture::Send(panel, panelDevice, &mp).status, STATUS_SUCCESS);
    ControlMessage ma = MapMessage(true, 1);
    ASSERT_EQ(ControlFixture::Send(asio, asioDevice, &ma).status, STATUS_SUCCESS);
    auto* panelView = reinterpret_cast<EngineStatus*>(GetU64(mp, cm::kStatusAddress));
    auto* asioView = reinterpret_cast<EngineStatus*>(GetU64(ma, cm::kStatusAddress));
    ASSERT_NE(panelView, nullptr);
    ASSERT_NE(asioView, nullptr);
    EXPECT_NE(panelView, asioView);
    EXPECT_NE(panelView, Facade()->statusBlock);
    EXPECT_NE(GetU64(mp, cm::kMappingKey), GetU64(ma, cm::kMappingKey));
    EXPECT_EQ(panel.ViewCount(), 1u);
    EXPECT_EQ(asio.ViewCount(), 1u);

    EXPECT_EQ(panelView->sampleRate, 44100u);
    EXPECT_EQ(std::memcmp(panelView, asioView, sizeof(EngineStatus)), 0);
    ControlMessage rate = MakeControlMessage(AsioStreamingType::SetSampleRate);
    SetU32(rate, cm::kSampleRate, 96000);
    ASSERT_EQ(ControlFixture::Send(asio, asioDevice, &rate).status, STATUS_SUCCESS);
    EXPECT_EQ(panelView->sampleRate, 96000u);
    EXPECT_EQ(asioView->sampleRate, 96000u);

    // Unmapping releases the view; unmapping an empty slot does nothing and succeeds.
    EXPECT_EQ(Send(panel, panelDevice, MapMessage(false, 0)).status, STATUS_SUCCESS);
    EXPECT_EQ(panel.ViewCount(), 0u);
    EXPECT_EQ(Send(panel, panelDevice, MapMessage(false, 0)).status, STATUS_SUCCESS);
    // A second map request replaces the held mapping instead of leaking it.
    EXPECT_EQ(Send(asio, asioDevice, MapMessage(true, 1)).status, STATUS_SUCCESS);
    EXPECT_EQ(asio.ViewCount(), 1u);
    panel.End();
    asio.End();
    EXPECT_EQ(Facade()->asioMappingMdl, nullptr);
}

TEST_F(ClientAttachmentTest, SharedBuffersTranslateOnlyInsideTheirKeyBuffer) {
    sim::Process asio("asio");
    HANDLE device = Open(asio);
    const uint64_t key = 0xABCD0000;

    uint64_t variable = 0x55;
    EXPECT_EQ(Send(asio, device, AllocMessage(0, 0x999, &variable)).status, STATUS_SUCCESS);
    EXPECT_EQ(variable, 0x55u);  // nothing to free, nothing written
    EXPECT_EQ(Send(asio, device, AllocMessage(4096, 0, &variable)).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(variable, 0x55u);

    ASSERT_EQ(Send(asio, device, AllocMessage(0x30000, key, &variable)).status, STATUS_SUCCESS);
    ASSERT_NE(variable, 0x55u);
    EXPECT_EQ(asio.ViewCount(), 1u);
    auto* clientBuffer = reinterpret_cast<int32_t*>(variable);
    EXPECT_EQ(clientBuffer[0], 0);  // zeroed

    ASSERT_EQ(Send(asio, device, BufferMessage(1, 0, 0, variable + 16, key)).status,
              STATUS_SUCCESS);
    const uint64_t kernel = AsioBuffer(1, 0, 0);
    ASSERT_NE(kernel, 0u);
    // The kernel address reaches the same bytes as the client's.
    clientBuffer[4] = 0x12345678;
    EXPECT_EQ(*reinterpret_cast<int32_t*>(kernel), 0x12345678);

    EXPECT_EQ(Send(asio, device, BufferMessage(1, 0, 1, variable + 16, key + 1)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(AsioBuffer(1, 0, 1), 0u);  // key not registered
    // A half of 1,024 samples that would run past the buffer's end is refused.
    EXPECT_EQ(Send(asio, device, BufferMessage(0, 0, 0, variable + 0x30000 - 4096 + 4, key)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(AsioBuffer(0, 0, 0), 0u);
    EXPECT_EQ(Send(asio, device, BufferMessage(0, 0, 0, variable + 0x30000 - 4096, key)).status,
              STATUS_SUCCESS);
    EXPECT_NE(AsioBuffer(0, 0, 0), 0u);
    EXPECT_EQ(Send(asio, device, BufferMessage(0, 0, 1, variable - 4, key)).status, STATUS_SUCCESS);
    EXPECT_EQ(AsioBuffer(0, 0, 1), 0u);

    // Freeing the buffer detaches the engine from it first.
    EXPECT_EQ(Send(asio, device, AllocMessage(0, key, &variable)).status, STATUS_SUCCESS);
    EXPECT_EQ(AsioBuffer(1, 0, 0), 0u);
    EXPECT_EQ(AsioBuffer(0, 0, 0), 0u);
    EXPECT_EQ(SharedBufferCount(), 0);
    EXPECT_EQ(asio.ViewCount(), 0u);
    asio.End();
}

TEST_F(ClientAttachmentTest, ReplacingABufferWhileAsioRunsIsRefusedWithZeroWritten) {
    sim::Process asio("asio");
    HANDLE device = Open(asio);
    uint64_t variable = 0;
    ASSERT_EQ(Send(asio, device, AllocMessage(8192, 7, &variable)).status, STATUS_SUCCESS);
    ControlMessage run = MakeControlMessage(AsioStreamingType::RunAsioChannels);
    SetU32(run, cm::kChannelFlag, 1);
    SetU32(run, cm::kOutputMask, 1);
    ASSERT_EQ(Send(asio, device, std::move(run)).status, STATUS_SUCCESS);

    EXPECT_EQ(Send(asio, device, AllocMessage(8192, 7, &variable)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(variable, 0u);
    EXPECT_EQ(SharedBufferCount(), 1);

    ControlMessage stop = MakeControlMessage(AsioStreamingType::RunAsioChannels);
    SetU32(stop, cm::kOutputMask, 1);
    ASSERT_EQ(Send(asio, device, std::move(stop)).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(asio, device, AllocMessage(8192, 7, &variable)).status, STATUS_SUCCESS);
    EXPECT_NE(variable, 0u);
    EXPECT_EQ(SharedBufferCount(), 1);
    EXPECT_EQ(asio.ViewCount(), 1u);
    asio.End();
}

TEST_F(ClientAttachmentTest, FullTableAndFailedAllocationsLeaveNothingBehind) {
    sim::Process asio("asio");
    HANDLE device = Open(asio);
    uint64_t variables[kSharedBufferSlots] = {};
    for (int i = 0; i < kSharedBufferSlots; ++i)
        ASSERT_EQ(Send(asio, device, AllocMessage(4096, 100 + i, &variables[i])).status,
                  STATUS_SUCCESS);
    uint64_t extra = 0x77;
    EXPECT_EQ(Send(asio, device, AllocMessage(4096, 200, &extra)).status, STATUS_SUCCESS);
    EXPECT_EQ(extra, 0u);  // not allocated: it could never be found or freed
    EXPECT_EQ(asio.ViewCount(), static_cast<size_t>(kSharedBufferSlots));

    EXPECT_EQ(Send(asio, device, AllocMessage(0, 100, &extra)).status, STATUS_SUCCESS);
    extra = 0x77;
    sim::Pool::FailTag(POOL_TAG("Zel2"));
    EXPECT_EQ(Send(asio, device, AllocMessage(4096, 300, &extra)).status,
              STATUS_INSUFFICIENT_RESOURCES);
    sim::Pool::ClearFailures();
    EXPECT_EQ(extra, 0x77u);
    sim::Pool::FailTag(POOL_TAG("Mdl "));
    EXPECT_EQ(Send(asio, device, AllocMessage(4096, 300, &extra)).status,
              STATUS_INSUFFICIENT_RESOURCES);
    sim::Pool::ClearFailures();
    EXPECT_EQ(extra, 0x77u);
    EXPECT_EQ(SharedBufferCount(), kSharedBufferSlots - 1);
    EXPECT_EQ(Send(asio, device, AllocMessage(kMaxSharedBufferBytes + 1, 300, &extra)).status,
              STATUS_INVALID_PARAMETER);

    // Closing the handle releases every buffer it allocated.
    EXPECT_EQ(asio.Close(device), STATUS_SUCCESS);
    EXPECT_EQ(SharedBufferCount(), 0);
    EXPECT_EQ(asio.ViewCount(), 0u);
}

TEST_F(ClientAttachmentTest, EventSlotsHoldOnlyEventsAndReleaseTheirReference) {
    sim::Process panel("panel");
    HANDLE device = Open(panel);
    const ULONG eventTag = POOL_TAG("Even");
    HANDLE event = panel.CreateEvent(false, false);

    ControlMessage set = MakeControlMessage(SettingsAndPanelType::SetRemovalEvent);
    SetU64(set, cm::kRemovalEventHandle, reinterpret_cast<uint64_t>(device));
    EXPECT_EQ(ControlFixture::Send(panel, device, &set).status, STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(Facade()->eventSlots[kRemovalEventSlot], nullptr);
    SetU64(set, cm::kRemovalEventHandle, 0xDEAD0);
    EXPECT_EQ(ControlFixture::Send(panel, device, &set).status, STATUS_INVALID_HANDLE);

    SetU64(set, cm::kRemovalEventHandle, reinterpret_cast<uint64_t>(event));
    EXPECT_EQ(ControlFixture::Send(panel, device, &set).status, STATUS_SUCCESS);
    EXPECT_NE(Facade()->eventSlots[kRemovalEventSlot], nullptr);
    // The driver's reference keeps the event alive after the client closes its handle ...
    EXPECT_EQ(panel.Close(event), STATUS_SUCCESS);
    EXPECT_EQ(sim::Pool::Usage(eventTag).allocations, 1u);
    // ... until the slot is cleared.
    SetU64(set, cm::kRemovalEventHandle, 0);
    EXPECT_EQ(ControlFixture::Send(panel, device, &set).status, STATUS_SUCCESS);
    EXPECT_EQ(Facade()->eventSlots[kRemovalEventSlot], nullptr);
    EXPECT_EQ(sim::Pool::Usage(eventTag).allocations, 0u);

    // Replacing releases the old reference; ending the process releases the new one.
    HANDLE a = panel.CreateEvent(false, false);
    HANDLE b = panel.CreateEvent(false, false);
    ControlMessage asioEvent = MakeControlMessage(AsioStreamingType::SetAsioEvent);
    SetU64(asioEvent, cm::kAsioEventHandle, reinterpret_cast<uint64_t>(a));
    EXPECT_EQ(ControlFixture::Send(panel, device, &asioEvent).status, STATUS_SUCCESS);
    SetU64(asioEvent, cm::kAsioEventHandle, reinterpret_cast<uint64_t>(b));
    EXPECT_EQ(ControlFixture::Send(panel, device, &asioEvent).status, STATUS_SUCCESS);
    EXPECT_EQ(panel.Close(a), STATUS_SUCCESS);
    EXPECT_EQ(sim::Pool::Usage(eventTag).allocations, 1u);
    panel.End();
    EXPECT_EQ(Facade()->eventSlots[kAsioEventSlot], nullptr);
    EXPECT_EQ(sim::Pool::Usage(eventTag).allocations, 0u);
}

TEST_F(ClientAttachmentTest, RemovalReleasesThePanelMappingAndSignalsItsEvent) {
    sim::Process panel("panel");
    HANDLE device = Open(panel);
    HANDLE removal = panel.CreateEvent(true, false);
    ControlMessage set = MakeControlMessage(SettingsAndPanelType::SetRemovalEvent);
    SetU64(set, cm::kRemovalEventHandle, reinterpret_cast<uint64_t>(removal));
    ASSERT_EQ(ControlFixture::Send(panel, device, &set).status, STATUS_SUCCESS);
    ASSERT_EQ(Send(panel, device, MapMessage(false, 1)).status, STATUS_SUCCESS);
    ASSERT_EQ(Send(panel, device, MapMessage(true, 1)).status, STATUS_SUCCESS);
    EXPECT_EQ(panel.ViewCount(), 2u);

    // The removal runs outside the panel's process: both views go in the panel's context.
    rig_.Stop();
    EXPECT_EQ(panel.ViewCount(), 0u);
    EXPECT_EQ(panel.WaitForAny({removal}, 0), STATUS_WAIT_0);
    panel.End();
}

}  // namespace
}  // namespace q407::testing
