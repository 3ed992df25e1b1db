#include "sim/device/usbmon_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tshark_runner.h"

namespace q407::sim {
namespace {

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "/" + name + std::to_string(::getpid()) + ".pcap";
}

void WriteSetCurAndBulk(UsbmonCapture& cap) {
    const std::uint8_t rate[3] = {0x80, 0xBB, 0x00};
    UsbmonEvent s;
    s.id = 0x1000;
    s.type = 'S';
    s.transferType = UsbmonTransferType::Control;
    s.endpoint = 0x00;
    s.hasSetup = true;
    const std::uint8_t setup[8] = {0x22, 0x01, 0x00, 0x01, 0x86, 0x00, 0x03, 0x00};
    std::memcpy(s.setup, setup, 8);
    s.time = 15 * kTicksPerMillisecond;
    s.length = 3;
    s.data = rate;
    s.dataLength = 3;
    cap.Write(s);
    UsbmonEvent c = s;
    c.type = 'C';
    c.hasSetup = false;
    c.time += 1250;
    c.status = usbmon_status::kOk;
    c.data = nullptr;
    c.dataLength = 0;
    cap.Write(c);

    std::vector<std::uint8_t> midi = {0x90, 0x3C, 0x7F, 0xFD, 0xFD};
    UsbmonEvent b;
    b.id = 0x2000;
    b.type = 'C';
    b.transferType = UsbmonTransferType::Bulk;
    b.endpoint = 0x82;
    b.time = 20 * kTicksPerMillisecond;
    b.status = usbmon_status::kOk;
    b.length = 5;
    b.data = midi.data();
    b.dataLength = 5;
    b.transferFlags = 0x200;
    cap.Write(b);
}

TEST(UsbmonCapture, FileLayout) {
    std::string path = TempPath("layout");
    UsbmonCapture cap;
    ASSERT_TRUE(cap.Open(path));
    WriteSetCurAndBulk(cap);
    EXPECT_EQ(cap.Records(), 3u);
    cap.Close();
    std::ifstream f(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
    // 24-byte file header, then (16 + 64 + data) per record.
    ASSERT_EQ(bytes.size(), 24u + (16 + 64 + 3) + (16 + 64) + (16 + 64 + 5));
    EXPECT_EQ(bytes[20], 220);  // link type
    const std::uint8_t* rec = bytes.data() + 24 + 16;
    EXPECT_EQ(rec[8], 'S');
    EXPECT_EQ(rec[9], 2);      // control
    EXPECT_EQ(rec[14], 0);     // setup present
    EXPECT_EQ(rec[40], 0x22);  // bmRequestType
    EXPECT_EQ(rec[44], 0x86);  // wIndex low
    EXPECT_EQ(rec[64], 0x80);  // data
    std::remove(path.c_str());
}

TEST(UsbmonCapture, TsharkDecodesTheRequests) {
    std::string tshark = test::FindTshark();
    if (tshark.empty()) GTEST_SKIP() << "tshark is not installed";
    std::string path = TempPath("tshark");
    UsbmonCapture cap;
    ASSERT_TRUE(cap.Open(path));
    WriteSetCurAndBulk(cap);
    cap.Close();
    int rc = 0;
    std::string out = test::RunTshark(
        tshark, path,
        "-Y usb.setup.bRequest -T fields -E separator=, -e usb.bmRequestType "
        "-e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex -e usb.setup.wLength",
        &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "0x22,1,0x0100,134,3\n") << out;
    out = test::RunTshark(tshark, path,
                          "-T fields -E separator=, -e usb.endpoint_address -e usb.capdata", &rc);
    EXPECT_NE(out.find("0x82,903c7ffdfd"), std::string::npos) << out;
    std::remove(path.c_str());
}

}  // namespace
}  // namespace q407::sim
