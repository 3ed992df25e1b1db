// A firmware download of 96 blocks: the device ends up holding the image, and meanwhile every
// request not part of the download is refused and streaming cannot start.
#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "engine_fixture.h"

namespace q407::test {
namespace {

using Image = std::vector<std::array<UCHAR, 64>>;

Image RandomImage() {
    std::mt19937 random(1407);
    Image image(96);
    for (auto& block : image)
        for (auto& b : block) b = static_cast<UCHAR>(random());
    return image;
}

TEST_F(EngineTest, FirmwareDownloadWritesEveryBlockAndRefusesOtherRequests) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    StreamEngine& e = Engine();
    const Image image = RandomImage();

    ASSERT_EQ(e.WriteFirmwareBlock(64, image[0].data(), 0), STATUS_SUCCESS);
    EXPECT_FALSE(e.IsStreaming());
    EXPECT_NE(e.m_FirmwareUpdate, 0);
    Device().ClearRequests();
    sim::TraceLog::Instance().Clear();

    // Ordinary requests and streaming are refused while the download runs.
    UCHAR status = 0;
    EXPECT_EQ(e.ReadDeviceStatus(&status), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(e.SetDeviceSampleRate(48000), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(e.UsbStartStream(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Traced("UsbStartStream ERROR FIRMWARE UPDATE IS RUNNING !!!!\n"));
    EXPECT_GE(TraceCount("UsbCallSync ERROR FIRMWARE UPDATE IS RUNNING !!!!\n"), 2u);
    EXPECT_TRUE(Device().Requests().empty());

    for (ULONG block = 1; block < 96; ++block) {
        ASSERT_EQ(e.WriteFirmwareBlock(64, image[block].data(), block), STATUS_SUCCESS) << block;
        if (block < 95) {
            EXPECT_NE(e.m_FirmwareUpdate, 0) << block;
        }
    }
    EXPECT_EQ(e.m_FirmwareUpdate, 0);
    for (int block = 0; block < 96; ++block) {
        const auto held = Device().FirmwareBlock(block);
        EXPECT_TRUE(std::equal(held.begin(), held.end(), image[block].begin())) << block;
    }
    // Only firmware requests went out during the download, then the information bytes.
    for (const auto& r : Device().Requests()) {
        if (r.setup.bRequest == 0x56) continue;
        EXPECT_EQ(r.setup.bRequest, 0x55);
    }
    // The device is usable again.
    EXPECT_EQ(e.ReadDeviceStatus(&status), STATUS_SUCCESS);
    EXPECT_EQ(e.ResyncDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(e.IsStreaming());
}

TEST_F(EngineTest, MalformedFirmwareBlockEndsTheDownload) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    const Image image = RandomImage();
    ASSERT_EQ(e.WriteFirmwareBlock(64, image[0].data(), 0), STATUS_SUCCESS);
    ASSERT_EQ(e.WriteFirmwareBlock(64, image[1].data(), 1), STATUS_SUCCESS);
    EXPECT_NE(e.m_FirmwareUpdate, 0);
    EXPECT_EQ(e.WriteFirmwareBlock(63, image[2].data(), 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e.m_FirmwareUpdate, 0);
    // Block numbers past the image are refused as well and leave the flag clear.
    ASSERT_EQ(e.WriteFirmwareBlock(64, image[0].data(), 0), STATUS_SUCCESS);
    EXPECT_EQ(e.WriteFirmwareBlock(64, image[3].data(), 96), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e.m_FirmwareUpdate, 0);
    // Block 95 on its own never leaves the flag set.
    EXPECT_EQ(e.WriteFirmwareBlock(64, image[95].data(), 95), STATUS_SUCCESS);
    EXPECT_EQ(e.m_FirmwareUpdate, 0);
}

}  // namespace
}  // namespace q407::test
