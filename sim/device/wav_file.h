// Minimal RIFF/WAVE PCM reading and writing for the device's inputs and outputs. Samples are
// 24-bit values sign-extended into 32 bits whatever the file's width.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace q407::sim {

struct WavData {
    std::uint32_t rate = 0;
    int channels = 0;
    std::vector<std::int32_t> samples;  // interleaved, 24-bit range
    std::size_t Frames() const { return channels ? samples.size() / std::size_t(channels) : 0; }
};

// Reads 8-, 16-, 24- or 32-bit integer PCM. False (with a message) for anything else or a file
// that ends early; a chunk size that runs past the end is cut to the file.
bool ReadWavFile(const std::string& path, WavData& out, std::string* error = nullptr);

// Streams 24-bit PCM to a file; the header sizes are fixed up by Close (and the destructor).
class WavWriter {
  public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool Open(const std::string& path, std::uint32_t rate, int channels);
    // frames interleaved samples of `channels` channels each.
    bool Write(const std::int32_t* interleaved, std::size_t frames);
    bool Close();
    std::uint64_t FramesWritten() const { return frames_; }

  private:
    std::FILE* file_ = nullptr;
    int channels_ = 0;
    std::uint64_t frames_ = 0;
};

}  // namespace q407::sim
