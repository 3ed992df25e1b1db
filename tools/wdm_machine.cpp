#include "tools/wdm_machine.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <thread>

#include "shared/mixer_settings.h"
#include "sim/device/output_sink.h"
#include "sim/device/signal_source.h"
#include "sim/host/machine_clock.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/host/process.h"
#include "tools/device_rig.h"
#include "wdmdriver/adapter_driver.h"

namespace q407::tools {

int32_t RampInputSample(int channel, uint64_t frame) {
    const uint32_t start = (uint32_t(channel & 0xF) << 20) | (0x11U * uint32_t(channel + 1) & 0xFF);
    const uint32_t value = (start + uint32_t(frame) * 256U) & 0xFFFFFFU;
    // Sign-extended from 24 bits, as the device's inputs carry it.
    return static_cast<int32_t>(value << 8) >> 8;
}

namespace {

// The ramp of one input, as the device's generator interface asks for it.
class RampInput final : public sim::SignalGenerator {
  public:
    explicit RampInput(int channel) : channel_(channel) {}
    std::int32_t Sample(std::uint64_t frame, std::uint32_t) override {
        return RampInputSample(channel_, frame);
    }

  private:
    int channel_;
};

}  // namespace

// The client process ends before the rig removes the device, so that its handles are closed
// when the drivers' removal runs.
struct WdmMachine::State {
    explicit State(const DeviceRigOptions& options) { rig.emplace(options); }
    State() = default;  // linked: no machine of our own
    std::optional<DeviceRig> rig;
    std::chrono::steady_clock::time_point linkTime{};
    std::unique_ptr<sim::Process> client;
    std::shared_ptr<sim::MemoryOutputSink> memory;
    std::shared_ptr<sim::WavOutputSink> wav;
    sim::ClockTicks bootTime = 0;
};

WdmMachine::WdmMachine() = default;

WdmMachine::~WdmMachine() {
    if (state_) state_->client.reset();
}

bool WdmMachine::Boot(const WdmMachineOptions& options, std::string* error) {
    DeviceRigOptions rigOptions;
    rigOptions.clockMode = options.realTime ? sim::ClockMode::Real : sim::ClockMode::Virtual;
    rigOptions.childDriver =
        options.childDriver != nullptr ? options.childDriver : wdm::WdmDriverEntry;
    state_ = std::make_unique<State>(rigOptions);
    MixerSettings settings = DefaultMixerSettings();
    settings.sampleRate = static_cast<LONG>(options.rate);
    if (!StartDeviceWithSettings(*state_->rig, settings, error)) return false;
    sim::Q407Device& device = state_->rig->Device();
    switch (options.inputs) {
        case InputFeed::Loopback:
            device.LoopbackAllInputs();
            break;
        case InputFeed::Ramp:
            for (int c = 0; c < 16; ++c)
                device.SetInputSource(c,
                                      sim::InputSource::Generator(std::make_shared<RampInput>(c)));
            break;
        case InputFeed::Silence:
            for (int c = 0; c < 16; ++c) device.SetInputSource(c, sim::InputSource::Silence());
            break;
    }
    device.SetMidiLoopback(options.midiLoopback);
    if (options.keepOutputs) {
        state_->memory = std::make_shared<sim::MemoryOutputSink>();
        device.AddOutputSink(state_->memory);
    }
    if (!options.outputWav.empty()) {
        state_->wav = std::make_shared<sim::WavOutputSink>(options.outputWav);
        device.AddOutputSink(state_->wav);
    }
    state_->client = std::make_unique<sim::Process>("q407 audio client");
    state_->bootTime = sim::MachineClock::Instance().Now();
    ClientScope scope(*this);
    return HasWaveSubdevice(error);
}

bool WdmMachine::UseLinked(std::string* error) {
    state_ = std::make_unique<State>();
    state_->linkTime = std::chrono::steady_clock::now();
    return HasWaveSubdevice(error);
}

bool WdmMachine::HasWaveSubdevice(std::string* error) {
    bool anyWave = false;
    for (const sim::audio::SubdeviceInfo& info : sim::audio::ListSubdevices())
        anyWave = anyWave || info.kind == sim::audio::SubdeviceKind::Wave;
    if (!anyWave) {
        *error = "the audio driver registered no wave subdevice on the device";
        return false;
    }
    return true;
}

bool WdmMachine::Linked() const {
    return state_ && !state_->rig;
}

DeviceRig& WdmMachine::Rig() {
    return *state_->rig;
}

sim::Process& WdmMachine::Client() {
    return *state_->client;
}

void WdmMachine::Advance(double seconds) {
    if (Linked()) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return;
    }
    state_->rig->RunForSeconds(seconds);
}

double WdmMachine::Now() const {
    if (Linked())
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - state_->linkTime)
            .count();
    return double(sim::MachineClock::Instance().Now() - state_->bootTime) /
           double(sim::kTicksPerSecond);
}

std::vector<int32_t> WdmMachine::Output(int channel) const {
    return state_->memory ? state_->memory->Channel(channel) : std::vector<int32_t>{};
}

uint64_t WdmMachine::OutputFrames() const {
    return state_->memory ? state_->memory->FrameCount() : 0;
}

bool WdmMachine::CloseOutputWav(std::string* error) {
    if (!state_ || !state_->wav) return true;
    state_->rig->Device().RemoveOutputSink(state_->wav);
    const bool closed = state_->wav->Close() && !state_->wav->Failed();
    if (!closed) *error = "the device's outputs could not be written to the WAV file";
    state_->wav.reset();
    return closed;
}

struct ClientScope::Holder {
    explicit Holder(sim::Process& process) : scope(process) {}
    sim::Process::Scope scope;
};

ClientScope::ClientScope(WdmMachine& machine) {
    if (!machine.Linked()) holder_ = std::make_unique<Holder>(machine.Client());
}

ClientScope::~ClientScope() = default;

PDRIVER_INITIALIZE WdmDriverEntryPoint() {
    return wdm::WdmDriverEntry;
}

std::string StatusText(int32_t status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08" PRIX32, static_cast<uint32_t>(status));
    return text;
}

}  // namespace q407::tools
