// WAV files in and out of the ASIO sessions, through libsndfile: 32-bit integer samples, one
// vector per channel. Reading takes any PCM or float format libsndfile knows and scales it to the
// full 32-bit range, as an ASIO host's Int32 buffers hold it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q407::tools {

struct AudioClip {
    uint32_t rate = 0;
    std::vector<std::vector<int32_t>> channels;  // all the same length
    uint64_t Frames() const { return channels.empty() ? 0 : channels.front().size(); }
};

// False, with a message naming the file, when it cannot be read or holds no audio.
bool ReadWavFile(const std::string& path, AudioClip* clip, std::string* error);

// A 32-bit (or, with bits 16, a 16-bit) PCM WAV file; the channels must be of one length; 16-bit
// samples are the upper halves of the clip's. False, with the message, on failure.
bool WriteWavFile(const std::string& path, const AudioClip& clip, std::string* error,
                  int bits = 32);

// How a WAV file stores its samples, as far as a player must know.
struct WavFileFormat {
    int bits = 0;             // bits per sample of integer PCM; 0 for any other encoding
    bool extensible = false;  // WAVE_FORMAT_EXTENSIBLE
    int channels = 0;
    uint32_t rate = 0;
    std::string encoding;  // "PCM 16-bit", "float 32-bit", ...
};
// False, with a message naming the file, when it cannot be opened as a sound file.
bool ProbeWavFile(const std::string& path, WavFileFormat* format, std::string* error);

}  // namespace q407::tools
