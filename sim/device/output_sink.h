// Where the device's analog outputs go: every frame it plays, in order, none dropped.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device/unit_format.h"
#include "sim/device/wav_file.h"

namespace q407::sim {

class OutputSink {
  public:
    virtual ~OutputSink() = default;
    // firstFrame counts from the start of streaming; rate is the sample clock's rate.
    virtual void Write(std::uint64_t firstFrame, const OutputFrame* frames, std::size_t count,
                       std::uint32_t rate) = 0;
};

// Keeps everything in memory, for tests.
class MemoryOutputSink final : public OutputSink {
  public:
    void Write(std::uint64_t firstFrame, const OutputFrame* frames, std::size_t count,
               std::uint32_t rate) override;
    std::vector<OutputFrame> Frames() const;
    std::vector<std::int32_t> Channel(int channel) const;
    std::size_t FrameCount() const;
    // Frame number of the first frame kept (streaming restarts count from 0 again; the sink
    // keeps appending).
    std::uint64_t FirstFrame() const;
    void Clear();

  private:
    mutable std::mutex mu_;
    bool any_ = false;
    std::uint64_t first_ = 0;
    std::vector<OutputFrame> frames_;
};

// Writes all eight outputs into one 24-bit WAV file at the rate of the first frame written.
class WavOutputSink final : public OutputSink {
  public:
    explicit WavOutputSink(std::string path) : path_(std::move(path)) {}
    void Write(std::uint64_t firstFrame, const OutputFrame* frames, std::size_t count,
               std::uint32_t rate) override;
    bool Close();
    bool Failed() const { return failed_; }

  private:
    std::mutex mu_;
    std::string path_;
    WavWriter writer_;
    bool open_ = false;
    bool failed_ = false;
};

}  // namespace q407::sim
