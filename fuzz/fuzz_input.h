// What every fuzzer shares: reading its input as a stream of little-endian values (zeros past the
// end), and a check that stops the run where a property fails.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407::fuzzing {

inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    uint64_t Quad() { return static_cast<uint64_t>(Word()) | static_cast<uint64_t>(Word()) << 32; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace q407::fuzzing
