// What feeds the device's inputs: per channel a loopback of one of its outputs, a generator, a
// WAV file or silence.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/device/wav_file.h"

namespace q407::sim {

// A generated signal: the 24-bit sample of frame `frame` (counted from the start of capture) at
// `rate`.
class SignalGenerator {
  public:
    virtual ~SignalGenerator() = default;
    virtual std::int32_t Sample(std::uint64_t frame, std::uint32_t rate) = 0;
};

// (start + frame * step) wrapped into 24 bits.
class RampGenerator final : public SignalGenerator {
  public:
    RampGenerator(std::int32_t start, std::int32_t step) : start_(start), step_(step) {}
    std::int32_t Sample(std::uint64_t frame, std::uint32_t rate) override;

  private:
    std::int32_t start_;
    std::int32_t step_;
};

// tag in the top 4 bits of the 24, the frame number in the low 20: tells channel and position.
class CounterGenerator final : public SignalGenerator {
  public:
    explicit CounterGenerator(std::uint8_t tag) : tag_(tag) {}
    std::int32_t Sample(std::uint64_t frame, std::uint32_t rate) override;

  private:
    std::uint8_t tag_;
};

// amplitude in 24-bit full scale units (8388607 = 0 dBFS).
class SineGenerator final : public SignalGenerator {
  public:
    SineGenerator(double frequencyHz, double amplitude, double phaseRadians = 0.0)
        : frequency_(frequencyHz), amplitude_(amplitude), phase_(phaseRadians) {}
    std::int32_t Sample(std::uint64_t frame, std::uint32_t rate) override;

  private:
    double frequency_;
    double amplitude_;
    double phase_;
};

// One channel of a WAV file, played once (silence after its end) or looped; the file's rate is
// not converted.
class WavGenerator final : public SignalGenerator {
  public:
    WavGenerator(std::shared_ptr<const WavData> data, int channel, bool loop)
        : data_(std::move(data)), channel_(channel), loop_(loop) {}
    std::int32_t Sample(std::uint64_t frame, std::uint32_t rate) override;

  private:
    std::shared_ptr<const WavData> data_;
    int channel_;
    bool loop_;
};

struct InputSource {
    enum class Kind { Silence, Loopback, Generator };
    Kind kind = Kind::Silence;
    int outputChannel = 0;  // Loopback: the output whose analog signal comes back
    std::shared_ptr<SignalGenerator> generator;

    static InputSource Silence() { return {}; }
    static InputSource Loopback(int output) { return {Kind::Loopback, output, nullptr}; }
    static InputSource Generator(std::shared_ptr<SignalGenerator> g) {
        return {Kind::Generator, 0, std::move(g)};
    }
    static InputSource Ramp(std::int32_t start, std::int32_t step) {
        return Generator(std::make_shared<RampGenerator>(start, step));
    }
    static InputSource Counter(std::uint8_t tag) {
        return Generator(std::make_shared<CounterGenerator>(tag));
    }
    static InputSource Sine(double frequencyHz, double amplitude) {
        return Generator(std::make_shared<SineGenerator>(frequencyHz, amplitude));
    }
    // Null generator (silence) when the file cannot be read; error says why.
    static InputSource Wav(const std::string& path, int channel, bool loop,
                           std::string* error = nullptr);
};

// The S/PDIF input: whether a signal is present, its rate, and its two channels.
struct SpdifSignal {
    bool present = false;
    std::uint32_t rate = 48000;
    InputSource left;
    InputSource right;
};

}  // namespace q407::sim
