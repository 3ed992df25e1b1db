// The control pipe as the device sees it: the synchronous request path and its refusals, the
// vendor and class requests with their values, clock modes, rates and digital options.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine_fixture.h"

namespace q407::test {
namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

class DeviceRequestTest : public EngineTest {
  protected:
    // Starts the engine and stops its streams so that requests reach the device.
    void StartIdle() {
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS);
        Device().ClearRequests();
    }
    std::vector<sim::RequestRecord> Requests(uint8_t request) {
        std::vector<sim::RequestRecord> found;
        for (const auto& r : Device().Requests())
            if (r.setup.bRequest == request && (r.setup.bmRequestType & 0x60) != 0)
                found.push_back(r);
        return found;
    }
};

TEST_F(DeviceRequestTest, UsbCallSyncRefusesWhileStreamingWithoutTouchingTheDevice) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(Engine().IsStreaming());
    Device().ClearRequests();
    UCHAR status = 0x55;
    EXPECT_EQ(Engine().ReadDeviceStatus(&status), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(status, 0x55);
    URB urb{};
    EXPECT_EQ(Engine().UsbCallSync(&urb, IOCTL_INTERNAL_USB_SUBMIT_URB, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Device().Requests().empty());
    EXPECT_EQ(sim::TraceLog::Instance().Entries().size(), 0u);
}

TEST_F(DeviceRequestTest, UsbCallSyncTracesANullUrbAndAFirmwareUpdate) {
    StartIdle();
    EXPECT_EQ(Engine().UsbCallSync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_URB, FALSE),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TraceCount("UsbCallSync pUrb not valid\n"), 1u);
    InterlockedExchange(&Engine().m_FirmwareUpdate, 1);
    UCHAR status = 0;
    EXPECT_EQ(Engine().ReadDeviceStatus(&status), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(TraceCount("UsbCallSync ERROR FIRMWARE UPDATE IS RUNNING !!!!\n"), 1u);
    EXPECT_TRUE(Device().Requests().empty());
    InterlockedExchange(&Engine().m_FirmwareUpdate, 0);
    const auto entries = sim::TraceLog::Instance().Entries();
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.component, 79u);
        EXPECT_EQ(entry.level, 0u);
    }
}

TEST_F(DeviceRequestTest, StatusAndInformationRequests) {
    StartIdle();
    UCHAR status = 0;
    ASSERT_EQ(Engine().ReadDeviceStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(status, Device().StatusByte());
    const auto reads = Requests(0x49);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].setup.bmRequestType, kVendorIn);
    EXPECT_EQ(reads[0].setup.wLength, 1);

    Device().SetInfoBytes({9, 8, 7, 6, 5, 4, 3, 2});
    UCHAR info[8] = {};
    ASSERT_EQ(Engine().ReadDeviceInfo(info, 0), STATUS_SUCCESS);
    EXPECT_EQ(info[0], 9);
    EXPECT_EQ(info[7], 2);
    EXPECT_EQ(Engine().m_Settings.deviceInfo[2], 7);

    // A failed read gives the stored copy back only when asked to.
    sim::ControlFault fault;
    fault.bRequest = 0x56;
    Device().AddControlFault(fault);
    UCHAR kept[8] = {};
    EXPECT_EQ(Engine().ReadDeviceInfo(kept, 1), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(kept[1], 8);
    UCHAR untouched[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(Engine().ReadDeviceInfo(untouched, 0), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(untouched[1], 0xAA);
}

TEST_F(DeviceRequestTest, ControlByteAndModeValues) {
    StartIdle();
    ASSERT_EQ(Engine().WriteDeviceControl(0x32), STATUS_SUCCESS);
    EXPECT_EQ(Device().ControlByte(), 0x32);
    const auto writes = Requests(0x49);
    ASSERT_EQ(writes.size(), 2u);  // the write, then a status read
    EXPECT_EQ(writes[0].setup.bmRequestType, kVendorOut);
    EXPECT_EQ(writes[0].setup.wValue, 0xFF32);
    EXPECT_EQ(writes[1].setup.bmRequestType, kVendorIn);

    Device().ClearRequests();
    EXPECT_EQ(Engine().SetDeviceMode(3), STATUS_SUCCESS);
    EXPECT_EQ(Engine().SetDeviceMode(12), STATUS_SUCCESS);
    const auto modes = Requests(0x41);
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_EQ(modes[0].setup.wValue, 0x034B);
    EXPECT_EQ(modes[0].setup.wIndex, 0x0101);
    EXPECT_EQ(modes[1].setup.wValue, 0x0348);

    // A refused control byte is reported.
    sim::ControlFault fault;
    fault.bRequest = 0x49;
    fault.bmRequestType = kVendorOut;
    Device().AddControlFault(fault);
    EXPECT_EQ(Engine().WriteDeviceControl(0xB2), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(DeviceRequestTest, WriteDeviceControlStopsStreamingFirst) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Engine().WriteDeviceControl(0x32), STATUS_SUCCESS);
    EXPECT_FALSE(Engine().IsStreaming());
    EXPECT_EQ(Device().ControlByte(), 0x32);
}

TEST_F(DeviceRequestTest, ClockModesFollowTheSettings) {
    StartIdle();
    StreamEngine& e = Engine();
    e.m_Settings.autoClock = 1;
    e.m_Settings.spdifInput = 0;
    EXPECT_EQ(e.ApplyClockMode(), 0x32);
    auto modes = Requests(0x41);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].setup.wValue, 0x0348);
    EXPECT_EQ(Device().ControlByte(), 0x32);

    Device().ClearRequests();
    e.m_Settings.autoClock = 0;
    EXPECT_EQ(e.ApplyClockMode(), 0xB2);
    modes = Requests(0x41);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].setup.wValue, 0x0349);
    EXPECT_EQ(Device().ControlByte(), 0xB2);

    Device().ClearRequests();
    e.m_Settings.autoClock = 1;
    e.m_Settings.spdifInput = 1;
    EXPECT_EQ(e.ApplyClockMode(), 0xB2);
    EXPECT_EQ(Requests(0x41).at(0).setup.wValue, 0x0348);

    // Flag values outside 0 and 1 send nothing and hand back the status byte.
    Device().ClearRequests();
    e.m_Settings.autoClock = 2;
    EXPECT_EQ(e.ApplyClockMode(), Device().StatusByte());
    EXPECT_TRUE(Requests(0x41).empty());
    e.m_Settings.autoClock = 0;
}

