#include "tools/demo_companion.h"

#include <algorithm>
#include <limits>

#include "sim/host/portcls/audio_client.h"
#include "tools/device_rig.h"
#include "tools/midi_command.h"

namespace q407::tools {
namespace {

constexpr int kWdmChannels = 2;
constexpr int kWdmBits = 16;
constexpr double kStep = 0.01;
constexpr uint64_t kMidiAhead = 128;  // bytes handed over ahead of what has come back
constexpr size_t kMidiChunk = 8;

int32_t Saturate(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

}  // namespace

struct DemoCompanion::Midi {
    std::unique_ptr<sim::audio::MidiPort> port;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> received;
    size_t offset = 0;
};

DemoCompanion::DemoCompanion(DeviceRig& rig, uint32_t rate, double seconds)
    : rig_(rig),
      rate_(rate),
      frames_(static_cast<uint64_t>(seconds * rate)),
      midi_(std::make_unique<Midi>()) {
    // A third of the MIDI wire's rate (3,125 bytes a second) leaves the loop time to drain.
    midi_->bytes = MidiPattern(std::max<size_t>(64, static_cast<size_t>(seconds * 1000)));
}

DemoCompanion::~DemoCompanion() = default;

int32_t DemoCompanion::WdmSample(int channel, uint64_t frame) const {
    // Quiet noise, never 0, different per channel: every mixed frame shows the WDM sample.
    uint32_t x = static_cast<uint32_t>(frame * 2654435761U) ^ (0x9E3779B9U * uint32_t(channel + 1));
    x ^= x >> 15;
    const int16_t s = static_cast<int16_t>(int32_t(x & 0x0FFF) - 0x800);
    return int32_t(s == 0 ? 1 : s) * 65536;
}

void DemoCompanion::Start() {
    if (started_) return;
    started_ = true;
    std::vector<std::vector<int32_t>> channels(kWdmChannels, std::vector<int32_t>(frames_));
    for (int c = 0; c < kWdmChannels; ++c)
        for (uint64_t f = 0; f < frames_; ++f) channels[size_t(c)][f] = WdmSample(c, f);
    report_.wdmFramesTotal = frames_;
    report_.wdmStatus = wave_.Open(L"ZEL_Wave1", PinFormat(rate_, kWdmChannels, kWdmBits, false),
                                   PackSamples(channels, kWdmBits));
    if (report_.wdmStatus >= 0) report_.wdmStatus = wave_.Start();
    if (report_.wdmStatus < 0) wave_.Close();

    report_.midiStatus = sim::audio::MidiPort::Open(L"ZEL_Midi1", &midi_->port);
}

void DemoCompanion::Pump() {
    (void)wave_.Pump();  // false once everything is queued: nothing more to do for it
    Midi& m = *midi_;
    if (!m.port || report_.midiStatus < 0) return;
    m.port->Receive(&m.received);
    while (m.offset < m.bytes.size() && m.offset < m.received.size() + kMidiAhead) {
        const size_t count = std::min(kMidiChunk, m.bytes.size() - m.offset);
        const int32_t status = m.port->Send(m.bytes.data() + m.offset, count);
        if (status < 0) {
            report_.midiStatus = status;
            return;
        }
        m.offset += count;
    }
    m.port->Receive(&m.received);
}

void DemoCompanion::Advance(double seconds) {
    double left = seconds;
    while (left > 1e-9) {
        if (started_) Pump();
        const double step = std::min(kStep, left);
        rig_.RunForSeconds(step);
        left -= step;
    }
    if (started_) Pump();
}

void DemoCompanion::Finish() {
    if (!started_) return;
    report_.wdmFramesQueued = wave_.BytesQueued() / (kWdmChannels * (kWdmBits / 8));
    report_.wdmPosition = wave_.Position();
    wave_.Close();
    Midi& m = *midi_;
    if (m.port) {
        // What is still on the wire arrives within a few byte times.
        for (int i = 0; i < 50 && m.received.size() < m.offset; ++i) {
            rig_.RunForSeconds(kStep);
            m.port->Receive(&m.received);
        }
        m.port.reset();
    }
    report_.midiSent = m.offset;
    report_.midiReceived = m.received.size();
    const size_t common = std::min(m.received.size(), m.offset);
    for (size_t i = 0; i < common && report_.midiFirstMismatch < 0; ++i)
        if (m.received[i] != m.bytes[i]) report_.midiFirstMismatch = int64_t(i);
    if (report_.midiFirstMismatch < 0 && m.received.size() > m.offset)
        report_.midiFirstMismatch = int64_t(m.offset);
    report_.midiLost = m.offset > m.received.size() ? m.offset - m.received.size() : 0;
    started_ = false;
}

MixCheck DemoCompanion::CheckMix(int channel, const std::vector<int32_t>& asioPlayed,
                                 const std::vector<int32_t>& recorded, int64_t roundTrip) const {
    MixCheck check;
    if (roundTrip < 0) return check;
    const auto asioAt = [&](int64_t f) -> int64_t {
        const int64_t k = f - roundTrip;
        return k >= 0 && k < int64_t(asioPlayed.size()) ? asioPlayed[size_t(k)] : 0;
    };
    const int64_t n =
        std::min<int64_t>(int64_t(recorded.size()), roundTrip + int64_t(asioPlayed.size()));
    int64_t first = -1;
    for (int64_t f = 0; f < n && first < 0; ++f)
        if (int64_t(recorded[size_t(f)]) != asioAt(f)) first = f;
    if (first < 0) return check;
    check.found = true;
    check.wdmDelay = first - roundTrip;
    for (int64_t f = 0; f < n; ++f) {
        const int64_t k = f - first;
        const bool hasWdm = k >= 0 && uint64_t(k) < report_.wdmFramesQueued;
        const int64_t wdm = hasWdm ? WdmSample(channel, uint64_t(k)) : 0;
        const int32_t expected =
            Saturate(asioAt(f) + wdm) & static_cast<int32_t>(0xFFFFFF00U);  // 24 bits kept
        ++check.checked;
        if (hasWdm) ++check.wdmSamples;
        if (recorded[size_t(f)] != expected) ++check.mismatches;
    }
    return check;
}

}  // namespace q407::tools
