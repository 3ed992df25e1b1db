// The panel's settings record: its defaults and validation, the routing resets of the settings
// block, the "/default" switch, and loading and saving through a profile.
#include "panel/app/panel_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace q407::panel {
namespace {

// A profile in memory; counts writes and can refuse them.
class MapProfile final : public framework::ProfileStore {
  public:
    bool ReadBinary(const char* section, const char* entry, std::vector<uint8_t>& value) override {
        auto it = values.find(Key(section, entry));
        if (it == values.end()) return false;
        value = it->second;
        return true;
    }
    bool WriteBinary(const char* section, const char* entry, const uint8_t* data,
                     size_t size) override {
        ++writes;
        if (refuseWrites) return false;
        values[Key(section, entry)] = std::vector<uint8_t>(data, data + size);
        return true;
    }
    static std::string Key(const char* section, const char* entry) {
        return std::string(section) + "\\" + entry;
    }
    std::map<std::string, std::vector<uint8_t>> values;
    int writes = 0;
    bool refuseWrites = false;
};

PanelConfig Defaults() {
    PanelConfig c;
    makeDefaultConfig(&c, nullptr);
    return c;
}

TEST(PanelConfigTest, DefaultsWithoutADevice) {
    PanelConfig c;
    std::memset(&c, 0x5A, sizeof(c));
    makeDefaultConfig(&c, nullptr);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(c.volume[i], 127);
        EXPECT_EQ(c.mute[i], 0);
    }
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(c.pairLink[p], 1);
        EXPECT_EQ(c.levelMode[p], 0);
    }
    EXPECT_EQ(c.spdifInput, 0);
    EXPECT_EQ(c.autoClock, 0);
    EXPECT_EQ(c.sampleRate, 44100);
    EXPECT_EQ(c.digitalFormat, 0);
    EXPECT_EQ(c.usbBufferCount, 4);
    EXPECT_EQ(c.latency, 512);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&c);
    for (size_t i = 56; i < 356; ++i) ASSERT_EQ(bytes[i], 0) << i;  // versions and reserved
    // The defaults are already valid.
    PanelConfig v = c;
    validateConfig(&v);
    EXPECT_EQ(std::memcmp(&v, &c, sizeof(c)), 0);
}

TEST(PanelConfigTest, ValidationBringsEveryFieldIntoRange) {
    PanelConfig c = Defaults();
    c.sampleRate = 22050;
    c.usbBufferCount = 9;
    c.latency = 2048;
    c.volume[3] = 200;
    validateConfig(&c);
    EXPECT_EQ(c.sampleRate, 44100);
    EXPECT_EQ(c.usbBufferCount, 4);
    EXPECT_EQ(c.latency, 2048);
    EXPECT_EQ(c.volume[3], 127);

    // Every accepted value survives; each neighbour outside the range is replaced.
    for (int32_t rate : {44100, 48000, 88200, 96000}) {
        c.sampleRate = rate;
        validateConfig(&c);
        EXPECT_EQ(c.sampleRate, rate);
    }
    for (int32_t n = 2; n <= 7; ++n) {
        c.usbBufferCount = n;
        validateConfig(&c);
        EXPECT_EQ(c.usbBufferCount, n);
    }
    for (int32_t n : {1, 8, -1, 0}) {
        c.usbBufferCount = n;
        validateConfig(&c);
        EXPECT_EQ(c.usbBufferCount, 4) << n;
    }
    for (int32_t l : {32, 64, 128, 256, 512, 1024, 2048}) {
        c.latency = l;
        validateConfig(&c);
        EXPECT_EQ(c.latency, l);
    }
    for (int32_t l : {0, 31, 33, 4096, -512, 500}) {
        c.latency = l;
        validateConfig(&c);
        EXPECT_EQ(c.latency, 512) << l;
    }
}

