// Q407WDM started on the rig's child device by the emulated port-class driver: the subdevices it
// registers, their physical connections, and the unload trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/host/trace_log.h"
#include "tools/device_rig.h"
#include "wdmdriver/adapter_driver.h"

namespace q407::testing {
namespace {

tools::DeviceRigOptions WdmOptions() {
    tools::DeviceRigOptions options;
    options.childDriver = wdm::WdmDriverEntry;
    return options;
}

std::wstring Numbered(const wchar_t* stem, int n) {
    return stem + std::to_wstring(n);
}

TEST(WdmAdapterOnTheRig, StartRegistersNineteenSubdevicesAndTheirPhysicalConnections) {
    {
        tools::DeviceRig rig(WdmOptions());
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        std::vector<std::wstring> names;
        for (const sim::audio::SubdeviceInfo& info : sim::audio::ListSubdevices()) {
            names.push_back(info.name);
            if (info.kind != sim::audio::SubdeviceKind::Wave) continue;
            const int n = std::stoi(info.name.substr(8));
            EXPECT_EQ(info.playback, n <= 4 || n == 9) << n;
            EXPECT_EQ(info.recording, n <= 8) << n;
        }
        std::vector<std::wstring> expected;
        for (int n = 1; n <= 9; ++n) {
            expected.push_back(Numbered(L"ZEL_Wave", n));
            expected.push_back(Numbered(L"ZEL_Mixer", n));
        }
        expected.push_back(L"ZEL_Midi1");
        EXPECT_EQ(names, expected);

        struct Connection {
            std::wstring from;
            ULONG fromPin;
            std::wstring to;
            ULONG toPin;
            bool operator==(const Connection&) const = default;
        };
        std::vector<Connection> connections;
        for (const auto& c : sim::portcls::PhysicalConnectionsOf(rig.ChildDevice()))
            connections.push_back({c.fromName, c.fromPin, c.toName, c.toPin});
        std::vector<Connection> wanted;
        for (int n = 1; n <= 9; ++n) {
            if (n <= 4 || n == 9)
                wanted.push_back({Numbered(L"ZEL_Wave", n), 1, Numbered(L"ZEL_Mixer", n), 0});
            if (n <= 8)
                wanted.push_back({Numbered(L"ZEL_Mixer", n), 3, Numbered(L"ZEL_Wave", n), 3});
        }
        EXPECT_EQ(connections, wanted);
    }
    // The driver unloaded with its device.
    size_t unloads = 0;
    for (const sim::TraceEntry& entry : sim::TraceLog::Instance().Entries())
        if (entry.text == "WDM DriverUnload >>>>>>\n" && entry.component == 79 && entry.level == 0)
            ++unloads;
    EXPECT_EQ(unloads, 1u);
}

}  // namespace
}  // namespace q407::testing

namespace q407::testing {
namespace {

TEST(WdmStreamsOnTheRig, ASecondStreamOnAPinIsBusyAndAnAbsentDirectionHasNoPin) {
    tools::DeviceRig rig(WdmOptions());
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    const sim::audio::WaveFormat format{48000, 2, 16, false, 0x3};
    std::unique_ptr<sim::audio::WavePin> first;
    std::unique_ptr<sim::audio::WavePin> second;
    ASSERT_EQ(sim::audio::WavePin::Open(L"ZEL_Wave2", false, format, &first), 0);
    EXPECT_EQ(
        static_cast<uint32_t>(sim::audio::WavePin::Open(L"ZEL_Wave2", false, format, &second)),
        0xC000009Au);
    EXPECT_NE(sim::audio::WavePin::Open(L"ZEL_Wave5", false, format, &second), 0);
    EXPECT_NE(sim::audio::WavePin::Open(L"ZEL_Wave9", true, format, &second), 0);
    first.reset();
    EXPECT_EQ(sim::audio::WavePin::Open(L"ZEL_Wave2", false, format, &second), 0);
}

// Played samples come back through the looped-back device in the recording, bit-exact.
void LoopThrough(uint16_t bits) {
    tools::DeviceRig rig(WdmOptions());
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    rig.Device().LoopbackAllInputs();
    const sim::audio::WaveFormat format{48000, 2, bits, false, 0x3};
    std::unique_ptr<sim::audio::WavePin> play;
    std::unique_ptr<sim::audio::WavePin> record;
    ASSERT_EQ(sim::audio::WavePin::Open(L"ZEL_Wave1", false, format, &play), 0);
    ASSERT_EQ(sim::audio::WavePin::Open(L"ZEL_Wave1", true, format, &record), 0);
    const size_t width = bits / 8;
    const size_t frames = 9600;
    // A pattern whose samples differ from their neighbours and are never silent; 32-bit samples
    // keep the lowest byte 0, as the device's 24-bit outputs carry no more.
    std::vector<uint8_t> played(frames * 2 * width);
    for (size_t i = 0; i < frames * 2; ++i) {
        const uint32_t value = (0x00100000u + static_cast<uint32_t>(i) * 0x00012300u) |
                               (i % 2 == 0 ? 0x40000000u : 0x80000000u);
        for (size_t b = 0; b < width; ++b)
            played[i * width + b] = static_cast<uint8_t>(value >> (8 * (4 - width + b)));
    }
    ASSERT_EQ(play->Write(played.data(), played.size()), played.size());
    ASSERT_EQ(record->SetState(sim::audio::PinState::Run), 0);
    ASSERT_EQ(play->SetState(sim::audio::PinState::Run), 0);
    std::vector<uint8_t> recorded;
    std::vector<uint8_t> chunk(65536);
    for (int step = 0; step < 40; ++step) {
        rig.RunForSeconds(0.025);
        recorded.insert(
            recorded.end(), chunk.begin(),
            chunk.begin() + static_cast<long>(record->Read(chunk.data(), chunk.size())));
    }
    EXPECT_GT(play->Position(), 0u);
    const auto start = std::search(recorded.begin(), recorded.end(), played.begin(),
                                   played.begin() + static_cast<long>(64 * width));
    ASSERT_NE(start, recorded.end()) << "the played samples never came back";
    const size_t offset = static_cast<size_t>(start - recorded.begin());
    ASSERT_GE(recorded.size() - offset, played.size()) << "only part came back";
    EXPECT_TRUE(std::equal(played.begin(), played.end(), start));
    EXPECT_EQ(offset % (2 * width), 0u);  // whole frames
}

TEST(WdmStreamsOnTheRig, SixteenBitPlaybackComesBackBitExactThroughTheLoopback) {
    LoopThrough(16);
}

TEST(WdmStreamsOnTheRig, ThirtyTwoBitPlaybackComesBackBitExactThroughTheLoopback) {
    LoopThrough(32);
}

}  // namespace
}  // namespace q407::testing
