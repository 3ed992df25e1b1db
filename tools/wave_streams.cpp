#include "tools/wave_streams.h"

#include <algorithm>
#include <cstring>

namespace q407::tools {

uint32_t SpeakerMask(int channels) {
    switch (channels) {
        case 2:
            return 0x3;
        case 4:
            return 0x33;
        case 6:
            return 0x3F;
        case 7:
            return 0x70F;
        case 8:
            return 0x63F;
        default:
            return 0;
    }
}

sim::audio::WaveFormat PinFormat(uint32_t rate, int channels, int bits, bool extensible) {
    sim::audio::WaveFormat format{};
    format.rate = rate;
    format.channels = static_cast<uint16_t>(channels);
    format.bitsPerSample = static_cast<uint16_t>(bits);
    format.extensible = extensible || channels != 2;
    format.channelMask = format.extensible ? SpeakerMask(channels) : 0;
    return format;
}

std::vector<uint8_t> PackSamples(const std::vector<std::vector<int32_t>>& channels, int bits) {
    const size_t count = channels.size();
    const size_t frames = count == 0 ? 0 : channels.front().size();
    const size_t width = bits == 16 ? 2 : 4;
    std::vector<uint8_t> bytes(frames * count * width);
    uint8_t* at = bytes.data();
    for (size_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < count; ++c) {
            const uint32_t s = static_cast<uint32_t>(channels[c][f]);
            if (width == 2) {
                *at++ = static_cast<uint8_t>(s >> 16);
                *at++ = static_cast<uint8_t>(s >> 24);
            } else {
                for (int b = 0; b < 4; ++b) *at++ = static_cast<uint8_t>(s >> (8 * b));
            }
        }
    }
    return bytes;
}

std::vector<std::vector<int32_t>> UnpackSamples(const std::vector<uint8_t>& bytes, int channels,
                                                int bits) {
    const size_t width = bits == 16 ? 2 : 4;
    const size_t count = channels > 0 ? size_t(channels) : 0;
    const size_t frames = count == 0 ? 0 : bytes.size() / (width * count);
    std::vector<std::vector<int32_t>> out(count, std::vector<int32_t>(frames));
    const uint8_t* at = bytes.data();
    for (size_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < count; ++c) {
            uint32_t s = 0;
            if (width == 2) {
                s = (uint32_t(at[0]) << 16) | (uint32_t(at[1]) << 24);
            } else {
                s = uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) |
                    (uint32_t(at[3]) << 24);
            }
            at += width;
            out[c][f] = static_cast<int32_t>(s);
        }
    }
    return out;
}

int32_t DeviceSampleOf(int32_t fullScale) {
    return fullScale >> 8;  // the converters keep the upper 24 bits
}

DelayedCheck CheckDelayed(const std::vector<int32_t>& sent, const std::vector<int32_t>& got) {
    DelayedCheck check;
    const auto firstSent = std::find_if(sent.begin(), sent.end(), [](int32_t s) { return s != 0; });
    const auto firstGot = std::find_if(got.begin(), got.end(), [](int32_t s) { return s != 0; });
    if (firstSent == sent.end()) return check;
    const size_t k0 = size_t(firstSent - sent.begin());
    check.expected = sent.size() - k0;
    if (firstGot == got.end()) return check;
    const size_t j0 = size_t(firstGot - got.begin());
    check.delay = int64_t(j0) - int64_t(k0);
    for (size_t k = k0; k < sent.size(); ++k) {
        const size_t j = j0 + (k - k0);
        if (j >= got.size()) break;
        ++check.checked;
        if (got[j] != sent[k] && check.mismatches++ == 0) check.firstMismatch = int64_t(k);
    }
    return check;
}

int32_t PlaybackStream::Open(const std::wstring& waveName, const sim::audio::WaveFormat& format,
                             std::vector<uint8_t> bytes, double leadSeconds) {
    bytes_ = std::move(bytes);
    dataBytes_ = bytes_.size();
    offset_ = 0;
    const size_t block = size_t(format.channels) * (format.bitsPerSample / 8);
    leadBytes_ = std::max<size_t>(block, size_t(double(format.rate) * leadSeconds) * block);
    bytes_.resize(dataBytes_ + leadBytes_, 0);
    const int32_t status = sim::audio::WavePin::Open(waveName, false, format, &pin_);
    if (status < 0) {
        pin_.reset();
        return status;
    }
    (void)Pump();  // the first lead goes in before the run, so that the first fill finds it
    return status;
}

int32_t PlaybackStream::Start() {
    return pin_->SetState(sim::audio::PinState::Run);
}

bool PlaybackStream::Pump() {
    if (!pin_) return false;
    const size_t queued = pin_->Queued();
    if (offset_ < bytes_.size() && queued < leadBytes_) {
        const size_t want = std::min(leadBytes_ - queued, bytes_.size() - offset_);
        offset_ += pin_->Write(bytes_.data() + offset_, want);
    }
    return offset_ < bytes_.size() || pin_->Queued() != 0;
}

uint64_t PlaybackStream::Position() const {
    return pin_ ? pin_->Position() : 0;
}

void PlaybackStream::Close() {
    if (!pin_) return;
    // A refused stop leaves nothing to undo: the pin closes either way.
    (void)pin_->SetState(sim::audio::PinState::Stop);
    pin_.reset();
}

int32_t CaptureStream::Open(const std::wstring& waveName, const sim::audio::WaveFormat& format) {
    bytes_.clear();
    const int32_t status = sim::audio::WavePin::Open(waveName, true, format, &pin_);
    if (status < 0) pin_.reset();
    return status;
}

int32_t CaptureStream::Start() {
    return pin_->SetState(sim::audio::PinState::Run);
}

void CaptureStream::Pump(size_t limit) {
    if (!pin_) return;
    uint8_t chunk[16384];
    while (bytes_.size() < limit) {
        const size_t got = pin_->Read(chunk, std::min(sizeof(chunk), limit - bytes_.size()));
        if (got == 0) break;
        bytes_.insert(bytes_.end(), chunk, chunk + got);
    }
}

void CaptureStream::Close() {
    if (!pin_) return;
    (void)pin_->SetState(sim::audio::PinState::Stop);  // the pin closes either way
    pin_.reset();
}

}  // namespace q407::tools
