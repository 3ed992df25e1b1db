// Random operation sequences on one ring, checked against a plain queue: counts, contents,
// regions inside the storage, and no byte written outside it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "usbdriver/engine/ring_buffer.h"

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int32_t count = 1 << (in.Byte() % 9);  // 1 .. 256 elements
    const int32_t elementSize = 1 + in.Byte() % 8;
    const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(elementSize);
    std::vector<uint8_t> memory(kGuard + bytes + kGuard, kGuardByte);
    uint8_t* storage = memory.data() + kGuard;

    q407::RingBuffer ring;
    Check(q407::Initialize(&ring, elementSize, count, storage, 1, elementSize) == 0);

    std::deque<std::vector<uint8_t>> model;
    uint8_t stamp = 0;
    std::vector<uint8_t> buffer(bytes + static_cast<size_t>(elementSize) * 4);

    auto inStorage = [&](void* p, int32_t n) {
        if (n == 0) return true;
        const uint8_t* b = static_cast<const uint8_t*>(p);
        return b >= storage && b + static_cast<size_t>(n) * elementSize <= storage + bytes;
    };
    auto nextElement = [&] {
        std::vector<uint8_t> e(static_cast<size_t>(elementSize));
        for (auto& b : e) b = stamp++;
        return e;
    };

    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        const int32_t n = static_cast<int32_t>(in.Byte()) - 8;  // some negative requests too
        const int32_t stored = static_cast<int32_t>(model.size());
        Check(q407::GetReadAvailable(&ring) == stored);
        Check(q407::GetWriteAvailable(&ring) == count - stored);
        const int32_t wantRead = n < 0 ? 0 : (n < stored ? n : stored);
        const int32_t wantWrite = n < 0 ? 0 : (n < count - stored ? n : count - stored);

        switch (op % 6) {
            case 0: {  // Write
                std::vector<std::vector<uint8_t>> elements;
                for (int32_t i = 0; i < (n < 0 ? 0 : n) && i < count + 4; ++i) {
                    elements.push_back(nextElement());
                    std::memcpy(buffer.data() + static_cast<size_t>(i) * elementSize,
                                elements.back().data(), static_cast<size_t>(elementSize));
                }
                const int32_t asked = static_cast<int32_t>(elements.size());
                const int32_t moved = q407::Write(&ring, buffer.data(), n < 0 ? n : asked);
                Check(moved == (asked < count - stored ? asked : count - stored));
                for (int32_t i = 0; i < moved; ++i)
                    model.push_back(elements[static_cast<size_t>(i)]);
                break;
            }
            case 1: {  // Read
                const int32_t asked = n < 0 ? n : (n < count + 4 ? n : count + 4);
                const int32_t moved = q407::Read(&ring, buffer.data(), asked);
                Check(moved == (asked < 0 ? 0 : (asked < stored ? asked : stored)));
                for (int32_t i = 0; i < moved; ++i) {
                    Check(std::memcmp(buffer.data() + static_cast<size_t>(i) * elementSize,
                                      model.front().data(), static_cast<size_t>(elementSize)) == 0);
                    model.pop_front();
                }
                break;
            }
            case 2:    // read regions, consume them in place
            case 3: {  // the same at a byte offset inside the first element
                void* first = nullptr;
                void* second = nullptr;
                int32_t firstCount = -1;
                int32_t secondCount = -1;
                const int32_t offset = op % 6 == 3 ? in.Byte() % elementSize : 0;
                const int32_t m = q407::GetReadRegionsAt(&ring, n, &first, &firstCount, &second,
                                                         &secondCount, offset);
                Check(m == wantRead && firstCount + secondCount == m);
                Check(firstCount >= 0 && secondCount >= 0);
                uint8_t* start = static_cast<uint8_t*>(first) - offset;
                Check(inStorage(start, firstCount) && inStorage(second, secondCount));
                Check(secondCount == 0 ? second == nullptr : second == storage);
                for (int32_t i = 0; i < m; ++i) {
                    const uint8_t* e = i < firstCount
                                           ? start + static_cast<size_t>(i) * elementSize
                                           : static_cast<uint8_t*>(second) +
                                                 static_cast<size_t>(i - firstCount) * elementSize;
                    Check(std::memcmp(e, model.front().data(), static_cast<size_t>(elementSize)) ==
                          0);
                    model.pop_front();
                }
                q407::AdvanceReadIndex(&ring, m);
                break;
            }
            case 4: {  // write regions, fill them in place
                void* first = nullptr;
                void* second = nullptr;
                int32_t firstCount = -1;
                int32_t secondCount = -1;
                const int32_t m =
                    q407::GetWriteRegions(&ring, n, &first, &firstCount, &second, &secondCount);
                Check(m == wantWrite && firstCount + secondCount == m);
                Check(inStorage(first, firstCount) && inStorage(second, secondCount));
                for (int32_t i = 0; i < m; ++i) {
                    uint8_t* e =
                        i < firstCount
                            ? static_cast<uint8_t*>(first) + static_cast<size_t>(i) * elementSize
                            : static_cast<uint8_t*>(second) +
                                  static_cast<size_t>(i - firstCount) * elementSize;
                    model.push_back(nextElement());
                    std::memcpy(e, model.back().data(), static_cast<size_t>(elementSize));
                }
                q407::AdvanceWriteIndex(&ring, m);
                break;
            }
            default:
                if (op % 32 == 5) {
                    q407::Flush(&ring);
                    model.clear();
                }
                break;
        }
        Check(ring.writeIndex >= 0 && ring.writeIndex < 2 * count);
        Check(ring.readIndex >= 0 && ring.readIndex < 2 * count);
    }
    for (size_t i = 0; i < kGuard; ++i) {
        Check(memory[i] == kGuardByte && memory[kGuard + bytes + i] == kGuardByte);
    }
    return 0;
}
