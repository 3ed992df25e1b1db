// How the engine moves a frame from the host's output half back into its input half, for buffer
// size L, USB buffer count n and rate factor R (1 up to 48 kHz, 2 above), in frames of the host's
// timeline (host output frame X is sample X mod L of the half written for input period X div L;
// host input frame Y likewise):
//
//   Playback: the n OUT transfers carry 20 frames each, so one completion moves F = 20n frames,
//   and the frames mixed at completion t play from device frame 20a + F(t + n) (a: the device
//   slot of the first transfer).
//   Capture: the IN transfers take 16 frames each, C = 16n per completion; input period s is
//   handed to the host at 16b + C ceil((s + 1) L / C), and the host writes output half s then.
//   The engine's ASIO ring is taken by the mix once R + 1 halves are written and one mix's F
//   frames are there: from half s* = max(R, ceil(F / L) - 1) on, by the first completion t0 >= 1
//   after that half arrives; from then on host output frame X plays at 20a + F(t0 + n) + X.
//   Host input frame Y is device frame 16b + Y, and a looped-back device adds nothing, so the
//   round trip is Y - X = (20a - 16b) + F(t0 + n).
//
// The input latency is the capture side of it: the first frame of a period waits for the period
// and for the completion that holds its last frame, C ceil(L / C). The output latency is the
// rest.
#include "asio/reported_latency.h"

#include <algorithm>

namespace q407::asio {
namespace {

int64_t CeilDiv(int64_t a, int64_t b) {
    return (a + b - 1) / b;
}

}  // namespace

int64_t DerivedRoundTrip(int64_t bufferFrames, int64_t usbBuffers, int64_t rateFactor,
                         int64_t playbackLead) {
    const int64_t L = bufferFrames;
    const int64_t n = usbBuffers;
    const int64_t F = 20 * n;
    const int64_t C = 16 * n;
    const int64_t firstHalf = std::max(rateFactor, CeilDiv(F, L) - 1);
    const int64_t handedOver = C * CeilDiv((firstHalf + 1) * L, C);
    int64_t t = 1;
    while (playbackLead + F * (t + 1) <= handedOver) ++t;
    return playbackLead + F * (t + n);
}

// 20a - 16b: the device takes the first playback and capture transfers of a start a fixed
// number of its frames apart, which depends on the rate only.
int64_t PlaybackLeadFrames(uint32_t sampleRate) {
    switch (sampleRate) {
        case 44100:
            return 28;
        case 48000:
            return 20;
        default:
            return 40;
    }
}

ReportedLatencies ReportedLatenciesFor(uint32_t sampleRate, int32_t bufferFrames,
                                       int32_t usbBuffers) {
    ReportedLatencies latencies;
    if (bufferFrames <= 0 || bufferFrames > 4096 || usbBuffers < 2 || usbBuffers > 5)
        return latencies;
    const int64_t rateFactor = sampleRate > 48000 ? 2 : 1;
    const int64_t roundTrip =
        DerivedRoundTrip(bufferFrames, usbBuffers, rateFactor, PlaybackLeadFrames(sampleRate));
    const int64_t C = 16 * static_cast<int64_t>(usbBuffers);
    const int64_t input = C * CeilDiv(bufferFrames, C);
    latencies.input = static_cast<int32_t>(input);
    latencies.output = static_cast<int32_t>(roundTrip - input);
    return latencies;
}

}  // namespace q407::asio
