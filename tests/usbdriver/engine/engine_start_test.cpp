// Start-up and teardown of the engine on the virtual device: the status record, the carved shared
// block, the stored settings and their checks, the configuration failures, the pool left behind.
#include <cstring>
#include <vector>

#include "engine_fixture.h"

namespace q407::test {
namespace {

std::vector<uint8_t> Bytes(const MixerSettings& s) {
    std::vector<uint8_t> v(sizeof(s));
    std::memcpy(v.data(), &s, sizeof(s));
    return v;
}

TEST_F(EngineTest, InitDevicePublishesTheStatusRecordAndStreams) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const EngineStatus& s = Status();
    EXPECT_EQ(s.latency, 256u);
    EXPECT_EQ(s.sampleRate, 44100u);
    EXPECT_EQ(s.usbBufferCount, 4u);
    EXPECT_EQ(s.lastInputHalf, 0u);
    EXPECT_EQ(s.errorCounter, 0u);
    EXPECT_EQ(s.initialised, 0u);
    // Clients map the record: no kernel address may reach them, at 0x30 or anywhere else.
    uint64_t at30 = ~0ull;
    std::memcpy(&at30, reinterpret_cast<const UCHAR*>(&s) + 0x30, sizeof(at30));
    EXPECT_EQ(at30, 0u);
    const uint64_t self = reinterpret_cast<uint64_t>(&s);
    for (size_t offset = 0; offset + sizeof(uint32_t) <= sizeof(s); offset += sizeof(uint32_t)) {
        uint32_t word = 0;
        std::memcpy(&word, reinterpret_cast<const UCHAR*>(&s) + offset, sizeof(word));
        EXPECT_NE(word, uint32_t(self)) << offset;
    }

    StreamEngine& e = Engine();
    EXPECT_TRUE(e.IsStreaming());
    EXPECT_EQ(e.m_OutputChannels, 8);
    EXPECT_EQ(e.m_InputChannels, 16);
    // The shared block as carved: the status record at its end, buffers and halves in order.
    const PUCHAR block = e.m_SharedBlock;
    EXPECT_EQ(reinterpret_cast<const UCHAR*>(&s), block + 0xA8000);
    EXPECT_EQ(e.m_PlaybackBuffers[4], block + 4 * 0x8000);
    EXPECT_EQ(e.m_CaptureBuffers[0], block + 0x28000);
    EXPECT_EQ(e.m_CaptureBuffers[4], block + 0x28000 + 4 * 0x10000);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(e.m_OutputStaging[0]), block + 0x78000);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(e.m_OutputStaging[1]), block + 0x80000);
    EXPECT_EQ(e.m_StagingDescriptors[1][3].address,
              reinterpret_cast<uint64_t>(e.m_OutputStaging[1] + 3));
    EXPECT_EQ(e.m_StagingDescriptors[1][3].stride, 8u);

    // The device clock runs at the settings' rate with the internal clock's control byte.
    EXPECT_EQ(Device().ClockRate(), 44100u);
    EXPECT_EQ(Device().ControlByte(), 0xB2);
    EXPECT_EQ(Device().AlternateSetting(0), 1);
    // Device information refreshed into the settings.
    const auto info = Device().InfoBytes();
    EXPECT_EQ(0, std::memcmp(e.m_Settings.deviceInfo, info.data(), 3));
}

