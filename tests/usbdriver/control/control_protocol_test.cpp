// The control message protocol from an emulated client process: identification, the refused
// classes and types, the request checks, the commands' results and their client addresses.
#include <cstring>
#include <vector>

#include "control_fixture.h"
#include "sim/host/registry_store.h"

namespace q407::testing {
namespace {

class ControlProtocolTest : public ControlFixture {
  protected:
    void SetUp() override {
        ControlFixture::SetUp();
        device_ = Open(client_);
    }
    void TearDown() override {
        client_.End();
        ControlFixture::TearDown();
    }

    Reply Send(ControlMessage* m, ULONG length = kControlMessageSize) {
        return ControlFixture::Send(client_, device_, m, length);
    }
    Reply Send(ControlMessage&& m) { return Send(&m); }

    sim::Process client_{"client"};
    HANDLE device_ = nullptr;
};

TEST_F(ControlProtocolTest, IdentifiesDriverAndChannelCountsWhateverTheClientSent) {
    ControlMessage m = MakeControlMessage(DeviceServicesType::QueryInterfaceVersion);
    SetU32(m, cm::kVersionMajor, 0xFF);
    SetU32(m, cm::kVersionMinor, 0xFF);
    const Reply reply = Send(&m);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, kControlMessageSize);
    EXPECT_EQ(GetU32(m, cm::kVersionMajor), 1u);
    EXPECT_EQ(GetU32(m, cm::kVersionMinor), 0u);

    m = MakeControlMessage(DeviceServicesType::QueryDriverVersion);
    SetU32(m, cm::kVersionMajor, 0xFF);
    SetU32(m, cm::kVersionMinor, 0xFF);
    EXPECT_EQ(Send(&m).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(m, cm::kVersionMajor), 1u);
    EXPECT_EQ(GetU32(m, cm::kVersionMinor), 4u);

    m = MakeControlMessage(DeviceServicesType::QueryChannelCounts);
    EXPECT_EQ(Send(&m).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(m, cm::kInputChannels), 16u);
    EXPECT_EQ(GetU32(m, cm::kOutputChannels), 8u);
}

TEST_F(ControlProtocolTest, ClassesAndTypesNotCarriedAreRefusedAndLeaveTheMessageAsSent) {
    struct Case {
        uint32_t messageClass, type;
        NTSTATUS status;
    };
    const Case cases[] = {
        {0, 1, STATUS_INVALID_PARAMETER},
        {4, 1, STATUS_INVALID_PARAMETER},
        {1, 0, STATUS_INVALID_PARAMETER},
        {1, 8, STATUS_INVALID_PARAMETER},
        {1, 15, STATUS_INVALID_PARAMETER},
        {1, 4, STATUS_SUCCESS},
        {1, 5, STATUS_SUCCESS},
        {2, 6, STATUS_INVALID_PARAMETER},
        {2, 12, STATUS_INVALID_PARAMETER},
        {2, 15, STATUS_INVALID_PARAMETER},
        {3, 0, STATUS_INVALID_PARAMETER},
        {3, 11, STATUS_INVALID_PARAMETER},
        {3, 22, STATUS_INVALID_PARAMETER},
        {3, 6, STATUS_SUCCESS},
        {3, 17, STATUS_SUCCESS},
        {3, 20, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        ControlMessage m = MakeControlMessage(static_cast<ControlClass>(c.messageClass), c.type);
        for (uint32_t offset = 12; offset < kControlMessageSize; offset += 4)
            SetU32(m, offset, 0xA5A50000u | offset);
        const ControlMessage sent = m;
        const Reply reply = Send(&m);
        EXPECT_EQ(reply.status, c.status) << c.messageClass << "." << c.type;
        EXPECT_EQ(reply.information, kControlMessageSize) << c.messageClass << "." << c.type;
        EXPECT_EQ(std::memcmp(&m, &sent, sizeof(m)), 0) << c.messageClass << "." << c.type;
    }
}

TEST_F(ControlProtocolTest, WrongCodeShortMessagesAndStoppedDeviceAreRefused) {
    ControlMessage m = MakeControlMessage(DeviceServicesType::QueryInterfaceVersion);
    Reply reply = ControlFixture::Send(client_, device_, &m, kControlMessageSize, 0x2A3BBC);
    EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(reply.information, 0u);

    // A message shorter than 128 bytes is refused before any field is read.
    std::vector<uint8_t> shortMessage(64, 0);
    shortMessage[0] = 1;
    shortMessage[8] = 1;
    ULONG returned = 99;
    EXPECT_EQ(client_.DeviceIoControl(device_, IOCTL_Q407_CONTROL_MESSAGE, shortMessage.data(), 64,
                                      shortMessage.data(), 64, &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);

    rig_.Stop();
    reply = Send(MakeControlMessage(DeviceServicesType::QueryInterfaceVersion));
    EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(reply.information, 0u);

    rig_.BeginRemove();
    reply = Send(MakeControlMessage(DeviceServicesType::QueryInterfaceVersion));
    EXPECT_EQ(reply.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(reply.information, 0u);
    client_.End();
}

TEST_F(ControlProtocolTest, SampleRateOutsideTheFourLeavesTheRateAndSucceeds) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::SetSampleRate);
    SetU32(m, cm::kSampleRate, 22050);
    EXPECT_EQ(Send(&m).status, STATUS_SUCCESS);
    EXPECT_EQ(Facade()->statusBlock->sampleRate, 44100u);
    SetU32(m, cm::kSampleRate, 48000);
    EXPECT_EQ(Send(&m).status, STATUS_SUCCESS);
    EXPECT_EQ(Facade()->statusBlock->sampleRate, 48000u);
    EXPECT_EQ(rig_.Device().ClockRate(), 48000u);
}

TEST_F(ControlProtocolTest, ChannelMasksOpenAndCloseAndGateStreaming) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::SetAsioChannels);
    SetU32(m, cm::kChannelMask, 0x00010001);
    SetU32(m, cm::kChannelFlag, 1);
    EXPECT_EQ(Send(&m).status, STATUS_SUCCESS);
    const LONG asio = static_cast<LONG>(ClientKind::ASIO);
    EXPECT_EQ(Engine().IsClientChannelOpen(asio, 0, 0), 1);
    EXPECT_EQ(Engine().IsClientChannelOpen(asio, 1, 0), 1);
    EXPECT_EQ(Engine().IsClientChannelOpen(asio, 0, 1), 0);