TEST(PanelConfigTest, AnAllFFRecordValidatesToItsReplacements) {
    PanelConfig c;
    fillInvalid(&c);
    EXPECT_FALSE(holdsSettings(c));
    validateConfig(&c);
    EXPECT_EQ(c.spdifInput, 0);
    EXPECT_EQ(c.autoClock, 0);
    EXPECT_EQ(c.digitalFormat, 0);
    EXPECT_EQ(c.sampleRate, 44100);
    EXPECT_EQ(c.usbBufferCount, 4);
    EXPECT_EQ(c.latency, 512);
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(c.levelMode[p], 0);
        EXPECT_EQ(c.pairLink[p], 1);
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(c.mute[i], 0);
        EXPECT_EQ(c.volume[i], 127);
    }
    EXPECT_TRUE(holdsSettings(c));
    // Switches accept 0 and 1 only.
    c.autoClock = 1;
    c.spdifInput = 1;
    c.digitalFormat = 1;
    c.levelMode[2] = 1;
    c.pairLink[1] = 0;
    c.mute[5] = 1;
    c.volume[0] = 0;
    PanelConfig kept = c;
    validateConfig(&c);
    EXPECT_EQ(std::memcmp(&kept, &c, sizeof(c)), 0);
    c.autoClock = 2;
    c.levelMode[2] = 2;
    c.mute[5] = 2;
    validateConfig(&c);
    EXPECT_EQ(c.autoClock, 0);
    EXPECT_EQ(c.levelMode[2], 0);
    EXPECT_EQ(c.mute[5], 0);
}

TEST(PanelConfigTest, HoldsSettingsLooksAtEachCheckedField) {
    const PanelConfig base = Defaults();
    EXPECT_TRUE(holdsSettings(base));
    const size_t offsets[] = {20, 24, 28, 32, 36, 40, 44, 48, 52};
    for (size_t offset : offsets) {
        PanelConfig c = base;
        std::memset(reinterpret_cast<uint8_t*>(&c) + offset, 0xFF, 4);
        EXPECT_FALSE(holdsSettings(c)) << offset;
    }
    PanelConfig c = base;
    c.latency = -1;  // not among the checked fields
    EXPECT_TRUE(holdsSettings(c));
}

TEST(MixerResetTest, OutputMapBecomesIdentityAndRouteRecordsKeepTheirLastField) {
    MixerSettings block;
    std::memset(&block, 0x77, sizeof(block));
    for (int r = 0; r < 64; ++r) block.routeTable.records[r].inputSource = r - 1;
    resetOutputMap(&block);
    clearRouteTable(&block);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(block.outputMap.entries[i], i);
    for (int r = 0; r < 64; ++r) {
        const RouteRecord& rec = block.routeTable.records[r];
        EXPECT_EQ(rec.routeOut, 0);
        EXPECT_EQ(rec.routeIn, 0);
        EXPECT_EQ(rec.targetKind, 0);
        EXPECT_EQ(rec.targetSide, 0);
        EXPECT_EQ(rec.targetChannel, 0);
        EXPECT_EQ(rec.kindMute, 0);
        EXPECT_EQ(rec.inputSource, r - 1) << r;
    }
    // Nothing outside the two tables is touched.
    EXPECT_EQ(block.sampleRate, 0x77777777);
    EXPECT_EQ(block.deviceInfo[2], 0x77);
}

TEST(DefaultSwitchTest, OnlyTheExactSingleArgumentCounts) {
    const wchar_t* exact[] = {L"Q407Pan.exe", L"/default"};
    EXPECT_TRUE(defaultRequested(2, exact));
    const wchar_t* capitals[] = {L"Q407Pan.exe", L"/DEFAULT"};
    EXPECT_FALSE(defaultRequested(2, capitals));
    const wchar_t* second[] = {L"Q407Pan.exe", L"/default", L"x"};
    EXPECT_FALSE(defaultRequested(3, second));
    const wchar_t* alone[] = {L"Q407Pan.exe"};
    EXPECT_FALSE(defaultRequested(1, alone));
    const wchar_t* longer[] = {L"Q407Pan.exe", L"/defaults"};
    EXPECT_FALSE(defaultRequested(2, longer));
    const wchar_t* shorter[] = {L"Q407Pan.exe", L"/defaul"};
    EXPECT_FALSE(defaultRequested(2, shorter));
    const wchar_t* dash[] = {L"Q407Pan.exe", L"-default"};
    EXPECT_FALSE(defaultRequested(2, dash));
    const wchar_t* missing[] = {L"Q407Pan.exe", nullptr};
    EXPECT_FALSE(defaultRequested(2, missing));
    EXPECT_FALSE(defaultRequested(2, nullptr));
    EXPECT_FALSE(defaultRequested(0, nullptr));
}

