// The control message accessors at arbitrary offsets, checked against a byte-wise model of the
// 128-byte record: an offset inside the message reads and writes exactly its bytes, any other
// offset reads 0 and leaves the message as it was. The message sits at the end of an exactly
// sized heap block so that any access past it is an overread the sanitizer reports.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "shared/control_message.h"

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;

// Offsets near the message, near the ends of the 32-bit range, and anything at all.
uint32_t PickOffset(Input& in) {
    const uint8_t kind = in.Byte();
    const uint32_t raw = in.Word();
    switch (kind % 4) {
        case 0:
            return raw % 160;
        case 1:
            return 0xFFFFFFFFu - raw % 16;
        case 2:
            return (raw % 40) * 4;
        default:
            return raw;
    }
}

bool WordInside(uint32_t offset, uint32_t bytes) {
    return offset % 4 == 0 && static_cast<uint64_t>(offset) + bytes <= q407::kControlMessageSize;
}

uint64_t ModelRead(const uint8_t* model, uint32_t offset, uint32_t bytes) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(model[offset + i]) << (8 * i);
    return v;
}

void ModelWrite(uint8_t* model, uint32_t offset, uint32_t bytes, uint64_t value) {
    for (uint32_t i = 0; i < bytes; ++i) model[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    auto block = std::make_unique<unsigned char[]>(sizeof(q407::ControlMessage));
    auto* message = new (block.get()) q407::ControlMessage{};
    uint8_t model[q407::kControlMessageSize] = {};
    for (uint32_t i = 0; i < q407::kControlMessageSize; ++i) {
        model[i] = in.Byte();
        reinterpret_cast<unsigned char*>(message)[i] = model[i];
    }

    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        const uint32_t offset = PickOffset(in);
        switch (op % 5) {
            case 0:
                Check(q407::GetU32(*message, offset) ==
                      (WordInside(offset, 4) ? ModelRead(model, offset, 4) : 0));
                break;
            case 1:
                Check(q407::GetU64(*message, offset) ==
                      (WordInside(offset, 8) ? ModelRead(model, offset, 8) : 0));
                break;
            case 2:
                Check(q407::GetU8(*message, offset) == (WordInside(offset, 4) ? model[offset] : 0));
                break;
            case 3: {
                const uint32_t value = in.Word();
                q407::SetU32(*message, offset, value);
                if (WordInside(offset, 4)) ModelWrite(model, offset, 4, value);
                break;
            }
            default: {
                const uint64_t value = in.Quad();
                q407::SetU64(*message, offset, value);
                if (WordInside(offset, 8)) ModelWrite(model, offset, 8, value);
                break;
            }
        }
        Check(std::memcmp(message, model, sizeof(model)) == 0);
    }
    return 0;
}
