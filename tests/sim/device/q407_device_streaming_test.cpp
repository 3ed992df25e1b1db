// The device's sample clock, units, loopback, MIDI and codec lines, driven on a manual clock.
#include <gtest/gtest.h>

#include <memory>

#include "device_test_support.h"
#include "unit_bits.h"

namespace q407::sim {
namespace {

using test::Completions;
using test::DeviceBench;

using Frames20 = std::array<std::array<std::int32_t, 8>, 20>;

// n playback units back to back, frames from fn(frameIndex, channel).
template <class Fn>
std::vector<std::uint8_t> PlaybackUnits(int n, std::uint64_t firstFrame, Fn fn) {
    std::vector<std::uint8_t> out;
    for (int u = 0; u < n; ++u) {
        Frames20 frames{};
        for (int f = 0; f < 20; ++f)
            for (int c = 0; c < 8; ++c)
                frames[f][c] = fn(firstFrame + std::uint64_t(u * 20 + f), c);
        auto unit = test::PackPlaybackUnit(frames);
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

ClockTicks FrameTicks(std::uint64_t frames, std::uint32_t rate) {
    return ClockTicks((frames * 10'000'000 + rate - 1) / rate);
}

TEST(DeviceStreaming, TransfersCompleteAfterTheirUnitsWorthOfFrames) {
    DeviceBench b;
    b.SetRate(48000);
    b.StartStreaming();
    ClockTicks t0 = b.clock.Now();
    Completions c;
    std::vector<std::uint8_t> out1(4 * 964), out2(4 * 964), in1(4 * 1024);
    ASSERT_TRUE(b.device.SubmitTransfer(1, 0x05, out1.data(), 4 * 964, false, c.For(b.clock, 1)));
    ASSERT_TRUE(b.device.SubmitTransfer(2, 0x05, out2.data(), 4 * 964, false, c.For(b.clock, 2)));
    ASSERT_TRUE(b.device.SubmitTransfer(3, 0x86, in1.data(), 4 * 1024, true, c.For(b.clock, 3)));
    b.clock.RunUntil(t0 + 100 * kTicksPerMillisecond);
    ASSERT_EQ(c.entries.size(), 3u);
    // Capture: 4 units = 64 frames.
    EXPECT_EQ(c.entries[0].id, 3u);
    EXPECT_EQ(c.entries[0].time, t0 + FrameTicks(64, 48000));
    EXPECT_EQ(c.entries[0].result.actualLength, 4096u);
    // Playback: 4 units = 80 frames each, one after the other.
    EXPECT_EQ(c.entries[1].id, 1u);
    EXPECT_EQ(c.entries[1].time, t0 + FrameTicks(80, 48000));
    EXPECT_EQ(c.entries[2].id, 2u);
    EXPECT_EQ(c.entries[2].time, t0 + FrameTicks(160, 48000));
    EXPECT_EQ(c.entries[2].result.status, TransferStatus::Success);

    DeviceCounters k = b.device.Counters();
    // 100 ms at 48 kHz = 240 slots of playback and 300 capture units; only the first 8 slots and
    // 4 units had transfers.
    EXPECT_EQ(k.playbackUnits, 241u);
    EXPECT_EQ(k.underruns, 241u - 8u);
    EXPECT_EQ(k.captureUnits, 300u);
    EXPECT_EQ(k.overruns, 296u);
    EXPECT_EQ(b.device.OutputFramesPlayed(), 241u * 20u);
}

TEST(DeviceStreaming, ClockRateAndPpmSetTheUnitRate) {
    for (std::uint32_t rate : {44100u, 96000u}) {
        DeviceBench b;
        b.SetRate(rate);
        b.device.SetClockPpm(1000);  // 0.1 % fast
        b.StartStreaming();
        b.clock.RunFor(kTicksPerSecond);
        double frames = double(rate) * 1.001;
        EXPECT_NEAR(double(b.device.Counters().captureUnits), frames / 16, 1.0) << rate;
        EXPECT_NEAR(double(b.device.Counters().playbackUnits), frames / 20, 1.0) << rate;
    }
}

TEST(DeviceStreaming, StoppedClockHoldsTransfers) {
    DeviceBench b;
    b.StartStreaming();
    Completions c;
    std::vector<std::uint8_t> in(1024);
    b.device.StopClock();
    ASSERT_TRUE(b.device.SubmitTransfer(1, 0x86, in.data(), 1024, true, c.For(b.clock, 1)));
    b.clock.RunFor(kTicksPerSecond);
    EXPECT_TRUE(c.entries.empty());
    EXPECT_EQ(b.device.Counters().captureUnits, 0u);
    ClockTicks restart = b.clock.Now();
    b.device.StartClock();
    b.clock.RunFor(kTicksPerSecond / 100);
    ASSERT_EQ(c.entries.size(), 1u);
    EXPECT_EQ(c.entries[0].time, restart + FrameTicks(16, 44100));
}

TEST(DeviceStreaming, InputRampsArriveInTheCaptureUnits) {
    DeviceBench b;
    for (int ch = 0; ch < 16; ++ch)
        b.device.SetInputSource(ch, InputSource::Ramp(ch * 1000 - 8388608, 3 + ch));
    b.StartStreaming();
    Completions c;
    std::vector<std::uint8_t> in(3 * 1024);
    b.device.SubmitTransfer(1, 0x86, in.data(), 3 * 1024, true, c.For(b.clock, 1));
    b.clock.RunFor(kTicksPerSecond / 100);
    ASSERT_EQ(c.entries.size(), 1u);
    for (int u = 0; u < 3; ++u) {
        auto frames = test::UnpackCaptureUnit(in.data() + 1024 * u);
        for (int f = 0; f < 16; ++f)
            for (int ch = 0; ch < 16; ++ch) {
                std::int64_t want =
                    std::int64_t(ch) * 1000 - 8388608 + std::int64_t(u * 16 + f) * (3 + ch);
                ASSERT_EQ(frames[f][ch], want) << u << " " << f << " " << ch;
            }
    }
}

// Plays a ramp on every output with the engine's n = 3 transfers in flight and records every
// input through loopback: each input frame f must be exactly output frame f.
TEST(DeviceStreaming, LoopbackIsSampleExact) {
    DeviceBench b;
    b.device.LoopbackAllInputs();
    auto sink = std::make_shared<MemoryOutputSink>();
    b.device.AddOutputSink(sink);
    b.SetRate(96000);
    b.StartStreaming();

    auto ramp = [](std::uint64_t frame, int ch) {
        return std::int32_t((std::int64_t(frame) * 977 + ch * 100003) % 8388608) - 4194304;
    };
    constexpr int n = 3;
    std::uint64_t nextOutFrame = 0;
    std::vector<std::vector<std::uint8_t>> outBufs(n), inBufs(n);
    std::vector<std::array<std::int32_t, 16>> captured;
    std::function<void(int)> submitOut, submitIn;
    submitOut = [&](int i) {
        outBufs[i] = PlaybackUnits(n, nextOutFrame, ramp);
        nextOutFrame += n * 20;
        b.device.SubmitTransfer(10 + i, 0x05, outBufs[i].data(), n * 964, false,
                                [&, i](const TransferResult& r) {
                                    ASSERT_EQ(r.status, TransferStatus::Success);
                                    submitOut(i);
                                });
    };
    submitIn = [&](int i) {
        inBufs[i].assign(n * 1024, 0);
        b.device.SubmitTransfer(
            20 + i, 0x86, inBufs[i].data(), n * 1024, true, [&, i](const TransferResult& r) {
                ASSERT_EQ(r.status, TransferStatus::Success);
                for (int u = 0; u < n; ++u) {
                    auto f = test::UnpackCaptureUnit(inBufs[i].data() + 1024 * u);
                    captured.insert(captured.end(), f.begin(), f.end());
                }
                submitIn(i);
            });
    };
    for (int i = 0; i < n; ++i) {
        submitIn(i);
        submitOut(i);
    }
    b.clock.RunFor(kTicksPerSecond / 2);

    DeviceCounters k = b.device.Counters();
    EXPECT_EQ(k.underruns, 0u);
    EXPECT_EQ(k.overruns, 0u);
    ASSERT_GT(captured.size(), 40000u);
    auto outputs = sink->Frames();
    ASSERT_GE(outputs.size(), captured.size());
    for (std::size_t f = 0; f < captured.size(); ++f) {
        std::uint64_t played = f - kLoopbackDelayFrames;
        for (int ch = 0; ch < 16; ++ch) {
            ASSERT_EQ(outputs[played][ch % 8], ramp(played, ch % 8)) << f;
            ASSERT_EQ(captured[f][ch], ramp(played, ch % 8)) << "frame " << f << " ch " << ch;
        }
    }
}

TEST(DeviceStreaming, UnderrunPlaysSilenceAndCountsIt) {
    DeviceBench b;
    auto sink = std::make_shared<MemoryOutputSink>();
    b.device.AddOutputSink(sink);
    b.StartStreaming();
    b.clock.RunFor(1);  // slot 0 passes without data
    auto data = PlaybackUnits(1, 0, [](std::uint64_t, int c) { return 1000 + c; });
    Completions c;
    b.device.SubmitTransfer(1, 0x05, data.data(), 964, false, c.For(b.clock, 1));
    b.clock.RunFor(FrameTicks(60, 44100));
    auto frames = sink->Frames();
    ASSERT_GE(frames.size(), 60u);
    EXPECT_EQ(frames[19][0], 0);
    EXPECT_EQ(frames[20][0], 1000);
    EXPECT_EQ(frames[39][7], 1007);
    EXPECT_EQ(frames[40][7], 0);
    EXPECT_EQ(b.device.Counters().underruns, b.device.Counters().playbackUnits - 1);
}

TEST(DeviceStreaming, MidiAndCodecBytesRideInTheGaps) {
    DeviceBench b;
    auto sink = std::make_shared<MemoryOutputSink>();
    b.device.AddOutputSink(sink);
    b.StartStreaming();
    // setOutVolume(0, 127 - 12): register 4, -6 dB, sent two line states per unit.
    std::vector<std::uint8_t> lines = {255, 127, 95, 127, 31, 63, 95, 127};
    auto bit = [&](bool one) {
        lines.push_back(one ? 95 : 31);
        lines.push_back(one ? 127 : 63);
    };
    for (int i = 4; i >= 0; --i) bit((4 >> i) & 1);
    for (int i = 7; i >= 0; --i) bit(((0x80 | 115) >> i) & 1);
    lines.push_back(255);
    lines.push_back(255);  // even count
    const std::vector<std::uint8_t> midi = {0x90, 0x3C, 0x7F};
    std::size_t units = lines.size() / 2 + 2;
    std::vector<std::uint8_t> data;
    std::uint64_t frame = 0;
    for (std::size_t u = 0; u < units; ++u) {
        Frames20 frames{};
        for (auto& f : frames) f.fill(2000000);
        std::uint8_t m1 = 2 * u < midi.size() ? midi[2 * u] : 0xFD;
        std::uint8_t m2 = 2 * u + 1 < midi.size() ? midi[2 * u + 1] : 0xFD;
        std::uint8_t c1 = 2 * u < lines.size() ? lines[2 * u] : 0xFF;
        std::uint8_t c2 = 2 * u + 1 < lines.size() ? lines[2 * u + 1] : 0xFF;
        auto unit = test::PackPlaybackUnit(frames, m1, c1, m2, c2);
        data.insert(data.end(), unit.begin(), unit.end());
        frame += 20;
    }
    Completions c;
    b.device.SubmitTransfer(1, 0x05, data.data(), std::uint32_t(data.size()), false,
                            c.For(b.clock, 1));
    b.clock.RunFor(FrameTicks(frame + 40, 44100));
    ASSERT_EQ(c.entries.size(), 1u);

    auto out = b.device.MidiOut();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].value, 0x90);
    EXPECT_EQ(out[1].value, 0x3C);
    EXPECT_EQ(out[2].value, 0x7F);
    // Submitted before slot 0 came due: MIDI bytes leave after frames 8 and 18 of each unit.
    EXPECT_EQ(out[0].frame, 9u);
    EXPECT_EQ(out[1].frame, 19u);
    EXPECT_EQ(out[2].frame, 29u);

    auto writes = b.device.CodecWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_TRUE(writes[0].word.valid);
    EXPECT_EQ(writes[0].word.chip, CodecChip::B);
    EXPECT_EQ(writes[0].word.address, 4);
    EXPECT_EQ(writes[0].word.data, 0x80 | 115);
    EXPECT_EQ(b.device.OutputGainDb(0), -6.0);
    EXPECT_EQ(b.device.OutputGainDb(1), 0.0);
    auto frames = sink->Frames();
    std::uint64_t from = writes[0].frame;
    ASSERT_GT(frames.size(), from + 1);
    EXPECT_EQ(frames[from - 1][0], 2000000);
    EXPECT_NEAR(frames[from][0], 2000000 * 0.501187, 2);
    EXPECT_EQ(frames[from][1], 2000000);
}

// Keeps one 5-byte MIDI transfer pending at all times, like the engine.
struct MidiReader {
    explicit MidiReader(DeviceBench& bench) : b(bench) {}
    DeviceBench& b;
    std::uint8_t buf[5] = {};
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<ClockTicks> times;
    TransferId next = 100;
    void Submit() {
        b.device.SubmitTransfer(next++, 0x82, buf, 5, true, [this](const TransferResult& r) {
            EXPECT_EQ(r.status, TransferStatus::Success);
            packets.emplace_back(buf, buf + r.actualLength);
            times.push_back(b.clock.Now());
            Submit();
        });
    }
};

TEST(DeviceMidi, InputNeverFasterThanTheWire) {
    for (std::uint32_t rate : {48000u, 96000u}) {
        DeviceBench b;
        b.SetRate(rate);
        b.StartStreaming();
        MidiReader r(b);
        r.Submit();
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < 2000; ++i) bytes.push_back(std::uint8_t(i % 0x7F));
        ClockTicks t0 = b.clock.Now();
        b.device.SendMidiIn(bytes);
        b.clock.RunFor(kTicksPerSecond);
        std::vector<std::uint8_t> got;
        std::size_t limit = rate <= 48000 ? 4 : 2;
        for (std::size_t p = 0; p < r.packets.size(); ++p) {
            ASSERT_EQ(r.packets[p].size(), 5u);
            EXPECT_EQ(r.packets[p][4], 0xFD);
            for (std::size_t i = 0; i < 5; ++i) {
                if (r.packets[p][i] == 0xFD) continue;
                EXPECT_LT(i, limit);
                got.push_back(r.packets[p][i]);
                // Byte k cannot have arrived before k + 1 wire times.
                EXPECT_GE(r.times[p] - t0, ClockTicks(got.size()) * kMidiByteTicks);
            }
        }
        // 1 s of wire carries 3,125 bytes: all 2,000 arrived, in order.
        EXPECT_EQ(got, bytes) << rate;
        EXPECT_LE(r.times.back() - t0, ClockTicks(2000) * kMidiByteTicks + kTicksPerMillisecond);
    }
}

TEST(DeviceMidi, OutputLoopsBackToInput) {
    DeviceBench b;
    b.device.SetMidiLoopback(true);
    b.StartStreaming();
    MidiReader r(b);
    r.Submit();
    Frames20 silence{};
    auto unit = test::PackPlaybackUnit(silence, 0xF8, 0xFF, 0xFE, 0xFF);
    Completions c;
    b.device.SubmitTransfer(1, 0x05, unit.data(), 964, false, c.For(b.clock, 1));
    b.clock.RunFor(kTicksPerSecond / 10);
    ASSERT_EQ(b.device.MidiOut().size(), 2u);
    std::vector<std::uint8_t> got;
    for (auto& p : r.packets)
        for (auto v : p)
            if (v != 0xFD) got.push_back(v);
    EXPECT_EQ(got, (std::vector<std::uint8_t>{0xF8, 0xFE}));
}

TEST(DeviceFaults, FailingTransfersAndDisconnect) {
    DeviceBench b;
    b.StartStreaming();
    Completions c;
    std::vector<std::uint8_t> in(1024), out(964), midi(5);
    b.device.FailTransfers(0x86, 1, TransferStatus::CrcError);
    b.device.FailTransfers(0x05, 1, TransferStatus::Stall);
    b.device.FailTransfers(0x82, 1, TransferStatus::NoResponse);
    b.device.SubmitTransfer(1, 0x86, in.data(), 1024, true, c.For(b.clock, 1));
    b.device.SubmitTransfer(2, 0x86, in.data(), 1024, true, c.For(b.clock, 2));
    b.device.SubmitTransfer(3, 0x05, out.data(), 964, false, c.For(b.clock, 3));
    b.device.SubmitTransfer(4, 0x05, out.data(), 964, false, c.For(b.clock, 4));
    b.device.SubmitTransfer(5, 0x82, midi.data(), 5, true, c.For(b.clock, 5));
    b.clock.RunFor(kTicksPerSecond / 100);
    std::map<TransferId, TransferStatus> status;
    for (auto& e : c.entries) status[e.id] = e.result.status;
    EXPECT_EQ(status[1], TransferStatus::CrcError);
    EXPECT_EQ(status[2], TransferStatus::Success);
    EXPECT_EQ(status[3], TransferStatus::Stall);
    // The stall halted the endpoint until it is cleared.
    EXPECT_EQ(status[4], TransferStatus::Stall);
    EXPECT_EQ(status[5], TransferStatus::NoResponse);
    EXPECT_TRUE(b.device.EndpointHalted(0x05));
    ASSERT_EQ(b.Control(0x02, 0x01, 0, 0x05).outcome, ControlOutcome::Ack);
    EXPECT_FALSE(b.device.EndpointHalted(0x05));

    c.entries.clear();
    b.device.SubmitTransfer(6, 0x86, in.data(), 1024, true, c.For(b.clock, 6));
    b.device.SubmitTransfer(7, 0x82, midi.data(), 5, true, c.For(b.clock, 7));
    EXPECT_TRUE(b.device.CancelTransfer(7));
    EXPECT_FALSE(b.device.CancelTransfer(7));
    b.device.SubmitTransfer(8, 0x82, midi.data(), 5, true, c.For(b.clock, 8));
    auto gone = b.device.Disconnect();
    EXPECT_EQ(gone, (std::vector<TransferId>{6, 8}));
    EXPECT_FALSE(b.device.SubmitTransfer(9, 0x86, in.data(), 1024, true, c.For(b.clock, 9)));
    b.clock.RunFor(kTicksPerSecond / 100);
    EXPECT_TRUE(c.entries.empty());
    EXPECT_EQ(b.device.HandleControl({0xC0, 0x49, 0, 0, 1}, in.data()).outcome,
              ControlOutcome::NoResponse);
}

TEST(DeviceFaults, BabbleOnTooSmallCaptureBuffer) {
    DeviceBench b;
    b.StartStreaming();
    Completions c;
    std::vector<std::uint8_t> in(1500);
    b.device.SubmitTransfer(1, 0x86, in.data(), 1500, true, c.For(b.clock, 1));
    b.clock.RunFor(kTicksPerSecond / 100);
    ASSERT_EQ(c.entries.size(), 1u);
    EXPECT_EQ(c.entries[0].result.status, TransferStatus::Babble);
    EXPECT_EQ(c.entries[0].result.actualLength, 1500u);
}

}  // namespace
}  // namespace q407::sim
