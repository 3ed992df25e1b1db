#include "sim/device/wav_file.h"

#include <cstring>

#include "sim/device/unit_format.h"

namespace q407::sim {

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
std::uint16_t Le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}

bool Fail(std::string* error, const char* text) {
    if (error) *error = text;
    return false;
}

}  // namespace

bool ReadWavFile(const std::string& path, WavData& out, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return Fail(error, "cannot open file");
    std::vector<std::uint8_t> bytes;
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);

    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return Fail(error, "not a RIFF/WAVE file");
    int bits = 0;
    int channels = 0;
    std::uint32_t rate = 0;
    bool haveFormat = false;
    std::size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const std::uint8_t* chunk = bytes.data() + pos;
        std::size_t size = Le32(chunk + 4);
        std::size_t body = pos + 8;
        if (size > bytes.size() - body) size = bytes.size() - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16) return Fail(error, "short format chunk");
            std::uint16_t format = Le16(chunk + 8);
            channels = Le16(chunk + 10);
            rate = Le32(chunk + 12);
            bits = Le16(chunk + 22);
            if (format == 0xFFFE && size >= 26) format = Le16(chunk + 8 + 24);
            if (format != 1) return Fail(error, "not integer PCM");
            if (channels < 1 || channels > 64) return Fail(error, "bad channel count");
            if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
                return Fail(error, "unsupported sample width");
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return Fail(error, "data before format");
            std::size_t width = std::size_t(bits / 8);
            std::size_t count = size / width;
            count -= count % std::size_t(channels);
            out.rate = rate;
            out.channels = channels;
            out.samples.resize(count);
            const std::uint8_t* p = chunk + 8;
            for (std::size_t i = 0; i < count; ++i, p += width) {
                std::int32_t v = 0;
                switch (bits) {
                    case 8:
                        v = (std::int32_t(p[0]) - 128) << 16;
                        break;
                    case 16:
                        v = std::int32_t(std::int16_t(Le16(p))) << 8;
                        break;
                    case 24:
                        v = SignExtend24(std::uint32_t(p[0]) | (p[1] << 8) | (p[2] << 16));
                        break;
                    default:
                        v = std::int32_t(Le32(p)) >> 8;
                        break;
                }
                out.samples[i] = v;
            }
            return true;
        }
        pos = body + size + (size & 1);
    }
    return Fail(error, "no data chunk");
}

WavWriter::~WavWriter() {
    Close();
}

bool WavWriter::Open(const std::string& path, std::uint32_t rate, int channels) {
    Close();
    if (channels < 1 || channels > 64) return false;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return false;
    channels_ = channels;
    frames_ = 0;
    std::uint8_t h[44] = {};
    std::memcpy(h, "RIFF", 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);
    Put16(h + 22, std::uint16_t(channels));
    Put32(h + 24, rate);
    Put32(h + 28, rate * 3u * std::uint32_t(channels));
    Put16(h + 32, std::uint16_t(3 * channels));
    Put16(h + 34, 24);
    std::memcpy(h + 36, "data", 4);
    return std::fwrite(h, 1, sizeof h, file_) == sizeof h;
}

bool WavWriter::Write(const std::int32_t* interleaved, std::size_t frames) {
    if (!file_) return false;
    std::vector<std::uint8_t> out(frames * std::size_t(channels_) * 3);
    std::uint8_t* p = out.data();
    for (std::size_t i = 0; i < frames * std::size_t(channels_); ++i, p += 3) {
        auto v = std::uint32_t(interleaved[i]);
        p[0] = std::uint8_t(v);
        p[1] = std::uint8_t(v >> 8);
        p[2] = std::uint8_t(v >> 16);
    }
    frames_ += frames;
    return std::fwrite(out.data(), 1, out.size(), file_) == out.size();
}

bool WavWriter::Close() {
    if (!file_) return true;
    std::uint64_t data = frames_ * std::uint64_t(channels_) * 3;
    if (data > 0xFFFFFFF0u - 36) data = 0xFFFFFFF0u - 36;  // the format's limit
    std::uint8_t size[4];
    bool ok = true;
    Put32(size, std::uint32_t(36 + data));
    ok = ok && std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    Put32(size, std::uint32_t(data));
    ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
}

}  // namespace q407::sim
