// The input and output latencies the driver reports to hosts, derived from the buffer size L and
// the USB buffer count n as the USB driver's engine moves the samples; their sum is the round
// trip a host measures through a looped-back device, the same at every start and every rate.
#pragma once

#include <cstdint>

namespace q407::asio {

struct ReportedLatencies {
    int32_t input = 0;   // frames from a frame entering the device to the host's buffer switch
    int32_t output = 0;  // frames from the host's buffer switch to the frame leaving the device
};

// The round trip in frames for buffer size `bufferFrames` and USB buffer count `usbBuffers`.
int64_t DerivedRoundTrip(int64_t bufferFrames, int64_t usbBuffers);

// Zero latencies for a buffer size or USB buffer count the engine does not run with.
ReportedLatencies ReportedLatenciesFor(uint32_t sampleRate, int32_t bufferFrames,
                                       int32_t usbBuffers);

}  // namespace q407::asio
