// Wave streams through the port-class driver on a looped-back virtual Q407 LX, end to end as an
// application drives them, at every rate and both sample widths: 16- and 32-bit playback on
// ZEL_Wave1..4 and on the multichannel ZEL_Wave9, recording on ZEL_Wave1..8, all compared sample by
// sample with what was played. The device's converters keep 24 bits: a 16-bit sample comes back
// whole, a 32-bit one in its upper 24 bits (the test signal's low byte is clear so that it too
// comes back whole). A few tens of milliseconds of virtual time per case.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tools/device_rig.h"
#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

constexpr double kSeconds = 0.04;
constexpr double kTail = 0.3;  // the driver's ring and the USB buffers after the last byte

// A full-scale sample of stream `stream`, channel `channel`: pseudo-random, never 0, different for
// every stream and channel; 16-bit samples in the upper half, 32-bit ones with the low byte clear.
int32_t StreamSample(int stream, int channel, uint64_t frame, int bits) {
    uint32_t x = static_cast<uint32_t>(frame + 1) * 2654435761U;
    x ^= 0x9E3779B9U * static_cast<uint32_t>(stream * 8 + channel + 1);
    x ^= x >> 13;
    x *= 0x85EBCA6BU;
    x ^= x >> 16;
    const uint32_t mask = bits == 16 ? 0xFFFF0000U : 0xFFFFFF00U;
    uint32_t s = x & mask;
    if (s == 0) s = bits == 16 ? 0x00010000U : 0x00000100U;
    return static_cast<int32_t>(s);
}

std::vector<std::vector<int32_t>> StreamSignal(int stream, int channels, uint64_t frames,
                                               int bits) {
    std::vector<std::vector<int32_t>> out(static_cast<size_t>(channels),
                                          std::vector<int32_t>(frames));
    for (int c = 0; c < channels; ++c)
        for (uint64_t f = 0; f < frames; ++f) out[size_t(c)][f] = StreamSample(stream, c, f, bits);
    return out;
}

std::vector<int32_t> AsDeviceSamples(std::vector<int32_t> samples) {
    for (int32_t& s : samples) s = DeviceSampleOf(s);
    return samples;
}

std::wstring Wave(int n) {
    return L"ZEL_Wave" + std::to_wstring(n);
}

class EndToEndWave : public ::testing::TestWithParam<std::tuple<uint32_t, int>> {
  protected:
    uint32_t Rate() const { return std::get<0>(GetParam()); }
    int Bits() const { return std::get<1>(GetParam()); }
    uint64_t Frames() const { return uint64_t(kSeconds * Rate()); }

    void Boot() {
        WdmMachineOptions options;
        options.rate = Rate();
        options.keepOutputs = true;
        std::string error;
        ASSERT_TRUE(machine_.Boot(options, &error)) << error;
    }

    // Plays every stream whole while the captures run, then takes what they captured.
    void Stream(std::vector<PlaybackStream>& plays, std::vector<CaptureStream>& captures) {
        for (CaptureStream& c : captures) ASSERT_EQ(c.Start(), 0);
        for (PlaybackStream& p : plays) ASSERT_EQ(p.Start(), 0);
        const double deadline = machine_.Now() + kSeconds + 2.0;
        bool busy = true;
        while (busy && machine_.Now() < deadline) {
            busy = false;
            for (PlaybackStream& p : plays) busy = p.Pump() || busy;
            machine_.Advance(0.005);
            for (CaptureStream& c : captures) c.Pump(SIZE_MAX);
        }
        ASSERT_FALSE(busy) << "the driver stopped taking playback data";
        for (double t = 0; t < kTail; t += 0.01) {
            machine_.Advance(0.01);
            for (CaptureStream& c : captures) c.Pump(SIZE_MAX);
        }
        for (PlaybackStream& p : plays) {
            EXPECT_EQ(p.BytesQueued(), p.BytesTotal());
            p.Close();
        }
        for (CaptureStream& c : captures) c.Close();
    }

    WdmMachine machine_;
};

