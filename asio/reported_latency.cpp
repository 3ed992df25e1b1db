// How the engine moves a frame from the host's output half back into its input half, for buffer
// size L and USB buffer count n, in frames of the host's timeline (host output frame X is sample
// X mod L of the half written for input period X div L; host input frame Y likewise):
//
//   Capture: the IN transfers carry 16 frames per unit, C = 16n per completion; host input frame
//   Y was captured at device frame 16b + Y (b: the device slot of the first transfer), and the
//   period holding it reaches the host with the completion that holds the period's last frame.
//   Playback: the OUT transfers carry 20 frames per unit, F = 20n per completion; the frames a
//   completion mixes play after the n - 1 transfers still in flight, and the first completion
//   queues silence, so mixed frame m plays at device frame 20a + F(n + 1) + m.
//   The engine places host output frame X at mixed frame X + 2L + C - (20a - 16b), reading the
//   pipes' phase 20a - 16b off their first completions, so that the host has a whole period to
//   answer whatever the phase is. A looped-back device adds nothing.
//   Round trip: Y - X = 2L + C + F(n + 1), the same at every start and at every rate.
//
// The input latency is the capture side of it: a period's first frame waits for the period and
// for the capture transfer that completes it, L + C at most. The output latency is the rest:
// the host's period and the n + 1 playback transfers, L + F(n + 1).
#include "asio/reported_latency.h"

namespace q407::asio {

int64_t DerivedRoundTrip(int64_t bufferFrames, int64_t usbBuffers) {
    const int64_t F = 20 * usbBuffers;
    const int64_t C = 16 * usbBuffers;
    return 2 * bufferFrames + C + F * (usbBuffers + 1);
}

ReportedLatencies ReportedLatenciesFor(uint32_t sampleRate, int32_t bufferFrames,
                                       int32_t usbBuffers) {
    ReportedLatencies latencies;
    // The engine runs only at these rates, buffer sizes and USB buffer counts.
    const bool knownRate =
        sampleRate == 44100 || sampleRate == 48000 || sampleRate == 88200 || sampleRate == 96000;
    if (!knownRate || bufferFrames < 32 || bufferFrames > 1024 || usbBuffers < 2 || usbBuffers > 5)
        return latencies;
    const int64_t L = bufferFrames;
    const int64_t n = usbBuffers;
    latencies.input = static_cast<int32_t>(L + 16 * n);
    latencies.output = static_cast<int32_t>(DerivedRoundTrip(L, n) - latencies.input);
    return latencies;
}

}  // namespace q407::asio
