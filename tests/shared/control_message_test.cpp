#include "shared/control_message.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "shared/device_interface.h"

namespace q407 {
namespace {

std::array<uint8_t, 128> Bytes(const ControlMessage& m) {
    std::array<uint8_t, 128> b;
    std::memcpy(b.data(), &m, 128);
    return b;
}

TEST(ControlMessageFields, SixtyFourBitFieldsAreTwoWordsLowFirst) {
    ControlMessage m = MakeControlMessage(AsioStreamingType::SetAsioChannelBuffer);
    SetU64(m, cm::kSharedBufferKey, 0x1122334455667788ull);
    const auto b = Bytes(m);
    EXPECT_EQ(b[104], 0x88);
    EXPECT_EQ(b[107], 0x55);
    EXPECT_EQ(b[108], 0x44);
    EXPECT_EQ(b[111], 0x11);
    EXPECT_EQ(GetU32(m, 104), 0x55667788u);
    EXPECT_EQ(GetU32(m, 108), 0x11223344u);
    EXPECT_EQ(GetU64(m, cm::kSharedBufferKey), 0x1122334455667788ull);

    // A 32-bit client's address: low word only, high word zero.
    ControlMessage c{};
    SetU32(c, cm::kBufferAddress, 0x8000F000u);
    EXPECT_EQ(GetU64(c, cm::kBufferAddress), 0x8000F000ull);
}

TEST(ControlMessageFields, HeaderAndByteFields) {
    ControlMessage m = MakeControlMessage(DeviceServicesType::WriteFirmwareBlock);
    const auto b = Bytes(m);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[8], 14);
    for (size_t i = 12; i < 128; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(GetU32(m, cm::kClass), 1u);
    EXPECT_EQ(GetU32(m, cm::kType), 14u);

    SetU32(m, cm::kByteValue, 0xABCD0081u);
    EXPECT_EQ(GetU8(m, cm::kByteValue), 0x81);
}

TEST(ControlMessageFields, OffsetsOutsideTheMessageAreHarmless) {
    ControlMessage m{};
    SetU32(m, 126, 0xFFFFFFFFu);  // not on a word
    SetU32(m, 128, 0xFFFFFFFFu);  // past the end
    SetU64(m, 124, ~0ull);        // second word past the end
    for (uint8_t byte : Bytes(m)) ASSERT_EQ(byte, 0);
    EXPECT_EQ(GetU32(m, 128), 0u);
    EXPECT_EQ(GetU64(m, 124), 0u);
    SetU32(m, 124, 7);
    EXPECT_EQ(GetU32(m, 124), 7u);
}

TEST(ControlMessageFields, OffsetsNearTheTopOfTheRangeDoNotWrapIntoTheMessage) {
    ControlMessage m{};
    for (uint32_t& word : m.parameters) word = 0x5A5A5A5Au;
    const auto before = Bytes(m);
    // offset + 4 (or + 8) wraps to a small number for these.
    for (uint32_t offset : {0xFFFFFFFCu, 0xFFFFFFF8u, 0xFFFFFF80u}) {
        EXPECT_EQ(GetU32(m, offset), 0u) << offset;
        EXPECT_EQ(GetU64(m, offset), 0u) << offset;
        EXPECT_EQ(GetU8(m, offset), 0u) << offset;
        SetU32(m, offset, 0x11111111u);
        SetU64(m, offset, 0x2222222222222222ull);
    }
    EXPECT_EQ(Bytes(m), before);
    SetU64(m, 120, 0x0102030405060708ull);  // the last quad in the message
    EXPECT_EQ(GetU64(m, 120), 0x0102030405060708ull);
}

TEST(DeviceInterface, GuidBytesInMemoryOrder) {
    std::array<uint8_t, 16> b;
    std::memcpy(b.data(), &GUID_DEVINTERFACE_Q407, 16);
    const std::array<uint8_t, 16> expected = {0xD5, 0x2C, 0x87, 0xCE, 0xFC, 0xE4, 0xC5, 0x4E,
                                              0xA9, 0x92, 0x5B, 0xF4, 0xD3, 0x95, 0xB3, 0x50};
    EXPECT_EQ(b, expected);
    DeviceInterfaceGuid other = GUID_DEVINTERFACE_Q407;
    EXPECT_TRUE(other == GUID_DEVINTERFACE_Q407);
    other.Data4[7] = 0x51;
    EXPECT_FALSE(other == GUID_DEVINTERFACE_Q407);
}

}  // namespace
}  // namespace q407