    ControlMessage any = MakeControlMessage(SettingsAndPanelType::QueryAnyChannelOpen);
    EXPECT_EQ(Send(&any).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(any, cm::kAnyChannelOpen), 1u);

    SetU32(m, cm::kChannelFlag, 0);
    EXPECT_EQ(Send(&m).status, STATUS_SUCCESS);
    EXPECT_EQ(Engine().IsClientChannelOpen(asio, 0, 0), 0);
    EXPECT_EQ(Engine().IsClientChannelOpen(asio, 1, 0), 0);
    any = MakeControlMessage(SettingsAndPanelType::QueryAnyChannelOpen);
    SetU32(any, cm::kAnyChannelOpen, 7);
    EXPECT_EQ(Send(&any).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(any, cm::kAnyChannelOpen), 0u);
}

TEST_F(ControlProtocolTest, AsioRunningNeedsChannelZero) {
    ControlMessage run = MakeControlMessage(AsioStreamingType::RunAsioChannels);
    SetU32(run, cm::kChannelFlag, 1);
    SetU32(run, cm::kOutputMask, 0x2);  // channel 1 only
    EXPECT_EQ(Send(&run).status, STATUS_SUCCESS);

    ControlMessage query = MakeControlMessage(AsioStreamingType::QueryAsioRunning);
    SetU32(query, cm::kAsioRunning, 7);
    EXPECT_EQ(Send(&query).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(query, cm::kAsioRunning), 0u);

    // The flag field came back holding the result: it is set again for each request.
    SetU32(run, cm::kChannelFlag, 1);
    SetU32(run, cm::kOutputMask, 0x3);
    EXPECT_EQ(Send(&run).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(&query).status, STATUS_SUCCESS);

    EXPECT_EQ(GetU32(query, cm::kAsioRunning), 1u);

    SetU32(run, cm::kChannelFlag, 0);
    EXPECT_EQ(Send(&run).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(&query).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(query, cm::kAsioRunning), 0u);
}

