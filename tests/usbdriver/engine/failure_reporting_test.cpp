// Failures that used to be reported as success: a parameter change whose restart failed, a
// firmware block whose read-back failed, a start that could not build every transfer. Each now
// returns its failure and traces it.
#include <array>

#include "engine_fixture.h"

namespace q407::test {
namespace {

using FailureReportingTest = EngineTest;

TEST_F(FailureReportingTest, ParameterChangesReportARestartThatFailed) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(20);
    StreamEngine& e = Engine();

    // No pool for the pipes: the restart cannot build its transfers.
    sim::Pool::FailTag(kTagPipes);
    EXPECT_EQ(e.SetUsbBufferCount(3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Traced("SetUsbBufferCount ERROR restart failed 0xC000009A\n"));
    EXPECT_FALSE(e.IsStreaming());
    EXPECT_EQ(e.SetLatency(128), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Traced("SetLatency ERROR restart failed 0xC000009A\n"));
    EXPECT_FALSE(e.IsStreaming());
    sim::Pool::ClearFailures();
    ASSERT_EQ(e.SetLatency(128), STATUS_SUCCESS);
    EXPECT_TRUE(e.IsStreaming());

    // The device refuses the streaming interface: the new rate cannot stream.
    sim::ControlFault refuse;
    refuse.bmRequestType = 0x01;
    refuse.bRequest = 0x0B;  // SET_INTERFACE
    refuse.wIndex = 0;
    Device().AddControlFault(refuse);
    EXPECT_FALSE(NT_SUCCESS(e.SetSampleRate(48000)));
    EXPECT_FALSE(e.IsStreaming());
    Device().ClearFaults();
    EXPECT_EQ(e.SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_TRUE(e.IsStreaming());
}

TEST_F(FailureReportingTest, FirmwareBlockWhoseReadBackFailsIsNotWritten) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    std::array<UCHAR, 64> block{};
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<UCHAR>(i * 7 + 1);
    ASSERT_EQ(e.WriteFirmwareBlock(64, block.data(), 0), STATUS_SUCCESS);

    sim::ControlFault readBack;
    readBack.bmRequestType = 0xC0;
    readBack.bRequest = 0x55;
    readBack.wIndex = 1;
    readBack.count = 1;
    Device().AddControlFault(readBack);
    EXPECT_FALSE(NT_SUCCESS(e.WriteFirmwareBlock(64, block.data(), 1)));
    EXPECT_TRUE(Traced("WriteFirmwareBlock ERROR block 1 not read back 0xC0000001\n"));

    sim::ControlFault refuseWrite;
    refuseWrite.bmRequestType = 0x40;
    refuseWrite.bRequest = 0x55;
    refuseWrite.wIndex = 2;
    refuseWrite.count = 1;
    Device().AddControlFault(refuseWrite);
    EXPECT_FALSE(NT_SUCCESS(e.WriteFirmwareBlock(64, block.data(), 2)));
    EXPECT_TRUE(Traced("WriteFirmwareBlock ERROR block 2 not written 0xC0000001\n"));

    // The download can go on: the same block again, then the last one.
    EXPECT_EQ(e.WriteFirmwareBlock(64, block.data(), 1), STATUS_SUCCESS);
    EXPECT_EQ(e.WriteFirmwareBlock(64, block.data(), 95), STATUS_SUCCESS);
    EXPECT_EQ(e.m_FirmwareUpdate, 0);
}

// Every allocation a start makes is failed in turn: the start either succeeds with every
// transfer of every pipe in flight, or fails and leaves nothing running.
TEST_F(FailureReportingTest, EveryAllocationFailureDuringAStartIsReported) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    ASSERT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
    ASSERT_EQ(e.SelectStreamingInterfaces(), STATUS_SUCCESS);
    size_t failures = 0;
    for (size_t n = 1;; ++n) {
        const size_t requests = sim::Pool::RequestCount();
        sim::Pool::FailAllocationNumber(n);
        const NTSTATUS status = e.UsbStartStream();
        const bool reached = sim::Pool::RequestCount() - requests >= n;
        sim::Pool::ClearFailures();
        if (NT_SUCCESS(status)) {
            ASSERT_NE(e.m_PlaybackGroup, nullptr) << n;
            EXPECT_EQ(e.m_PlaybackGroup->pending, 4) << n;
            EXPECT_EQ(e.m_CaptureGroup->pending, 4) << n;
            EXPECT_EQ(e.m_MidiInGroup->pending, 1) << n;
        } else {
            ++failures;
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << n;
            EXPECT_FALSE(e.IsStreaming()) << n;
            EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, 0u) << n;
        }
        if (!reached) break;
        ASSERT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
        ASSERT_EQ(e.SelectStreamingInterfaces(), STATUS_SUCCESS);
        ASSERT_LT(n, 200u);
    }
    // Groups, transfer records and URB blocks of three pipes: at least one failure each.
    EXPECT_GE(failures, 3u + 9u + 9u);
    EXPECT_TRUE(Traced("UsbStartStream ERROR no memory for transfer 1 of pipe 0x86\n"));
}

}  // namespace
}  // namespace q407::test
