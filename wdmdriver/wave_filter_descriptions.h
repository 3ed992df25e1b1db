// The wave subdevices' filter descriptions, one per kind of subdevice:
//   - indices 0..3: stereo playback and stereo recording (nodes DAC 0 and ADC 1);
//   - indices 4..7: stereo recording only (node ADC 0);
//   - index 8: multichannel playback only (node DAC 0), up to 8 channels.
// Every kind has the same four pins, so that the physical connections to the mixer use the same
// pin numbers everywhere: 0 playback sink, 1 playback bridge out, 2 recording source, 3 recording
// bridge in. A direction the kind does not carry has a pin that cannot stream in its place.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {

enum class WaveKind { PlaybackAndRecording, RecordingOnly, Multichannel };

inline constexpr ULONG kWavePinPlayback = 0;
inline constexpr ULONG kWavePinPlaybackBridge = 1;
inline constexpr ULONG kWavePinRecording = 2;
inline constexpr ULONG kWavePinRecordingBridge = 3;
inline constexpr ULONG kWavePinCount = 4;
inline constexpr ULONG kWaveSubdeviceCount = 9;
inline constexpr ULONG kMultichannelIndex = 8;

WaveKind WaveKindOf(ULONG subdeviceIndex);
const PCFILTER_DESCRIPTOR* WaveFilterDescription(WaveKind kind);
// Whether the kind streams in the direction.
BOOLEAN WaveKindCarries(WaveKind kind, BOOLEAN capture);
// Most channels a stream of the kind may have.
ULONG WaveKindMaxChannels(WaveKind kind);
// The streaming pin's data range (the same for every kind).
const KSDATARANGE_AUDIO* WavePinDataRange();

// Names of the streaming pins.
inline constexpr GUID kPlaybackPinName = {
    0x185FEDFF, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
inline constexpr GUID kRecordingPinName = {
    0x185FEDFA, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};

}  // namespace q407::wdm