TEST_F(ControlProtocolTest, LatencyChangeIsRefusedWhileWdmRecordsUnlessForced) {
    const LONG mme = static_cast<LONG>(ClientKind::MME);
    Engine().OpenClientChannel(mme, 1, 3, 1);  // a WDM recording runs
    ControlMessage m = MakeControlMessage(SettingsAndPanelType::SetLatency);
    SetU32(m, cm::kLatency, 128);
    EXPECT_EQ(Send(&m).status, STATUS_INVALID_PARAMETER);
    ControlMessage get = MakeControlMessage(SettingsAndPanelType::GetLatency);
    EXPECT_EQ(Send(&get).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(get, cm::kLatency), 256u);

    SetU32(m, cm::kForce, 1);
    EXPECT_EQ(Send(&m).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(&get).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(get, cm::kLatency), 128u);
    Engine().OpenClientChannel(mme, 1, 3, 0);
}

TEST_F(ControlProtocolTest, SettingsReadWriteAndSave) {
    MixerSettings block{};
    ControlMessage read = MakeControlMessage(SettingsAndPanelType::ReadSettings);
    SetU64(read, cm::kSettingsAddress, reinterpret_cast<uint64_t>(&block));
    EXPECT_EQ(Send(&read).status, STATUS_SUCCESS);
    EXPECT_EQ(block.sampleRate, 44100);
    EXPECT_EQ(block.latency, 256);

    block.outputMap.entries[0] = 1;
    block.outputMap.entries[1] = 0;
    ControlMessage write = MakeControlMessage(SettingsAndPanelType::WriteAndSaveSettings);
    SetU64(write, cm::kSettingsAddress, reinterpret_cast<uint64_t>(&block));
    EXPECT_EQ(Send(&write).status, STATUS_SUCCESS);
    EXPECT_EQ(Engine().GetSettings()->outputMap.entries[0], 1);

    MixerSettings back{};
    SetU64(read, cm::kSettingsAddress, reinterpret_cast<uint64_t>(&back));
    EXPECT_EQ(Send(&read).status, STATUS_SUCCESS);
    EXPECT_EQ(back.outputMap.entries[0], 1);
    EXPECT_EQ(back.outputMap.entries[1], 0);
}

TEST_F(ControlProtocolTest, DeviceBytesAndFirmwareBlocks) {
    ControlMessage status = MakeControlMessage(DeviceServicesType::ReadDeviceStatus);
    SetU32(status, cm::kByteValue, 0xFFFFFFFF);
    EXPECT_EQ(Send(&status).status, STATUS_SUCCESS);
    EXPECT_LE(GetU32(status, cm::kByteValue), 0xFFu);

    uint8_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = static_cast<uint8_t>(i * 3);
    ControlMessage fw = MakeControlMessage(DeviceServicesType::WriteFirmwareBlock);
    SetU32(fw, cm::kFirmwareLength, 63);
    SetU32(fw, cm::kFirmwareBlockNumber, 95);
    SetU64(fw, cm::kFirmwareBlockAddress, reinterpret_cast<uint64_t>(block));
    SetU32(fw, cm::kVerifyResult, 7);
    EXPECT_EQ(Send(&fw).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(fw, cm::kVerifyResult), 0u);

    SetU32(fw, cm::kFirmwareLength, 64);
    EXPECT_EQ(Send(&fw).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(fw, cm::kVerifyResult), 1u);
    const auto written = rig_.Device().FirmwareBlock(95);
    EXPECT_EQ(std::memcmp(written.data(), block, sizeof(block)), 0);

    const uint8_t codec[3] = {0x10, 0x20, 0x30};
    ControlMessage bytes = MakeControlMessage(DeviceServicesType::SendCodecBytes);
    SetU32(bytes, cm::kCodecByteCount, 3);
    SetU64(bytes, cm::kCodecBytesAddress, reinterpret_cast<uint64_t>(codec));
    EXPECT_EQ(Send(&bytes).status, STATUS_SUCCESS);
}