TEST_F(DeviceRequestTest, SampleRateRequestsGoToBothEndpointsAndAreReadBack) {
    StartIdle();
    ASSERT_EQ(Engine().SetDeviceSampleRate(88200), STATUS_SUCCESS);
    EXPECT_EQ(Device().EndpointRate(0x05), 88200u);
    EXPECT_EQ(Device().EndpointRate(0x86), 88200u);
    EXPECT_EQ(Status().sampleRate, 88200u);
    std::vector<sim::RequestRecord> sets;
    for (const auto& r : Device().Requests())
        if (r.setup.bRequest == 0x01 && r.setup.bmRequestType == 0x22) sets.push_back(r);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].setup.wIndex, 0x0005);
    EXPECT_EQ(sets[1].setup.wIndex, 0x0086);
    EXPECT_EQ(sets[0].setup.wValue, 0x0100);
    ASSERT_EQ(sets[0].data.size(), 3u);
    EXPECT_EQ(sets[0].data[0], 0x88);
    EXPECT_EQ(sets[0].data[1], 0x58);
    EXPECT_EQ(sets[0].data[2], 0x01);
    ULONG rate = 0;
    ASSERT_EQ(Engine().ReadDeviceSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 88200u);
    EXPECT_EQ(Engine().SetDeviceSampleRate(22050), STATUS_INVALID_PARAMETER);
}

TEST_F(DeviceRequestTest, RefusedRateKeepsTheLastValidRate) {
    StartIdle();
    sim::ControlFault fault;
    fault.bRequest = 0x01;
    fault.wIndex = 0x0086;
    Device().AddControlFault(fault);
    EXPECT_EQ(Engine().SetDeviceSampleRate(96000), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Status().sampleRate, 44100u);
    // A status rate that was never valid falls back to 44.1 kHz.
    Status().sampleRate = 12345;
    EXPECT_EQ(Engine().SetDeviceSampleRate(96000), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Status().sampleRate, 44100u);
    EXPECT_EQ(Engine().m_Settings.sampleRate, 44100);
}

TEST_F(DeviceRequestTest, SetSampleRateRefusalsAndTheCurrentRate) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Device().ClearRequests();
    EXPECT_EQ(Engine().SetSampleRate(32000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Engine().SetSampleRate(44100), STATUS_SUCCESS);
    EXPECT_TRUE(Device().Requests().empty());
    EXPECT_TRUE(Engine().IsStreaming());
    EXPECT_EQ(Status().sampleRate, 44100u);
}

TEST_F(DeviceRequestTest, DigitalOptionsUnchangedOnlySaveTheSettings) {
    MixerSettings stored = DefaultMixerSettings();
    stored.autoClock = 1;
    stored.spdifInput = 1;
    rig_->StoreSettingsValue(&stored, sizeof(stored));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(Engine().IsStreaming());
    const PipeGroup* playback = Engine().m_PlaybackGroup;
    Device().ClearRequests();
    EXPECT_EQ(Engine().SetDigitalOptions(0x81), STATUS_SUCCESS);
    EXPECT_EQ(Engine().m_PlaybackGroup, playback);
    EXPECT_TRUE(Engine().IsStreaming());
    EXPECT_TRUE(Device().Requests().empty());
    EXPECT_TRUE(rig_->StoredSettingsValue().has_value());
}

