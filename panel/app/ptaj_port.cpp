#include "panel/app/ptaj_port.h"

#include <cstring>

namespace q407::panel {

bool PTAJPort::begin() {
    if (count_ >= kPortStreamBytes) return false;
    writePos_ = count_;
    open_ = true;
    return true;
}

bool PTAJPort::put(uint8_t byte) {
    if (writePos_ >= kPortStreamBytes) return false;
    bytes_[writePos_] = byte;
    ++writePos_;
    return true;
}

void PTAJPort::commit() {
    // A commit without an open stream would take whatever writePos holds (1,024 once closed)
    // as bytes to send.
    if (open_) count_ = writePos_;
    open_ = false;
    writePos_ = kPortStreamBytes;
}

void PTAJPort::abandon() {
    if (open_ && writePos_ > count_) std::memset(bytes_ + count_, 0, writePos_ - count_);
    open_ = false;
    writePos_ = kPortStreamBytes;
}

void PTAJPort::clear() {
    count_ = 0;
    writePos_ = 0;
    open_ = false;
    std::memset(bytes_, 0, sizeof(bytes_));
}

bool PTAJPort::flush() {
    bool sent = false;
    if (sink_ != nullptr && sinkContext_ != nullptr) sent = sink_(sinkContext_, bytes_, count_);
    clear();
    return sent;
}

void PTAJPort::setSink(PortSink sink, void* context) {
    sink_ = sink;
    sinkContext_ = context;
}

}  // namespace q407::panel
