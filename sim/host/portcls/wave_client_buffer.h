// The client's side of a wave-PCI pin: a ring of bytes that the pin owns for the client, cut
// into mappings that the miniport asks for by tag and gives back by tag.
//
// Playback: the client writes bytes; a mapping hands out the next whole frames the client wrote
// and the miniport has not yet been given; releasing a mapping frees its bytes for new writes.
// Recording: a mapping hands out the next room the client left free; releasing it makes its
// bytes readable. Mappings are handed out and their bytes freed in ring order, so a mapping
// released early waits for the ones before it. A mapping never holds a part of a frame and never
// wraps around the ring's end.
//
// Thread-safe: the client's thread writes and reads while the miniport maps and releases at
// DISPATCH_LEVEL. Nothing here calls out, so no lock is held across a call into the miniport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

namespace q407::sim::portcls {

class WaveClientBuffer {
  public:
    // storage: capacity bytes, which the owner keeps alive; capacity and maxMapping are whole
    // frames of blockAlign bytes (the constructor rounds them down).
    WaveClientBuffer(bool capture, uint8_t* storage, size_t capacity, size_t blockAlign,
                     size_t maxMapping);

    bool Capture() const { return capture_; }
    size_t Capacity() const { return capacity_; }
    size_t BlockAlign() const { return blockAlign_; }
    size_t MaxMapping() const { return maxMapping_; }

    // Playback: copies as many bytes as fit; the count taken.
    size_t Write(const void* bytes, size_t count);
    // Recording: takes up to count captured bytes; the count taken.
    size_t Read(void* bytes, size_t count);

    // Playback: bytes written and not yet released by the miniport. Recording: bytes captured
    // and not yet read.
    size_t Queued() const;
    // Bytes a mapping could hand out now (whole frames).
    size_t Mappable() const;
    size_t OutstandingMappings() const;

    // The next mapping for the tag; false when nothing can be handed out. A tag that is already
    // outstanding is a verifier stop.
    bool GetMapping(uintptr_t tag, uint8_t** address, uint32_t* byteCount);
    // A tag that is not outstanding (released twice or never handed out) is a verifier stop.
    void ReleaseMapping(uintptr_t tag);

    // Every outstanding mapping is taken back (the miniport has revoked them): recording room
    // they covered is free again, their bytes lost. Gives the first and last tag and the count.
    size_t RevokeAll(uintptr_t* firstTag, uintptr_t* lastTag);
    // The pin stopped: queued playback bytes are discarded; captured bytes stay readable.
    // Outstanding mappings must have been revoked first.
    void Reset();

    // Totals since creation, for reports and tests.
    uint64_t BytesMapped() const;
    uint64_t BytesReleased() const;

  private:
    struct Mapping {
        uintptr_t tag;
        uint64_t start;  // ring position (monotonic)
        uint32_t length;
        bool released;
    };
    size_t MappableLocked() const;

    const bool capture_;
    uint8_t* const storage_;
    const size_t blockAlign_;
    const size_t capacity_;
    const size_t maxMapping_;

    mutable std::mutex mutex_;
    // Monotonic ring positions. Playback: released_ <= mapped_ <= client_ (bytes written).
    // Recording: client_ (bytes read) <= released_ <= mapped_.
    uint64_t client_ = 0;
    uint64_t mapped_ = 0;
    uint64_t released_ = 0;
    uint64_t totalMapped_ = 0;
    uint64_t totalReleased_ = 0;
    std::deque<Mapping> outstanding_;  // in ring order
};

}  // namespace q407::sim::portcls