TEST_F(EngineTest, GetLatencyAndRateBeforeTheStatusRecordExists) {
    StreamEngine* e = AllocateStreamEngine(rig_->FunctionalDevice(), rig_->LowerDevice(), nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->GetLatency(), 128);
    EXPECT_EQ(e->GetSampleRate(12345), 12345u);
    EXPECT_EQ(e->SetUsbBufferCount(3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e->SetSampleRate(48000), STATUS_UNSUCCESSFUL);
    FreeStreamEngine(e);
}

TEST_F(EngineTest, StoredSettingsAreTakenAndRangeChecked) {
    MixerSettings stored = DefaultMixerSettings();
    stored.sampleRate = 32000;
    stored.latency = 2000;
    stored.usbBufferCount = 7;
    stored.autoClock = 0;
    stored.outputMap.entries[2] = 9;
    stored.outputMap.entries[5] = -3;
    stored.outputMap.entries[6] = 1;
    RouteRecord& r = stored.routeTable.records[RouteRecordIndex(ClientKind::ASIO, 5)];
    r.targetKind = 7;
    r.targetChannel = 40;
    r.targetSide = 1;
    r.inputSource = 12;  // never taken from storage
    RouteRecord& input = stored.routeTable.records[RouteRecordIndex(ClientKind::INPUT, 3)];
    input.routeOut = 1;
    input.targetKind = 2;
    input.targetChannel = 9;
    rig_->StoreSettingsValue(&stored, sizeof(stored));

    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const MixerSettings& s = Engine().m_Settings;
    EXPECT_EQ(s.sampleRate, 44100);
    EXPECT_EQ(s.latency, 1024);
    EXPECT_EQ(s.usbBufferCount, 4);
    EXPECT_EQ(Status().latency, 1024u);
    EXPECT_EQ(Status().sampleRate, 44100u);
    EXPECT_EQ(Status().usbBufferCount, 4u);
    EXPECT_EQ(s.outputMap.entries[2], 2);
    EXPECT_EQ(s.outputMap.entries[5], 5);
    EXPECT_EQ(s.outputMap.entries[6], 1);
    const RouteRecord& checked = s.routeTable.records[RouteRecordIndex(ClientKind::ASIO, 5)];
    EXPECT_EQ(checked.targetKind, 0);
    EXPECT_EQ(checked.targetChannel, 5);
    EXPECT_EQ(checked.targetSide, 1);
    EXPECT_EQ(checked.inputSource, -1);
    EXPECT_EQ(s.routeTable.records[RouteRecordIndex(ClientKind::ASIO, 9)].inputSource, 3);
}

TEST_F(EngineTest, ValidStoredSettingsAreKeptAndDriveTheDevice) {
    MixerSettings stored = DefaultMixerSettings();
    stored.sampleRate = 96000;
    stored.latency = 64;
    stored.usbBufferCount = 2;
    rig_->StoreSettingsValue(&stored, sizeof(stored));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Status().sampleRate, 96000u);
    EXPECT_EQ(Status().latency, 64u);
    EXPECT_EQ(Status().usbBufferCount, 2u);
    EXPECT_EQ(Device().ClockRate(), 96000u);
    EXPECT_EQ(Engine().m_PlaybackGroup->transferCount, 2u);
    EXPECT_EQ(Engine().m_PlaybackGroup->transfers[0]->length, 2u * 964u);
}

TEST_F(EngineTest, OversizedStoredSettingsAreRefusedAndDefaultsStand) {
    std::vector<uint8_t> stored(2000, 0x11);
    rig_->StoreSettingsValue(stored.data(), stored.size());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    MixerSettings expected = DefaultMixerSettings();
    std::memcpy(expected.deviceInfo, Engine().m_Settings.deviceInfo, 3);
    for (RouteRecord& r : expected.routeTable.records) r.inputSource = -1;
    EXPECT_EQ(Bytes(Engine().m_Settings), Bytes(expected));
}

TEST_F(EngineTest, ReleaseSavesTheSettingsUnderTheirValueName) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Engine().m_Settings.unused24 = 77;  // a field nothing else touches
    const std::vector<uint8_t> expected = Bytes(Engine().m_Settings);
    rig_->Release();
    const auto stored = rig_->StoredSettingsValue();
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, expected);
}

TEST_F(EngineTest, ShortConfigurationDescriptorFailsInitialisation) {
    sim::DescriptorFault fault;
    fault.type = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    fault.totalLength = 8;
    Device().AddDescriptorFault(fault);
    EXPECT_EQ(Start(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_FALSE(Engine().IsStreaming());
    // A failed start must not overwrite what the user stored.
    rig_->Release();
    EXPECT_FALSE(rig_->StoredSettingsValue().has_value());
}

TEST_F(EngineTest, DescriptorRequestsAreRetriedTwice) {
    sim::DescriptorFault fault;
    fault.type = USB_DEVICE_DESCRIPTOR_TYPE;
    fault.maxLength = 8;
    fault.count = 2;
    Device().AddDescriptorFault(fault);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Engine().m_DeviceDescriptor.bLength, 18);
}

TEST_F(EngineTest, PersistentDescriptorFailureEndsInitialisation) {
    sim::DescriptorFault fault;
    fault.type = USB_DEVICE_DESCRIPTOR_TYPE;
    fault.maxLength = 8;
    fault.count = 3;
    Device().AddDescriptorFault(fault);
    EXPECT_EQ(Start(), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(EngineTest, ReleaseLeavesNoEnginePoolAndDeconfigures) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    EXPECT_GT(sim::Pool::Usage(kTagPipes).allocations, 0u);
    rig_->Release();
    EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, 0u);
    EXPECT_EQ(sim::Pool::Usage(kTagEngine).allocations, 0u);
    EXPECT_EQ(Device().Configuration(), 0);
}

}  // namespace
}  // namespace q407::test
