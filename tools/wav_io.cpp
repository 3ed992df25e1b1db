#include "tools/wav_io.h"

#include <sndfile.h>

#include <memory>

namespace q407::tools {
namespace {

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

// Larger files are refused rather than read into memory whole.
constexpr sf_count_t kMaxSamples = sf_count_t(1) << 28;
constexpr int kMaxChannels = 64;

}  // namespace

bool ReadWavFile(const std::string& path, AudioClip* clip, std::string* error) {
    SF_INFO info{};
    SndfileHandle file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > kMaxChannels || info.samplerate <= 0) {
        *error = "'" + path + "' has " + std::to_string(info.channels) + " channels at " +
                 std::to_string(info.samplerate) + " Hz, which cannot be played";
        return false;
    }
    if (info.frames <= 0) {
        *error = "'" + path + "' holds no audio";
        return false;
    }
    if (info.frames > kMaxSamples / info.channels) {
        *error = "'" + path + "' is too long to be played whole";
        return false;
    }
    std::vector<int32_t> interleaved(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_int(file.get(), interleaved.data(), info.frames);
    if (got <= 0) {
        *error = "cannot read the samples of '" + path + "': " + sf_strerror(file.get());
        return false;
    }
    clip->rate = static_cast<uint32_t>(info.samplerate);
    clip->channels.assign(static_cast<size_t>(info.channels),
                          std::vector<int32_t>(static_cast<size_t>(got)));
    for (sf_count_t f = 0; f < got; ++f)
        for (int c = 0; c < info.channels; ++c)
            clip->channels[size_t(c)][size_t(f)] = interleaved[size_t(f * info.channels + c)];
    return true;
}

bool ProbeWavFile(const std::string& path, WavFileFormat* format, std::string* error) {
    SF_INFO info{};
    SndfileHandle file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    *format = {};
    format->channels = info.channels;
    format->rate = info.samplerate > 0 ? static_cast<uint32_t>(info.samplerate) : 0;
    format->extensible = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAVEX;
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_16:
            format->bits = 16;
            format->encoding = "PCM 16-bit";
            break;
        case SF_FORMAT_PCM_24:
            format->bits = 24;
            format->encoding = "PCM 24-bit";
            break;
        case SF_FORMAT_PCM_32:
            format->bits = 32;
            format->encoding = "PCM 32-bit";
            break;
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_S8:
            format->encoding = "PCM 8-bit";
            break;
        case SF_FORMAT_FLOAT:
            format->encoding = "float 32-bit";
            break;
        case SF_FORMAT_DOUBLE:
            format->encoding = "float 64-bit";
            break;
        default:
            format->encoding = "compressed or unusual";
            break;
    }
    return true;
}

bool WriteWavFile(const std::string& path, const AudioClip& clip, std::string* error, int bits) {
    const size_t channels = clip.channels.size();
    if (channels == 0 || channels > size_t(kMaxChannels) || clip.rate == 0) {
        *error = "nothing to write to '" + path + "'";
        return false;
    }
    const size_t frames = clip.channels.front().size();
    for (const auto& channel : clip.channels) {
        if (channel.size() != frames) {
            *error = "the channels written to '" + path + "' differ in length";
            return false;
        }
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(clip.rate);
    info.channels = static_cast<int>(channels);
    info.format = SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_32);
    SndfileHandle file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    std::vector<int32_t> interleaved(frames * channels);
    for (size_t f = 0; f < frames; ++f)
        for (size_t c = 0; c < channels; ++c) interleaved[f * channels + c] = clip.channels[c][f];
    const sf_count_t written =
        sf_writef_int(file.get(), interleaved.data(), static_cast<sf_count_t>(frames));
    if (written != static_cast<sf_count_t>(frames)) {
        *error = "cannot write the samples of '" + path + "': " + sf_strerror(file.get());
        return false;
    }
    return true;
}

}  // namespace q407::tools