TEST_F(DeviceRequestTest, DigitalOptionsChangeReappliesRateAndClock) {
    MixerSettings stored = DefaultMixerSettings();
    stored.autoClock = 1;
    stored.spdifInput = 1;
    stored.sampleRate = 48000;
    rig_->StoreSettingsValue(&stored, sizeof(stored));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Device().ClearRequests();
    EXPECT_EQ(Engine().SetDigitalOptions(0x01), STATUS_SUCCESS);
    EXPECT_EQ(Engine().m_Settings.autoClock, 0);
    EXPECT_EQ(Engine().m_Settings.spdifInput, 1);
    EXPECT_EQ(Device().EndpointRate(0x86), 48000u);
    EXPECT_EQ(Requests(0x41).at(0).setup.wValue, 0x0349);
    EXPECT_EQ(Device().ControlByte(), 0xB2);
    EXPECT_TRUE(Engine().IsStreaming());
    const auto saved = rig_->StoredSettingsValue();
    ASSERT_TRUE(saved.has_value());
    MixerSettings s;
    std::memcpy(&s, saved->data(), sizeof(s));
    EXPECT_EQ(s.autoClock, 0);
}

TEST_F(DeviceRequestTest, DigitalClockAndResyncTakeTheDeviceRate) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    sim::SpdifSignal spdif;
    spdif.present = true;
    spdif.rate = 96000;
    Device().SetSpdif(spdif);
    EXPECT_EQ(Engine().SetDigitalOptions(0x80), STATUS_SUCCESS);
    EXPECT_EQ(Engine().m_Settings.autoClock, 1);
    EXPECT_EQ(Engine().m_Settings.spdifInput, 0);
    EXPECT_EQ(Device().ControlByte(), 0x32);
    EXPECT_TRUE(Engine().IsStreaming());
    // The device now follows the digital input; the resync adopts the rate it reports.
    EXPECT_NE(Device().StatusByte() & 0x04, 0);
    EXPECT_EQ(Engine().ResyncDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Status().sampleRate, 96000u);
    EXPECT_EQ(Engine().m_RateFactor, 2u);
    // A further options change with the status bit set takes the device's rate directly.
    EXPECT_EQ(Engine().SetDigitalOptions(0x81), STATUS_SUCCESS);
    EXPECT_EQ(Status().sampleRate, 96000u);
}

TEST_F(DeviceRequestTest, ResyncTakesTheDeviceRateAndRestarts) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Engine().ResyncDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(Engine().IsStreaming());
    EXPECT_EQ(Status().sampleRate, 44100u);
    // Units the device captured while the pipes were down are lost; none after the restart.
    RunMs(20);
    const uint64_t overruns = Device().Counters().overruns;
    RunMs(200);
    EXPECT_EQ(Device().Counters().overruns, overruns);
}

TEST_F(DeviceRequestTest, SelectInterfaceNeedsAConfigurationAndAMatchingSetting) {
    StartIdle();
    EXPECT_EQ(Engine().SelectInterface(0, 7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Engine().SelectInterface(5, 0), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Engine().SelectInterface(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(Device().AlternateSetting(0), 0);
    // Interface 0's alternate 0 has no pipes: only the MIDI endpoint of interface 1 is left.
    ULONG interruptPipes = 0;
    for (ULONG i = 0; i < Engine().m_PipeCount; ++i)
        interruptPipes += Engine().m_Pipes[i].PipeType == UsbdPipeTypeInterrupt;
    EXPECT_EQ(interruptPipes, 0u);
    ASSERT_EQ(Engine().SelectStreamingInterfaces(), STATUS_SUCCESS);
    EXPECT_EQ(Device().AlternateSetting(0), 1);
    EXPECT_EQ(Device().AlternateSetting(1), 1);
    EXPECT_EQ(Engine().m_PipeCount, 4u);
    ASSERT_EQ(Engine().Deconfigure(), STATUS_SUCCESS);
    EXPECT_EQ(Engine().SelectInterface(0, 1), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(Engine().m_PipeCount, 0u);
}

TEST_F(DeviceRequestTest, StreamingInterfaceFallsBackToAlternateZero) {
    StartIdle();
    sim::ControlFault fault;
    fault.bmRequestType = 0x01;
    fault.bRequest = USB_REQUEST_SET_INTERFACE;
    fault.wValue = 1;
    fault.wIndex = 1;
    Device().AddControlFault(fault);
    ASSERT_EQ(Engine().SelectStreamingInterfaces(), STATUS_SUCCESS);
    EXPECT_EQ(Device().AlternateSetting(1), 0);
    ASSERT_EQ(Engine().UsbStartStream(), STATUS_SUCCESS);
    EXPECT_NE(Engine().m_MidiInGroup, nullptr);
}

TEST_F(DeviceRequestTest, GetDescriptorRefusesAnUnknownRecipient) {
    StartIdle();
    PVOID buffer = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(Engine().GetDescriptor(3, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 2, 18, &buffer),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer, nullptr);
    ASSERT_EQ(Engine().GetDescriptor(0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 2, 18, &buffer),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PUCHAR>(buffer)[1], USB_DEVICE_DESCRIPTOR_TYPE);
    ExFreePoolWithTag(buffer, kTagEngine);
}

}  // namespace
}  // namespace q407::test
