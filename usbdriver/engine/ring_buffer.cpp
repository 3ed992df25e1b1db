#include "usbdriver/engine/ring_buffer.h"

#include "platform/kernel/wdk.h"

namespace q407 {
namespace {

// The two ends may run on different processors: each end publishes its index only after its
// copy, and reads the other end's index before touching the data it describes.
static_assert(sizeof(LONG) == sizeof(int32_t));
int32_t LoadIndex(const int32_t* index) {
    return ReadAcquire(reinterpret_cast<const volatile LONG*>(index));
}
void StoreIndex(int32_t* index, int32_t value) {
    WriteRelease(reinterpret_cast<volatile LONG*>(index), value);
}

bool IsPowerOfTwo(int32_t n) {
    return n > 0 && (n & (n - 1)) == 0;
}

// Stored elements, never more than the capacity: an index advanced past the other end (a caller
// moving by a whole fixed slot) must not let a region reach outside the storage.
int32_t Readable(const RingBuffer* ring) {
    const int32_t stored =
        (LoadIndex(&ring->writeIndex) - LoadIndex(&ring->readIndex)) & ring->bigMask;
    return stored > ring->size ? ring->size : stored;
}

void SetOut(void** out, void* value) {
    if (out != nullptr) *out = value;
}
void SetOut(int32_t* out, int32_t value) {
    if (out != nullptr) *out = value;
}

int32_t Regions(const RingBuffer* ring, int32_t index, int32_t available, int32_t n, void** first,
                int32_t* firstCount, void** second, int32_t* secondCount) {
    int32_t m = n < available ? n : available;
    if (m < 0) m = 0;
    const int32_t slot = index & ring->smallMask;
    uint8_t* const start =
        ring->buffer == nullptr
            ? nullptr
            : ring->buffer + static_cast<size_t>(slot) * static_cast<size_t>(ring->elementSize);
    SetOut(first, start);
    if (slot + m > ring->size) {
        const int32_t head = ring->size - slot;
        SetOut(firstCount, head);
        SetOut(second, ring->buffer);
        SetOut(secondCount, m - head);
    } else {
        SetOut(firstCount, m);
        SetOut(second, nullptr);
        SetOut(secondCount, 0);
    }
    return m;
}

int32_t EmptyRegions(void** first, int32_t* firstCount, void** second, int32_t* secondCount) {
    SetOut(first, nullptr);
    SetOut(firstCount, 0);
    SetOut(second, nullptr);
    SetOut(secondCount, 0);
    return 0;
}

size_t Bytes(const RingBuffer* ring, int32_t count) {
    return static_cast<size_t>(count) * static_cast<size_t>(ring->elementSize);
}

}  // namespace

int32_t Initialize(RingBuffer* ring, int32_t elementSize, int32_t elementCount, void* storage,
                   int32_t channels, int32_t sampleWidth) {
    if (ring == nullptr || storage == nullptr || elementSize <= 0) return -1;
    if (!IsPowerOfTwo(elementCount) || elementCount > kRingMaxElements) return -1;
    uint8_t* const bytes = static_cast<uint8_t*>(storage);
    ring->size = elementCount;
    ring->bigMask = 2 * elementCount - 1;
    ring->smallMask = elementCount - 1;
    ring->elementSize = elementSize;
    ring->buffer = bytes;
    ring->channels = channels;
    ring->readPending = 0;
    ring->sampleWidth = sampleWidth;
    ring->bufferEnd = bytes + static_cast<size_t>(elementCount) * static_cast<size_t>(elementSize);
    StoreIndex(&ring->writeIndex, 0);
    StoreIndex(&ring->readIndex, 0);
    return 0;
}

void Flush(RingBuffer* ring) {
    if (ring == nullptr) return;
    StoreIndex(&ring->writeIndex, 0);
    StoreIndex(&ring->readIndex, 0);
}

int32_t GetReadAvailable(const RingBuffer* ring) {
    if (ring == nullptr) return 0;
    return (LoadIndex(&ring->writeIndex) - LoadIndex(&ring->readIndex)) & ring->bigMask;
}

int32_t GetWriteAvailable(const RingBuffer* ring) {
    if (ring == nullptr) return 0;
    return ring->size - GetReadAvailable(ring);
}

void AdvanceWriteIndex(RingBuffer* ring, int32_t n) {
    if (ring == nullptr) return;
    // Unsigned sum: a huge n wraps instead of overflowing; the mask keeps the range.
    const uint32_t next = static_cast<uint32_t>(ring->writeIndex) + static_cast<uint32_t>(n);
    StoreIndex(&ring->writeIndex, static_cast<int32_t>(next) & ring->bigMask);
}

void AdvanceReadIndex(RingBuffer* ring, int32_t n) {
    if (ring == nullptr) return;
    const uint32_t next = static_cast<uint32_t>(ring->readIndex) + static_cast<uint32_t>(n);
    StoreIndex(&ring->readIndex, static_cast<int32_t>(next) & ring->bigMask);
}

int32_t GetReadRegions(const RingBuffer* ring, int32_t n, void** first, int32_t* firstCount,
                       void** second, int32_t* secondCount) {
    if (ring == nullptr) return EmptyRegions(first, firstCount, second, secondCount);
    const int32_t available = Readable(ring);
    return Regions(ring, LoadIndex(&ring->readIndex), available, n, first, firstCount, second,
                   secondCount);
}

int32_t GetReadRegionsAt(const RingBuffer* ring, int32_t n, void** first, int32_t* firstCount,
                         void** second, int32_t* secondCount, int32_t byteOffset) {
    void* start = nullptr;
    const int32_t m = GetReadRegions(ring, n, &start, firstCount, second, secondCount);
    if (start != nullptr) start = static_cast<uint8_t*>(start) + byteOffset;
    SetOut(first, start);
    return m;
}

int32_t GetWriteRegions(const RingBuffer* ring, int32_t n, void** first, int32_t* firstCount,
                        void** second, int32_t* secondCount) {
    if (ring == nullptr) return EmptyRegions(first, firstCount, second, secondCount);
    const int32_t available = ring->size - Readable(ring);
    return Regions(ring, LoadIndex(&ring->writeIndex), available, n, first, firstCount, second,
                   secondCount);
}

int32_t Read(RingBuffer* ring, void* destination, int32_t n) {
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    const int32_t m = GetReadRegions(ring, n, &first, &firstCount, &second, &secondCount);
    if (m == 0 || destination == nullptr) return 0;
    uint8_t* out = static_cast<uint8_t*>(destination);
    RtlCopyMemory(out, first, Bytes(ring, firstCount));
    if (secondCount > 0)
        RtlCopyMemory(out + Bytes(ring, firstCount), second, Bytes(ring, secondCount));
    AdvanceReadIndex(ring, m);
    return m;
}

int32_t Write(RingBuffer* ring, const void* source, int32_t n) {
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    const int32_t m = GetWriteRegions(ring, n, &first, &firstCount, &second, &secondCount);
    if (m == 0 || source == nullptr) return 0;
    const uint8_t* in = static_cast<const uint8_t*>(source);
    RtlCopyMemory(first, in, Bytes(ring, firstCount));
    if (secondCount > 0)
        RtlCopyMemory(second, in + Bytes(ring, firstCount), Bytes(ring, secondCount));
    AdvanceWriteIndex(ring, m);
    return m;
}

}  // namespace q407
