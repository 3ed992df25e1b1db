#include "sim/host/portcls/wave_client_buffer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

std::string TagName(uintptr_t tag) {
    return "tag " + std::to_string(static_cast<unsigned long long>(tag));
}

}  // namespace

WaveClientBuffer::WaveClientBuffer(bool capture, uint8_t* storage, size_t capacity,
                                   size_t blockAlign, size_t maxMapping)
    : capture_(capture),
      storage_(storage),
      blockAlign_(blockAlign == 0 ? 1 : blockAlign),
      capacity_(capacity / blockAlign_ * blockAlign_),
      maxMapping_(std::max(blockAlign_, maxMapping / blockAlign_ * blockAlign_)) {}

size_t WaveClientBuffer::Write(const void* bytes, size_t count) {
    if (capture_ || bytes == nullptr) return 0;
    std::lock_guard lock(mutex_);
    const size_t free = capacity_ - static_cast<size_t>(client_ - released_);
    const size_t take = std::min(free, count);
    const auto* from = static_cast<const uint8_t*>(bytes);
    size_t done = 0;
    while (done < take) {
        const size_t at = static_cast<size_t>((client_ + done) % capacity_);
        const size_t piece = std::min(take - done, capacity_ - at);
        std::memcpy(storage_ + at, from + done, piece);
        done += piece;
    }
    client_ += take;
    return take;
}

size_t WaveClientBuffer::Read(void* bytes, size_t count) {
    if (!capture_ || bytes == nullptr) return 0;
    std::lock_guard lock(mutex_);
    const size_t captured = static_cast<size_t>(released_ - client_);
    const size_t take = std::min(captured, count);
    auto* to = static_cast<uint8_t*>(bytes);
    size_t done = 0;
    while (done < take) {
        const size_t at = static_cast<size_t>((client_ + done) % capacity_);
        const size_t piece = std::min(take - done, capacity_ - at);
        std::memcpy(to + done, storage_ + at, piece);
        done += piece;
    }
    client_ += take;
    return take;
}

size_t WaveClientBuffer::Queued() const {
    std::lock_guard lock(mutex_);
    return capture_ ? static_cast<size_t>(released_ - client_)
                    : static_cast<size_t>(client_ - released_);
}

size_t WaveClientBuffer::MappableLocked() const {
    if (capacity_ == 0) return 0;
    // Playback: what the client wrote beyond the last mapping. Recording: the room the client
    // left free beyond the last mapping.
    const size_t available = capture_ ? capacity_ - static_cast<size_t>(mapped_ - client_)
                                      : static_cast<size_t>(client_ - mapped_);
    return available / blockAlign_ * blockAlign_;
}

size_t WaveClientBuffer::Mappable() const {
    std::lock_guard lock(mutex_);
    return MappableLocked();
}

size_t WaveClientBuffer::OutstandingMappings() const {
    std::lock_guard lock(mutex_);
    return outstanding_.size();
}

bool WaveClientBuffer::GetMapping(uintptr_t tag, uint8_t** address, uint32_t* byteCount) {
    std::lock_guard lock(mutex_);
    for (const Mapping& m : outstanding_)
        if (m.tag == tag)
            BugCheck("IPortWavePciStream::GetMapping",
                     TagName(tag) + " is already held by an unreleased mapping");
    // mapped_ is always a whole number of frames into the ring, and so is the capacity, so the
    // piece up to the ring's end is whole frames too.
    const size_t at = static_cast<size_t>(mapped_ % capacity_);
    const size_t piece = std::min({MappableLocked(), maxMapping_, capacity_ - at});
    if (piece == 0) return false;
    outstanding_.push_back(Mapping{tag, mapped_, static_cast<uint32_t>(piece), false});
    mapped_ += piece;
    totalMapped_ += piece;
    *address = storage_ + at;
    *byteCount = static_cast<uint32_t>(piece);
    return true;
}

void WaveClientBuffer::ReleaseMapping(uintptr_t tag) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                           [tag](const Mapping& m) { return m.tag == tag && !m.released; });
    if (it == outstanding_.end())
        BugCheck("IPortWavePciStream::ReleaseMapping",
                 TagName(tag) + " is not held by any mapping (released twice or never handed out)");
    it->released = true;
    // Bytes come free (playback) or become readable (recording) in ring order only.
    while (!outstanding_.empty() && outstanding_.front().released) {
        released_ = outstanding_.front().start + outstanding_.front().length;
        totalReleased_ += outstanding_.front().length;
        outstanding_.pop_front();
    }
}

size_t WaveClientBuffer::RevokeAll(uintptr_t* firstTag, uintptr_t* lastTag) {
    std::lock_guard lock(mutex_);
    const size_t count = outstanding_.size();
    if (count != 0) {
        if (firstTag != nullptr) *firstTag = outstanding_.front().tag;
        if (lastTag != nullptr) *lastTag = outstanding_.back().tag;
        // Recording room goes back to the client; playback bytes handed out are gone, as the
        // miniport may already have consumed part of them.
        if (capture_)
            mapped_ = released_;
        else
            released_ = mapped_;
        outstanding_.clear();
    }
    return count;
}

void WaveClientBuffer::Reset() {
    std::lock_guard lock(mutex_);
    if (!outstanding_.empty())
        BugCheck("IPortWavePciStream", "client buffer reset while " +
                                           std::to_string(outstanding_.size()) +
                                           " mappings are still held by the miniport");
    // Captured bytes already released are the client's, as a completed read is; queued
    // playback bytes are dropped, as cancelled writes are.
    if (capture_)
        mapped_ = released_;
    else
        client_ = mapped_ = released_ = 0;
}

uint64_t WaveClientBuffer::BytesMapped() const {
    std::lock_guard lock(mutex_);
    return totalMapped_;
}

uint64_t WaveClientBuffer::BytesReleased() const {
    std::lock_guard lock(mutex_);
    return totalReleased_;
}

}  // namespace q407::sim::portcls
