// Writes USB traffic as a pcap file in the Linux usbmon format (link type 220, the 64-byte
// memory-mapped header), the form USB captures take on real machines; Wireshark and tshark read
// it. One record per submission ('S') and per completion ('C').
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "sim/host/machine_clock.h"

namespace q407::sim {

constexpr std::uint32_t kLinktypeUsbLinuxMmapped = 220;
constexpr std::size_t kUsbmonHeaderBytes = 64;

enum class UsbmonTransferType : std::uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3
};

// Linux error numbers usbmon reports as completion status.
namespace usbmon_status {
constexpr std::int32_t kInProgress = -115;  // every submission
constexpr std::int32_t kOk = 0;
constexpr std::int32_t kUnlinked = -2;  // cancelled
constexpr std::int32_t kNoDevice = -19;
constexpr std::int32_t kStall = -32;
constexpr std::int32_t kTimeout = -62;
constexpr std::int32_t kProtocol = -71;    // CRC, bit stuffing
constexpr std::int32_t kOverflow = -75;    // babble
constexpr std::int32_t kShutdown = -108;   // device gone
constexpr std::int32_t kShortRead = -121;  // short packet not allowed
constexpr std::int32_t kInvalid = -22;
}  // namespace usbmon_status

struct UsbmonEvent {
    std::uint64_t id = 0;  // the same for a request's submission and completion
    char type = 'S';       // 'S' submission, 'C' completion
    UsbmonTransferType transferType = UsbmonTransferType::Control;
    std::uint8_t endpoint = 0;  // with 0x80 for IN (control: the data stage's direction)
    std::uint8_t device = 2;
    std::uint16_t bus = 1;
    bool hasSetup = false;
    std::uint8_t setup[8] = {};
    ClockTicks time = 0;
    std::int32_t status = usbmon_status::kInProgress;
    std::uint32_t length = 0;  // requested (submission) or moved (completion)
    const std::uint8_t* data = nullptr;
    std::uint32_t dataLength = 0;  // bytes of data captured
    std::int32_t interval = 0;
    std::uint32_t transferFlags = 0;  // Linux URB flags: 0x200 IN, 0x1 short not OK
};

class UsbmonCapture {
  public:
    UsbmonCapture() = default;
    ~UsbmonCapture();
    UsbmonCapture(const UsbmonCapture&) = delete;
    UsbmonCapture& operator=(const UsbmonCapture&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const;
    void Write(const UsbmonEvent& event);
    std::uint64_t Records() const;

  private:
    mutable std::mutex mu_;
    std::FILE* file_ = nullptr;
    std::uint64_t records_ = 0;
};

}  // namespace q407::sim