TEST(ProfileTest, SavedValuesLoadBackByteForByte) {
    MapProfile profile;
    PanelConfig c = Defaults();
    c.volume[2] = 33;
    c.driverVersion.major = 1;
    std::memcpy(c.driverVersion.text, "1.4", 4);
    c.reserved[99] = 0xEE;
    MixerSettings block = DefaultMixerSettings();
    block.routeTable.records[63].inputSource = 9;
    saveSettings(profile, c, block);
    ASSERT_EQ(profile.values.count("Q407LXPan\\Q407LXConfig"), 1u);
    ASSERT_EQ(profile.values.count("Q407LXPan\\Q407LXMixer"), 1u);
    EXPECT_EQ(profile.values["Q407LXPan\\Q407LXConfig"].size(), 360u);
    EXPECT_EQ(profile.values["Q407LXPan\\Q407LXMixer"].size(), 1868u);
    EXPECT_EQ(profile.values["Q407LXPan\\Q407LXConfig"][2], 33);

    PanelConfig loaded;
    MixerSettings loadedBlock;
    ASSERT_TRUE(loadConfig(profile, &loaded));
    ASSERT_TRUE(loadMixer(profile, &loadedBlock));
    EXPECT_EQ(std::memcmp(&loaded, &c, sizeof(c)), 0);
    EXPECT_EQ(std::memcmp(&loadedBlock, &block, sizeof(block)), 0);

    // An all-0xFF record is stored and loads back too (the rate check catches it later).
    PanelConfig invalid;
    fillInvalid(&invalid);
    saveSettings(profile, invalid, block);
    ASSERT_TRUE(loadConfig(profile, &loaded));
    EXPECT_FALSE(holdsSettings(loaded));
}

TEST(ProfileTest, MissingOrWrongSizedValuesLoadAsZero) {
    MapProfile profile;
    PanelConfig c;
    std::memset(&c, 0x33, sizeof(c));
    EXPECT_FALSE(loadConfig(profile, &c));
    const PanelConfig zero{};
    EXPECT_EQ(std::memcmp(&c, &zero, sizeof(c)), 0);

    for (size_t size : {size_t{359}, size_t{361}, size_t{0}, size_t{1868}}) {
        profile.values["Q407LXPan\\Q407LXConfig"] = std::vector<uint8_t>(size, 0x44);
        std::memset(&c, 0x33, sizeof(c));
        EXPECT_FALSE(loadConfig(profile, &c)) << size;
        EXPECT_EQ(std::memcmp(&c, &zero, sizeof(c)), 0) << size;
    }
    MixerSettings block;
    std::memset(&block, 0x33, sizeof(block));
    profile.values["Q407LXPan\\Q407LXMixer"] = std::vector<uint8_t>(1867, 0x44);
    EXPECT_FALSE(loadMixer(profile, &block));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&block);
    for (size_t i = 0; i < sizeof(block); ++i) ASSERT_EQ(bytes[i], 0) << i;
    // Another section's value is not this one.
    profile.values.clear();
    profile.values["Other\\Q407LXConfig"] = std::vector<uint8_t>(360, 0);
    EXPECT_FALSE(loadConfig(profile, &c));
}

TEST(ProfileTest, RefusedWritesAreNotReported) {
    MapProfile profile;
    profile.refuseWrites = true;
    saveSettings(profile, Defaults(), DefaultMixerSettings());
    EXPECT_EQ(profile.writes, 2);
    EXPECT_TRUE(profile.values.empty());
}

}  // namespace
}  // namespace q407::panel
