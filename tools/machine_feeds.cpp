#include "tools/machine_feeds.h"

#include "sim/device/output_sink.h"
#include "sim/device/q407_device.h"
#include "sim/device/signal_source.h"
#include "sim/device/usb_bus.h"
#include "sim/device/wav_file.h"
#include "tools/device_rig.h"
#include "tools/test_signal.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

constexpr int kInputs = 16;

class RampFeed final : public sim::SignalGenerator {
  public:
    explicit RampFeed(int channel) : channel_(channel) {}
    std::int32_t Sample(std::uint64_t frame, std::uint32_t) override {
        return RampInputSample(channel_, frame);
    }

  private:
    int channel_;
};

// The test signal the ASIO commands play, as a source on an input (24 significant bits).
class TestSignalFeed final : public sim::SignalGenerator {
  public:
    explicit TestSignalFeed(int channel) : channel_(channel) {}
    std::int32_t Sample(std::uint64_t frame, std::uint32_t) override {
        return TestSignalSample(frame, channel_) >> 8;
    }

  private:
    int channel_;
};

}  // namespace

std::string UnitFilePath(const std::string& path, int unit) {
    if (unit == 0) return path;
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && dot != 0 && (slash == std::string::npos || dot > slash + 1);
    // Appended piece by piece: GCC 12 at -O3 takes "-" + std::string for an overlapping copy.
    std::string result = hasExtension ? path.substr(0, dot) : path;
    result += '-';
    result += std::to_string(unit);
    if (hasExtension) result += path.substr(dot);
    return result;
}

bool MachineFeeds::Prepare(const MachineFeedOptions& options, std::string* error) {
    options_ = options;
    const std::string& input = options.input;
    if (input == "loopback" || input == "ramp" || input == "signal" || input == "silence")
        return true;
    auto data = std::make_shared<sim::WavData>();
    std::string why;
    if (!sim::ReadWavFile(input, *data, &why)) {
        *error = "the input '" + input +
                 "' is neither loopback, ramp, signal, silence nor a readable WAV file (" + why +
                 ")";
        return false;
    }
    if (data->channels <= 0 || data->Frames() == 0) {
        *error = "the input file '" + input + "' holds no samples";
        return false;
    }
    inputWav_ = std::move(data);
    return true;
}

bool MachineFeeds::Apply(DeviceRig& rig, int unit, std::string* error) {
    sim::Q407Device& device = rig.Device(unit);
    const std::string& input = options_.input;
    if (input == "loopback") {
        device.LoopbackAllInputs();
    } else {
        for (int c = 0; c < kInputs; ++c) {
            sim::InputSource source = sim::InputSource::Silence();
            if (input == "ramp")
                source = sim::InputSource::Generator(std::make_shared<RampFeed>(c));
            else if (input == "signal")
                source = sim::InputSource::Generator(std::make_shared<TestSignalFeed>(c % 8));
            else if (inputWav_)
                source = sim::InputSource::Generator(
                    std::make_shared<sim::WavGenerator>(inputWav_, c % inputWav_->channels, true));
            device.SetInputSource(c, std::move(source));
        }
    }
    const auto slot = static_cast<size_t>(unit);
    if (sinks_.size() <= slot) sinks_.resize(slot + 1);
    if (captureStarted_.size() <= slot) captureStarted_.resize(slot + 1, false);
    if (!options_.outputsWav.empty()) {
        if (!sinks_[slot])
            sinks_[slot] =
                std::make_shared<sim::WavOutputSink>(UnitFilePath(options_.outputsWav, unit));
        device.AddOutputSink(sinks_[slot]);
    }
    // A capture starts with the unit's first device: the file would start over on a new one.
    if (!options_.pcapPath.empty() && !captureStarted_[slot]) {
        const std::string path = UnitFilePath(options_.pcapPath, unit);
        if (!rig.VirtualDevice(unit).Bus().StartCapture(path)) {
            *error = "cannot write the capture file '" + path + "'";
            return false;
        }
        captureStarted_[slot] = true;
    }
    return true;
}

bool MachineFeeds::Finish(DeviceRig& rig, std::string* error) {
    bool ok = true;
    for (size_t slot = 0; slot < sinks_.size(); ++slot) {
        const int unit = static_cast<int>(slot);
        if (unit < rig.Units() && captureStarted_[slot])
            rig.VirtualDevice(unit).Bus().StopCapture();
        if (!sinks_[slot]) continue;
        if (unit < rig.Units()) rig.Device(unit).RemoveOutputSink(sinks_[slot]);
        if (!sinks_[slot]->Close() || sinks_[slot]->Failed()) {
            *error = "the outputs of unit " + std::to_string(unit) +
                     " could not be written to their WAV file";
            ok = false;
        }
        sinks_[slot].reset();
    }
    return ok;
}

}  // namespace q407::tools