// The commands that only reach the engine, each seen where it lands: the device, the engine or
// the message.
TEST_F(ControlProtocolTest, EveryRemainingCommandReachesTheEngine) {
    ControlMessage control = MakeControlMessage(DeviceServicesType::WriteDeviceControl);
    SetU32(control, cm::kByteValue, 0xFFFFFF32);  // only the first byte counts
    EXPECT_EQ(Send(&control).status, STATUS_SUCCESS);
    EXPECT_EQ(rig_.Device().ControlByte(), 0x32);

    ControlMessage digital = MakeControlMessage(DeviceServicesType::SetDigitalOptions);
    SetU32(digital, cm::kByteValue, 0x01);
    EXPECT_EQ(Send(&digital).status, STATUS_SUCCESS);
    EXPECT_EQ(Engine().GetSettings()->spdifInput, 1);
    EXPECT_EQ(Engine().GetSettings()->autoClock, 0);

    ControlMessage reserved = MakeControlMessage(AsioStreamingType::ReservedQuery);
    SetU32(reserved, cm::kReservedResult, 9);
    EXPECT_EQ(Send(&reserved).status, STATUS_SUCCESS);
    EXPECT_EQ(GetU32(reserved, cm::kReservedResult), 0u);

    EXPECT_EQ(Send(MakeControlMessage(DeviceServicesType::UnloadWdmDriver)).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(MakeControlMessage(SettingsAndPanelType::ResyncDevice)).status, STATUS_SUCCESS);

    ControlMessage output = MakeControlMessage(AsioStreamingType::WriteAsioOutput);
    SetU32(output, cm::kOutputHalf, 1);
    SetU32(output, cm::kOutputEnable, 1);
    EXPECT_EQ(Send(&output).status, STATUS_SUCCESS);

    rig_.RunForSeconds(0.02);
    EXPECT_TRUE(rig_.Device().Streaming());
    EXPECT_EQ(Send(MakeControlMessage(SettingsAndPanelType::StopStreaming)).status, STATUS_SUCCESS);
    EXPECT_FALSE(Engine().IsStreaming());
    ControlMessage enable = MakeControlMessage(AsioStreamingType::EnableStreaming);
    SetU32(enable, cm::kEnable, 0);
    EXPECT_EQ(Send(&enable).status, STATUS_SUCCESS);

    HANDLE event = client_.CreateEvent(false, false);
    ControlMessage panelEvent = MakeControlMessage(SettingsAndPanelType::SetPanelEvent);
    SetU64(panelEvent, cm::kPanelEventHandle, reinterpret_cast<uint64_t>(event));
    EXPECT_EQ(Send(&panelEvent).status, STATUS_SUCCESS);
    EXPECT_NE(Facade()->eventSlots[kPanelEventSlot], nullptr);
}

// Every command that names client memory fails with the probe's status and changes nothing.
TEST_F(ControlProtocolTest, BadClientAddressesFailCleanly) {
    const uint64_t unmapped = 0x10;  // below the first page
    const uint64_t kernel = reinterpret_cast<uint64_t>(Facade()->statusBlock);

    for (uint64_t bad : {unmapped, kernel}) {
        ControlMessage bytes = MakeControlMessage(DeviceServicesType::SendCodecBytes);
        SetU32(bytes, cm::kCodecByteCount, 16);
        SetU64(bytes, cm::kCodecBytesAddress, bad);
        EXPECT_EQ(Send(&bytes).status, STATUS_ACCESS_VIOLATION);

        ControlMessage fw = MakeControlMessage(DeviceServicesType::WriteFirmwareBlock);
        SetU32(fw, cm::kFirmwareLength, 64);
        SetU64(fw, cm::kFirmwareBlockAddress, bad);
        EXPECT_EQ(Send(&fw).status, STATUS_ACCESS_VIOLATION);

        ControlMessage alloc = MakeControlMessage(AsioStreamingType::AllocSharedBuffer);
        SetU32(alloc, cm::kSharedBufferSize, 4096);
        SetU64(alloc, cm::kSharedBufferKey, 0x1234);
        SetU64(alloc, cm::kSharedBufferVariable, bad);
        EXPECT_EQ(Send(&alloc).status, STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(SharedBufferCount(), 0);

        for (auto type : {SettingsAndPanelType::ReadSettings, SettingsAndPanelType::WriteSettings,
                          SettingsAndPanelType::WriteAndSaveSettings}) {
            ControlMessage s = MakeControlMessage(type);
            SetU64(s, cm::kSettingsAddress, bad);
            EXPECT_EQ(Send(&s).status, STATUS_ACCESS_VIOLATION);
        }
    }
    EXPECT_EQ(Facade()->statusBlock->sampleRate, 44100u);
}

}  // namespace
}  // namespace q407::testing