// Pairs 1-4 play at once; pairs 1-8 record at once: recording pair k carries inputs 2k-1 and 2k,
// which the loopback feeds from outputs 2k-1 and 2k (pairs 5-8 from the outputs of pairs 1-4).
TEST_P(EndToEndWave, StereoPairsPlayAndRecordBitExact) {
    Boot();
    ClientScope scope(machine_);
    std::vector<std::vector<std::vector<int32_t>>> signals;
    std::vector<PlaybackStream> plays(4);
    for (int k = 1; k <= 4; ++k) {
        signals.push_back(StreamSignal(k, 2, Frames(), Bits()));
        ASSERT_EQ(plays[size_t(k - 1)].Open(Wave(k), PinFormat(Rate(), 2, Bits(), false),
                                            PackSamples(signals.back(), Bits())),
                  0)
            << "playback on pair " << k;
    }
    std::vector<CaptureStream> captures(8);
    for (int k = 1; k <= 8; ++k)
        ASSERT_EQ(captures[size_t(k - 1)].Open(Wave(k), PinFormat(Rate(), 2, Bits(), false)), 0)
            << "recording on pair " << k;
    Stream(plays, captures);

    for (int k = 1; k <= 4; ++k) {
        for (int c = 0; c < 2; ++c) {
            const DelayedCheck played =
                CheckDelayed(AsDeviceSamples(signals[size_t(k - 1)][size_t(c)]),
                             machine_.Output(2 * (k - 1) + c));
            EXPECT_TRUE(played.BitExact())
                << "pair " << k << " channel " << c << ": " << played.checked << " of "
                << played.expected << " samples arrived, " << played.mismatches
                << " differ, the first at frame " << played.firstMismatch;
        }
    }
    for (int k = 1; k <= 8; ++k) {
        const auto recorded = UnpackSamples(captures[size_t(k - 1)].Bytes(), 2, Bits());
        const auto& source = signals[size_t((k - 1) % 4)];
        for (int c = 0; c < 2; ++c) {
            const DelayedCheck check = CheckDelayed(source[size_t(c)], recorded[size_t(c)]);
            EXPECT_TRUE(check.BitExact())
                << "recording pair " << k << " channel " << c << ": " << check.checked << " of "
                << check.expected << " samples arrived, " << check.mismatches
                << " differ, the first at frame " << check.firstMismatch;
        }
    }
}

// The multichannel subdevice plays 8 channels on outputs 1-8; pairs 1-4 record them back.
TEST_P(EndToEndWave, MultichannelPlaysEightChannelsBitExact) {
    Boot();
    ClientScope scope(machine_);
    const auto signal = StreamSignal(9, 8, Frames(), Bits());
    std::vector<PlaybackStream> plays(1);
    ASSERT_EQ(
        plays[0].Open(Wave(9), PinFormat(Rate(), 8, Bits(), true), PackSamples(signal, Bits())), 0);
    std::vector<CaptureStream> captures(4);
    for (int k = 1; k <= 4; ++k)
        ASSERT_EQ(captures[size_t(k - 1)].Open(Wave(k), PinFormat(Rate(), 2, Bits(), false)), 0);
    Stream(plays, captures);
    for (int o = 0; o < 8; ++o) {
        const DelayedCheck played =
            CheckDelayed(AsDeviceSamples(signal[size_t(o)]), machine_.Output(o));
        EXPECT_TRUE(played.BitExact()) << "output " << o + 1 << ": " << played.mismatches
                                       << " differ, " << played.checked << " arrived";
        const auto recorded = UnpackSamples(captures[size_t(o / 2)].Bytes(), 2, Bits());
        const DelayedCheck back = CheckDelayed(signal[size_t(o)], recorded[size_t(o % 2)]);
        EXPECT_TRUE(back.BitExact()) << "input " << o + 1 << ": " << back.mismatches << " differ, "
                                     << back.checked << " arrived";
    }
}

INSTANTIATE_TEST_SUITE_P(RatesAndWidths, EndToEndWave,
                         ::testing::Combine(::testing::Values(44100U, 48000U, 88200U, 96000U),
                                            ::testing::Values(16, 32)),
                         [](const auto& p) {
                             return std::to_string(std::get<0>(p.param)) + "Hz_" +
                                    std::to_string(std::get<1>(p.param)) + "bit";
                         });

}  // namespace
}  // namespace q407::tools
