// Power-of-two single-producer single-consumer ring of fixed-size elements. The record layout is
// shared by both kernel drivers: the WDM audio driver creates stream rings and hands the engine a
// pointer to them, so the layout below must not change.
//
// Indices run free over 0 .. 2*size-1, which tells a full ring (difference size) from an empty one
// (difference 0) without a counter or a wasted slot. The producer alone writes the write index and
// the consumer alone the read index, each only after its copy is done, so no lock is needed.
// Nothing here allocates, locks or waits; every operation may run at raised IRQL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407 {

struct RingBuffer {
    int32_t size;         // capacity in elements, a power of two
    int32_t writeIndex;   // producer position, 0 .. 2*size-1
    int32_t readIndex;    // consumer position, 0 .. 2*size-1
    int32_t bigMask;      // 2*size - 1: applied after every advance and to index differences
    int32_t smallMask;    // size - 1: index to element slot
    int32_t elementSize;  // bytes per element
    uint8_t* buffer;      // size * elementSize bytes, owned by whoever created the ring
    int32_t channels;     // interleaved channels per frame (1 for byte queues)
    uint8_t readPending;  // a reader holds a region for later consumption
    // Recorded by Initialize for the creator's benefit; nothing reads them.
    int32_t sampleWidth;  // bytes per sample, as the creator passed it
    uint8_t* bufferEnd;   // one past the last storage byte
};

static_assert(sizeof(void*) == 8, "the shared ring layout has a 64-bit buffer pointer");
static_assert(offsetof(RingBuffer, size) == 0);
static_assert(offsetof(RingBuffer, writeIndex) == 4);
static_assert(offsetof(RingBuffer, readIndex) == 8);
static_assert(offsetof(RingBuffer, bigMask) == 12);
static_assert(offsetof(RingBuffer, smallMask) == 16);
static_assert(offsetof(RingBuffer, elementSize) == 20);
static_assert(offsetof(RingBuffer, buffer) == 24);
static_assert(offsetof(RingBuffer, channels) == 32);
static_assert(offsetof(RingBuffer, readPending) == 36);
static_assert(offsetof(RingBuffer, sampleWidth) == 40);
static_assert(offsetof(RingBuffer, bufferEnd) == 48);
static_assert(sizeof(RingBuffer) == 56);

// Largest element count whose doubled index range still fits the 32-bit indices.
inline constexpr int32_t kRingMaxElements = 1 << 30;

// All counts are in elements. A null ring reads as empty and full (0 available either way), and
// operations on it do nothing.

// 0 on success. -1, leaving the record untouched, when elementCount is not a power of two (or
// exceeds kRingMaxElements), when ring or storage is null, or elementSize is not positive.
int32_t Initialize(RingBuffer* ring, int32_t elementSize, int32_t elementCount, void* storage,
                   int32_t channels, int32_t sampleWidth);

// Both indices to 0; only while producer and consumer are idle. A null ring is ignored.
void Flush(RingBuffer* ring);

// (write - read) & bigMask.
int32_t GetReadAvailable(const RingBuffer* ring);
// size - GetReadAvailable.
int32_t GetWriteAvailable(const RingBuffer* ring);

// index <- (index + n) & bigMask. No check against the available amount.
void AdvanceWriteIndex(RingBuffer* ring, int32_t n);
void AdvanceReadIndex(RingBuffer* ring, int32_t n);

// Up to n readable elements as one or two regions; returns their total m. When the data wraps,
// the second region starts at the buffer; otherwise second is null with count 0. The indices do
// not change. A region never reaches outside the storage, and n <= 0 gives 0.
int32_t GetReadRegions(const RingBuffer* ring, int32_t n, void** first, int32_t* firstCount,
                       void** second, int32_t* secondCount);
// As GetReadRegions, with the first pointer moved on by byteOffset bytes (one channel inside an
// interleaved frame); the second pointer is not moved.
int32_t GetReadRegionsAt(const RingBuffer* ring, int32_t n, void** first, int32_t* firstCount,
                         void** second, int32_t* secondCount, int32_t byteOffset);
// Up to n writable elements, split the same way from the write slot.
int32_t GetWriteRegions(const RingBuffer* ring, int32_t n, void** first, int32_t* firstCount,
                        void** second, int32_t* secondCount);

// Copies min(n, readable) elements to destination, then advances the read index; returns the
// count moved.
int32_t Read(RingBuffer* ring, void* destination, int32_t n);
// Copies min(n, writable) elements from source, then advances the write index; returns the count
// moved.
int32_t Write(RingBuffer* ring, const void* source, int32_t n);

}  // namespace q407
