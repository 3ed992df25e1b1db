// The device's serial control port as the panel feeds it: bytes, each one state of the control
// lines, collected into one stream of at most 1,024 bytes and handed to a send routine in one go.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407::panel {

inline constexpr uint32_t kPortStreamBytes = 1024;

// Sends `count` bytes through `context` (the USBDevice); whether they went.
using PortSink = bool (*)(void* context, const uint8_t* bytes, uint32_t count);

class PTAJPort {
  public:
    PTAJPort() = default;
    virtual ~PTAJPort() = default;
    PTAJPort(const PTAJPort&) = delete;
    PTAJPort& operator=(const PTAJPort&) = delete;

    // Opens the stream after the bytes committed so far; false when they fill the port.
    bool begin();
    // Appends one byte to the open stream; false when it does not fit (or no stream is open).
    bool put(uint8_t byte);
    // Commits the open stream's bytes and closes it.
    void commit();
    // Drops the open stream's bytes and closes it; the committed bytes stay.
    void abandon();
    // Hands the committed bytes to the sink and empties the port; false without a sink.
    bool flush();
    // (nullptr, nullptr) detaches the port from the device.
    void setSink(PortSink sink, void* context);

    uint32_t committedCount() const { return count_; }
    const uint8_t* bytes() const { return bytes_; }

  private:
    void clear();

    uint32_t count_ = 0;
    uint8_t bytes_[kPortStreamBytes] = {};
    void* sinkContext_ = nullptr;
    PortSink sink_ = nullptr;
    // kPortStreamBytes while no stream is open (put refuses then).
    uint32_t writePos_ = 0;
    bool open_ = false;
};

}  // namespace q407::panel
