// Client-side wave streams on Q407WDM's subdevices, the way an application drives a pin: a
// playback stream keeps a little audio queued ahead of the driver, a capture stream takes what
// the driver has captured, each pumped between advances of the machine. Samples travel as the
// client's bytes (16- or 32-bit little-endian, interleaved); in memory they are held at full
// 32-bit scale (a 16-bit sample in the upper half), as libsndfile reads them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/host/portcls/audio_client.h"

namespace q407::tools {

// The pin format for a stream: plain PCM for stereo unless asked, WAVE_FORMAT_EXTENSIBLE with the
// usual speaker mask otherwise.
sim::audio::WaveFormat PinFormat(uint32_t rate, int channels, int bits, bool extensible);
// The speaker mask the device uses for a channel count (0 when it has none).
uint32_t SpeakerMask(int channels);

// Interleaves full-scale samples into the client's bytes of `bits` (16 or 32) each.
std::vector<uint8_t> PackSamples(const std::vector<std::vector<int32_t>>& channels, int bits);
// The other way; a trailing partial frame is left out.
std::vector<std::vector<int32_t>> UnpackSamples(const std::vector<uint8_t>& bytes, int channels,
                                                int bits);

// The device's 24-bit output sample for a full-scale client sample of `bits`: what a bit-exact
// path plays.
int32_t DeviceSampleOf(int32_t fullScale);

// `got` holds `sent` from some frame on: the first non-zero sample of each fixes the delay, and
// every sample of `sent` from its first non-zero one must follow at that delay.
struct DelayedCheck {
    int64_t delay = -1;     // frames; -1 when nothing non-zero arrived
    uint64_t expected = 0;  // samples of sent from its first non-zero one
    uint64_t checked = 0;   // of those, how many arrived
    uint64_t mismatches = 0;
    int64_t firstMismatch = -1;  // index into sent of the first sample that differs
    bool BitExact() const {
        return delay >= 0 && expected != 0 && checked == expected && mismatches == 0;
    }
};
DelayedCheck CheckDelayed(const std::vector<int32_t>& sent, const std::vector<int32_t>& got);

class PlaybackStream {
  public:
    // Opens the pin and queues the first lead of audio; the status of the open (0 on success).
    // The bytes are followed by a lead of silence, as the audio stack goes on feeding a stream
    // after its client's last buffer: the engine takes whole periods only, so a last partial
    // period would otherwise never play.
    int32_t Open(const std::wstring& waveName, const sim::audio::WaveFormat& format,
                 std::vector<uint8_t> bytes, double leadSeconds = 0.1);
    int32_t Start();
    // Tops the queue up to the lead; true while anything is left to queue or to be taken by the
    // driver.
    bool Pump();
    // Of the client's bytes (the silence after them not counted).
    uint64_t BytesQueued() const { return offset_ < dataBytes_ ? offset_ : dataBytes_; }
    uint64_t BytesTotal() const { return dataBytes_; }
    uint64_t Position() const;
    // Stops and closes the pin.
    void Close();

  private:
    std::unique_ptr<sim::audio::WavePin> pin_;
    std::vector<uint8_t> bytes_;
    size_t offset_ = 0;
    size_t dataBytes_ = 0;
    size_t leadBytes_ = 0;
};

class CaptureStream {
  public:
    int32_t Open(const std::wstring& waveName, const sim::audio::WaveFormat& format);
    int32_t Start();
    // Takes what the driver captured, up to `limit` bytes in all.
    void Pump(size_t limit);
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    void Close();

  private:
    std::unique_ptr<sim::audio::WavePin> pin_;
    std::vector<uint8_t> bytes_;
};

}  // namespace q407::tools
