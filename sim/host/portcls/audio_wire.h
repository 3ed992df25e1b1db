// The audio client API's calls to a machine: limits and payloads, shared by the program's side
// (audio_client_link.cpp) and the machine's handlers. Every reply starts with U32 win32Error
// (0, or ERROR_INVALID_PARAMETER for a malformed call) and U32 status (an NTSTATUS), then:
//   AudioListSubdevices  ()                              -> U32 count, count x {WString name,
//                        U32 kind, WString link, U32 unit, U8 playback, U8 recording}
//   AudioListMixerLines  WString mixer                   -> U32 count, count x {U32 node,
//                        U8 playbackPath, U8 hasMute, U8 muted}
//   AudioSetMute         WString mixer, U32 node, U8 mute
//   AudioGetMute         WString mixer, U32 node         -> U8 muted
//   WavePinOpen          WString wave, U8 capture, U32 rate, U16 channels, U16 bits,
//                        U8 extensible, U32 channelMask  -> U64 pin
//   WavePinSetState      U64 pin, U32 state (PinState)
//   WavePinWrite         U64 pin, Bytes(data)            -> U64 written
//   WavePinRead          U64 pin, U32 most               -> Bytes(data)
//   WavePinQueued        U64 pin                         -> U64 queued
//   WavePinPosition      U64 pin                         -> U64 position
//   WavePinClose         U64 pin
//   MidiPortOpen         WString midi                    -> U64 port
//   MidiPortSend         U64 port, Bytes(data)
//   MidiPortReceive      U64 port                        -> Bytes(data)
//   MidiPortClose        U64 port
// A pin or port is a handle in the caller's process on the machine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407::sim::audio {

// The most bytes one call writes to or reads from a wave pin, or sends to a MIDI port.
inline constexpr size_t kMaxAudioChunk = size_t(1) << 20;
// Names of subdevices and mixers are short; longer is refused.
inline constexpr size_t kMaxAudioName = 255;
// Subdevices and mixer lines in one answer.
inline constexpr uint32_t kMaxAudioListing = 4096;

}  // namespace q407::sim::audio
