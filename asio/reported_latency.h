// The input and output latencies the driver reports to hosts, derived from the sample rate, the
// buffer size L and the USB buffer count n as the USB driver's engine moves the samples; their
// sum is the round trip a host measures through a looped-back device.
#pragma once

#include <cstdint>

namespace q407::asio {

struct ReportedLatencies {
    int32_t input = 0;   // frames from a frame entering the device to the host's buffer switch
    int32_t output = 0;  // frames from the host's buffer switch to the frame leaving the device
};

// The round trip in frames for buffer size `bufferFrames`, USB buffer count `usbBuffers` and the
// phase `playbackLead` of the playback pipe over the capture pipe at the stream's start.
int64_t DerivedRoundTrip(int64_t bufferFrames, int64_t usbBuffers, int64_t rateFactor,
                         int64_t playbackLead);

// The playback pipe's lead at the stream's start, as the device takes the first transfers.
int64_t PlaybackLeadFrames(uint32_t sampleRate);

// Zero latencies for a buffer size or USB buffer count the engine does not run with.
ReportedLatencies ReportedLatenciesFor(uint32_t sampleRate, int32_t bufferFrames,
                                       int32_t usbBuffers);

}  // namespace q407::asio
