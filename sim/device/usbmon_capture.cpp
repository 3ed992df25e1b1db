#include "sim/device/usbmon_capture.h"

#include <cstring>
#include <vector>

namespace q407::sim {

namespace {

// usbmon's binary record header, in the capturing machine's byte order (pcap readers take the
// order from the file's magic number, written the same way).
#pragma pack(push, 1)
struct UsbmonHeader {
    std::uint64_t id;
    std::uint8_t type;
    std::uint8_t transferType;
    std::uint8_t endpoint;
    std::uint8_t device;
    std::uint16_t bus;
    std::uint8_t flagSetup;  // 0 when setup is valid, '-' otherwise
    std::uint8_t flagData;   // 0 when data follows, '<' or '>' otherwise
    std::int64_t seconds;
    std::int32_t microseconds;
    std::int32_t status;
    std::uint32_t length;
    std::uint32_t capturedLength;
    std::uint8_t setup[8];
    std::int32_t interval;
    std::int32_t startFrame;
    std::uint32_t transferFlags;
    std::uint32_t isoDescriptors;
};
struct PcapFileHeader {
    std::uint32_t magic;
    std::uint16_t versionMajor;
    std::uint16_t versionMinor;
    std::int32_t thisZone;
    std::uint32_t sigFigs;
    std::uint32_t snapLength;
    std::uint32_t linkType;
};
struct PcapRecordHeader {
    std::uint32_t seconds;
    std::uint32_t microseconds;
    std::uint32_t capturedLength;
    std::uint32_t length;
};
#pragma pack(pop)
static_assert(sizeof(UsbmonHeader) == kUsbmonHeaderBytes);
static_assert(offsetof(UsbmonHeader, seconds) == 16);
static_assert(offsetof(UsbmonHeader, status) == 28);
static_assert(offsetof(UsbmonHeader, setup) == 40);
static_assert(offsetof(UsbmonHeader, transferFlags) == 56);
static_assert(sizeof(PcapFileHeader) == 24);
static_assert(sizeof(PcapRecordHeader) == 16);

constexpr std::uint32_t kSnapLength = 0x40000;

}  // namespace

UsbmonCapture::~UsbmonCapture() {
    Close();
}

bool UsbmonCapture::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return false;
    records_ = 0;
    PcapFileHeader h{0xA1B2C3D4u, 2, 4, 0, 0, kSnapLength, kLinktypeUsbLinuxMmapped};
    if (std::fwrite(&h, sizeof h, 1, file_) != 1) {
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void UsbmonCapture::Close() {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

bool UsbmonCapture::IsOpen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return file_ != nullptr;
}

std::uint64_t UsbmonCapture::Records() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
}

void UsbmonCapture::Write(const UsbmonEvent& e) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!file_) return;
    std::uint32_t captured = e.data ? e.dataLength : 0;
    if (captured > kSnapLength - kUsbmonHeaderBytes) captured = kSnapLength - kUsbmonHeaderBytes;
    ClockTicks t = e.time < 0 ? 0 : e.time;
    UsbmonHeader h{};
    h.id = e.id;
    h.type = std::uint8_t(e.type);
    h.transferType = std::uint8_t(e.transferType);
    h.endpoint = e.endpoint;
    h.device = e.device;
    h.bus = e.bus;
    h.flagSetup = e.hasSetup ? 0 : '-';
    h.flagData = captured ? 0 : (e.type == 'S' ? '<' : '>');
    h.seconds = t / kTicksPerSecond;
    h.microseconds = std::int32_t((t % kTicksPerSecond) / kTicksPerMicrosecond);
    h.status = e.status;
    h.length = e.length;
    h.capturedLength = captured;
    if (e.hasSetup) std::memcpy(h.setup, e.setup, 8);
    h.interval = e.interval;
    h.startFrame = 0;
    h.transferFlags = e.transferFlags;
    h.isoDescriptors = 0;
    PcapRecordHeader r{std::uint32_t(h.seconds), std::uint32_t(h.microseconds),
                       std::uint32_t(kUsbmonHeaderBytes + captured),
                       std::uint32_t(kUsbmonHeaderBytes + captured)};
    bool ok = std::fwrite(&r, sizeof r, 1, file_) == 1 && std::fwrite(&h, sizeof h, 1, file_) == 1;
    if (ok && captured) ok = std::fwrite(e.data, 1, captured, file_) == captured;
    if (ok) ++records_;
}

}  // namespace q407::sim
