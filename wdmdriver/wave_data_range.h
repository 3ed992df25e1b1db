// Data-range intersection of a wave subdevice's streaming pins: the one format the subdevice
// offers for a client's audio range. The client's range is untrusted bytes.
//
// The answer always runs at the device's current rate. The client range must ask for 16 to 32
// bits (never 24 at either end) and rates the device has at both ends, with exactly 2 channels at
// most (2 to 8 on the multichannel subdevice). The recording pin always answers 2 channels.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {

// The answer: a KSDATAFORMAT followed by a WAVEFORMATEXTENSIBLE.
inline constexpr ULONG kIntersectionFormatBytes = 104;
inline constexpr ULONG kRecordingPin = 2;

struct IntersectionQuery {
    ULONG pin;
    const KSDATARANGE* clientRange;
    ULONG clientRangeBytes;  // bytes readable at clientRange
    const KSDATARANGE* ownRange;
    ULONG ownRangeBytes;
    ULONG deviceRate;      // the device's current rate
    BOOLEAN multichannel;  // the 8-channel playback subdevice
};

// Writes the format into result when bufferLength allows and sets *resultLength:
//   - bufferLength 0: *resultLength = 104, STATUS_BUFFER_OVERFLOW;
//   - bufferLength below 104: STATUS_BUFFER_TOO_SMALL;
//   - no format for the ranges: STATUS_NO_MATCH;
//   - otherwise 104 bytes written, STATUS_SUCCESS.
NTSTATUS IntersectWaveRange(const IntersectionQuery& query, ULONG bufferLength, PVOID result,
                            PULONG resultLength);

// Speaker mask for a channel count, 0 when the subdevice has no layout for it.
ULONG ChannelMaskFor(ULONG channels);

}  // namespace q407::wdm
