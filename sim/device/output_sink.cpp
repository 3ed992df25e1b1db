#include "sim/device/output_sink.h"

namespace q407::sim {

void MemoryOutputSink::Write(std::uint64_t firstFrame, const OutputFrame* frames, std::size_t count,
                             std::uint32_t) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!any_) {
        any_ = true;
        first_ = firstFrame;
    }
    frames_.insert(frames_.end(), frames, frames + count);
}

std::vector<OutputFrame> MemoryOutputSink::Frames() const {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_;
}

std::vector<std::int32_t> MemoryOutputSink::Channel(int channel) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::int32_t> out;
    if (channel < 0 || channel >= kOutputChannels) return out;
    out.reserve(frames_.size());
    for (const OutputFrame& f : frames_) out.push_back(f[std::size_t(channel)]);
    return out;
}

std::size_t MemoryOutputSink::FrameCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_.size();
}

std::uint64_t MemoryOutputSink::FirstFrame() const {
    std::lock_guard<std::mutex> lock(mu_);
    return first_;
}

void MemoryOutputSink::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    frames_.clear();
    any_ = false;
    first_ = 0;
}

void WavOutputSink::Write(std::uint64_t, const OutputFrame* frames, std::size_t count,
                          std::uint32_t rate) {
    std::lock_guard<std::mutex> lock(mu_);
    if (failed_) return;
    if (!open_) {
        if (!writer_.Open(path_, rate, kOutputChannels)) {
            failed_ = true;
            return;
        }
        open_ = true;
    }
    if (!writer_.Write(frames->data(), count)) failed_ = true;
}

bool WavOutputSink::Close() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = false;
    return writer_.Close() && !failed_;
}

}  // namespace q407::sim
