#include "sim/device/q407_device.h"

#include <algorithm>
#include <cstring>

namespace q407::sim {

namespace {

constexpr std::uint8_t kDirIn = 0x80;
constexpr std::uint8_t kVendorStatus = 0x49;
constexpr std::uint8_t kVendorMode = 0x41;
constexpr std::uint8_t kVendorInfo = 0x56;
constexpr std::uint8_t kVendorFirmware = 0x55;
constexpr std::uint8_t kSetCur = 0x01;
constexpr std::uint8_t kGetCur = 0x81;
constexpr std::uint16_t kSamplingFrequencyControl = 0x0100;
constexpr std::uint16_t kModeBase = 0x0348;
constexpr std::uint16_t kModeIndex = 0x0101;

bool ValidRate(std::uint32_t rate) {
    return rate == 44100 || rate == 48000 || rate == 88200 || rate == 96000;
}

ControlReply Ack(std::uint32_t length = 0) {
    return {ControlOutcome::Ack, length};
}
ControlReply Stall() {
    return {ControlOutcome::Stall, 0};
}

bool Matches(int want, int have) {
    return want == -1 || want == have;
}

void SilentPlaybackUnit(std::uint8_t* unit) {
    std::memset(unit, 0, kPlaybackUnitBytes);
    unit[kMidiOffset1] = kMidiIdle;
    unit[kCodecOffset1] = kCodecIdle;
    unit[kMidiOffset2] = kMidiIdle;
    unit[kCodecOffset2] = kCodecIdle;
}

}  // namespace

struct Q407Device::Life {
    std::mutex m;
    Q407Device* device;
};

Q407Device::Q407Device(Scheduler& scheduler)
    : scheduler_(scheduler), life_(std::make_shared<Life>()), history_(kHistoryFrames) {
    life_->device = this;
    // A recognisable image until something is written.
    for (int b = 0; b < kFirmwareBlocks; ++b)
        for (int i = 0; i < kFirmwareBlockBytes; ++i)
            firmware_[std::size_t(b)][std::size_t(i)] = std::uint8_t(b * 7 + i * 13 + 0x5A);
    clock_.SetRate(setRate_, ppm_);
}

Q407Device::~Q407Device() {
    std::lock_guard<std::mutex> lock(life_->m);
    life_->device = nullptr;
}

template <class Fn>
Scheduler::EventId Q407Device::At(ClockTicks due, Fn fn) {
    std::weak_ptr<Life> weak = life_;
    return scheduler_.Schedule(due, [weak, fn]() mutable {
        std::shared_ptr<Life> life = weak.lock();
        if (!life) return;
        std::lock_guard<std::mutex> lock(life->m);
        if (life->device == nullptr) return;
        fn();
    });
}

void Q407Device::Run(std::vector<Completion>& done) {
    for (Completion& c : done)
        if (c.done) c.done(c.result);
    done.clear();
}

// --- Control requests ---------------------------------------------------------------------------

ControlReply Q407Device::HandleControl(const SetupPacket& setup, std::uint8_t* data) {
    std::lock_guard<std::mutex> lock(mu_);
    RequestRecord record{scheduler_.Now(), setup, {}, ControlOutcome::Ack};
    bool in = (setup.bmRequestType & kDirIn) != 0;
    if (!in && data && setup.wLength) record.data.assign(data, data + setup.wLength);
    ControlReply reply = HandleLocked(setup, data);
    if (in && data && reply.outcome == ControlOutcome::Ack)
        record.data.assign(data, data + std::min<std::uint32_t>(reply.length, setup.wLength));
    record.outcome = reply.outcome;
    requests_.push_back(std::move(record));
    return reply;
}

ControlReply Q407Device::HandleLocked(const SetupPacket& s, std::uint8_t* data) {
    if (!connected_) return {ControlOutcome::NoResponse, 0};
    for (ControlFault& f : controlFaults_) {
        if (f.count == 0) continue;
        if (Matches(f.bmRequestType, s.bmRequestType) && Matches(f.bRequest, s.bRequest) &&
            Matches(f.wValue, s.wValue) && Matches(f.wIndex, s.wIndex)) {
            if (f.count > 0) --f.count;
            return {f.outcome, 0};
        }
    }
    if (s.wLength != 0 && data == nullptr) return Stall();
    switch ((s.bmRequestType >> 5) & 3) {
        case 0:
            return Standard(s, data);
        case 1:
            return Class(s, data);
        case 2:
            return Vendor(s, data);
        default:
            return Stall();
    }
}

ControlReply Q407Device::Descriptor(const SetupPacket& s, std::uint8_t* data) {
    std::uint8_t type = std::uint8_t(s.wValue >> 8);
    std::uint8_t index = std::uint8_t(s.wValue);
    std::vector<std::uint8_t> d;
    if (type == 1 && index == 0)
        d = DeviceDescriptorBytes();
    else if (type == 2 && index == 0)
        d = ConfigurationDescriptorBytes();
    else if (type == 3)
        d = StringDescriptorBytes(index);
    if (d.empty()) return Stall();
    std::size_t limit = d.size();
    for (DescriptorFault& f : descriptorFaults_) {
        if (f.count == 0 || f.type != type) continue;
        if (f.count > 0) --f.count;
        if (f.maxLength >= 0) limit = std::min(limit, std::size_t(f.maxLength));
        if (f.totalLength >= 0 && type == 2) {
            d[2] = std::uint8_t(f.totalLength);
            d[3] = std::uint8_t(f.totalLength >> 8);
        }
    }
    std::size_t n = std::min<std::size_t>(limit, s.wLength);
    if (n) std::memcpy(data, d.data(), n);
    return Ack(std::uint32_t(n));
}

ControlReply Q407Device::Standard(const SetupPacket& s, std::uint8_t* data) {
    std::uint8_t recipient = s.bmRequestType & 0x1F;
    bool in = (s.bmRequestType & kDirIn) != 0;
    switch (s.bRequest) {
        case 0x00:  // GET_STATUS
            if (!in || s.wLength < 2) return Stall();
            data[0] = 0;
            data[1] = 0;
            if (recipient == 0)
                data[0] = 0x01;  // self-powered
            else if (recipient == 2)
                data[0] = halted_[std::uint8_t(s.wIndex)] ? 1 : 0;
            return Ack(2);
        case 0x01:  // CLEAR_FEATURE
        case 0x03:  // SET_FEATURE
            if (in || recipient != 2 || s.wValue != 0) return Stall();
            halted_[std::uint8_t(s.wIndex)] = s.bRequest == 0x03;
            return Ack();
        case 0x06:  // GET_DESCRIPTOR
            if (!in) return Stall();
            return Descriptor(s, data);
        case 0x08:  // GET_CONFIGURATION
            if (!in || s.wLength < 1) return Stall();
            data[0] = std::uint8_t(configuration_);
            return Ack(1);
        case 0x09:  // SET_CONFIGURATION
            if (in || (s.wValue != 0 && s.wValue != kConfigurationValue)) return Stall();
            StopStreamingLocked();
            configuration_ = s.wValue;
            alt_[0] = alt_[1] = 0;
            halted_.clear();
            return Ack();
        case 0x0A:  // GET_INTERFACE
            if (!in || configuration_ == 0 || s.wIndex >= kInterfaceCount || s.wLength < 1)
                return Stall();
            data[0] = std::uint8_t(alt_[s.wIndex]);
            return Ack(1);
        case 0x0B:  // SET_INTERFACE
            if (in || configuration_ == 0 || s.wIndex >= kInterfaceCount ||
                s.wValue >= kAlternateSettings)
                return Stall();
            alt_[s.wIndex] = s.wValue;
            if (s.wIndex == 0) {
                if (s.wValue == 1)
                    StartStreamingLocked();
                else
                    StopStreamingLocked();
            }
            for (const EndpointInfo& e : EndpointsOf(s.wIndex, s.wValue))
                halted_[e.address] = false;
            return Ack();
        default:
            return Stall();
    }
}

ControlReply Q407Device::Vendor(const SetupPacket& s, std::uint8_t* data) {
    bool in = (s.bmRequestType & kDirIn) != 0;
    if ((s.bmRequestType & 0x1F) != 0) return Stall();  // all to the device
    switch (s.bRequest) {
        case kVendorStatus:
            if (in) {
                if (s.wValue != 0 || s.wIndex != 0 || s.wLength < 1) return Stall();
                data[0] = StatusLocked();
                return Ack(1);
            }
            if ((s.wValue >> 8) != 0xFF || s.wIndex != 0 || s.wLength != 0) return Stall();
            control_ = std::uint8_t(s.wValue);
            return Ack();
        case kVendorMode:
            if (in || s.wIndex != kModeIndex || s.wLength != 0 || s.wValue < kModeBase ||
                s.wValue > kModeBase + 7)
                return Stall();
            mode_ = s.wValue - kModeBase;
            ClockChangedLocked();
            return Ack();
        case kVendorInfo: {
            if (!in || s.wValue != 0 || s.wIndex != 0) return Stall();
            std::size_t n = std::min<std::size_t>(s.wLength, info_.size());
            std::memcpy(data, info_.data(), n);
            return Ack(std::uint32_t(n));
        }
        case kVendorFirmware: {
            if (s.wValue != 0 || s.wIndex >= kFirmwareBlocks) return Stall();
            auto& block = firmware_[s.wIndex];
            if (in) {
                std::size_t n = std::min<std::size_t>(s.wLength, block.size());
                std::memcpy(data, block.data(), n);
                return Ack(std::uint32_t(n));
            }
            if (s.wLength != kFirmwareBlockBytes) return Stall();
            std::memcpy(block.data(), data, block.size());
            return Ack(kFirmwareBlockBytes);
        }
        default:
            return Stall();
    }
}

ControlReply Q407Device::Class(const SetupPacket& s, std::uint8_t* data) {
    std::uint8_t recipient = s.bmRequestType & 0x1F;
    bool in = (s.bmRequestType & kDirIn) != 0;
    if (s.wValue != kSamplingFrequencyControl || s.wLength < 3) return Stall();
    if (s.bRequest == kSetCur && !in && recipient == 2) {
        if (s.wLength != 3) return Stall();
        std::uint32_t rate =
            std::uint32_t(data[0]) | (std::uint32_t(data[1]) << 8) | (std::uint32_t(data[2]) << 16);
        if (!ValidRate(rate)) return Stall();
        if (s.wIndex == kPlaybackEndpoint)
            playbackRate_ = rate;
        else if (s.wIndex == kCaptureEndpoint)
            captureRate_ = rate;
        else
            return Stall();
        setRate_ = rate;
        ClockChangedLocked();
        return Ack(3);
    }
    if (s.bRequest == kGetCur && in) {
        std::uint32_t rate;
        if (recipient == 1 && s.wIndex == 0)
            rate = EffectiveRateLocked();
        else if (recipient == 2 && s.wIndex == kPlaybackEndpoint)
            rate = playbackRate_;
        else if (recipient == 2 && s.wIndex == kCaptureEndpoint)
            rate = captureRate_;
        else
            return Stall();
        data[0] = std::uint8_t(rate);
        data[1] = std::uint8_t(rate >> 8);
        data[2] = std::uint8_t(rate >> 16);
        return Ack(3);
    }
    return Stall();
}

std::uint32_t Q407Device::EffectiveRateLocked() const {
    if (mode_ == 0 && spdif_.present && ValidRate(spdif_.rate)) return spdif_.rate;
    return setRate_;
}

bool Q407Device::SpdifInputsLocked() const {
    return mode_ == 0 && (control_ & kControlSpdifInputs) != 0;
}

std::uint8_t Q407Device::StatusLocked() const {
    std::uint8_t s = 0;
    if (spdif_.present) s |= kStatusSpdifSignal;
    if (mode_ == 0 && spdif_.present && ValidRate(spdif_.rate)) s |= kStatusClockFromSpdif;
    if (streaming_) s |= kStatusStreaming;
    if (SpdifInputsLocked()) s |= kStatusSpdifInputs;
    return s;
}

// --- Sample clock and streaming -----------------------------------------------------------------

void Q407Device::StartStreamingLocked() {
    if (streaming_) return;
    streaming_ = true;
    playbackSlot_ = 0;
    captureUnit_ = 0;
    outputFrames_ = 0;
    std::fill(history_.begin(), history_.end(), OutputFrame{});
    clock_.SetRate(EffectiveRateLocked(), ppm_);
    clock_.Anchor(0, scheduler_.Now());
    stoppedAtFrame_ = 0;
    ScheduleChainsLocked();
}

void Q407Device::StopStreamingLocked() {
    if (!streaming_) return;
    streaming_ = false;
    ++generation_;
}

void Q407Device::ClockChangedLocked() {
    std::uint32_t rate = EffectiveRateLocked();
    if (rate == clock_.Rate() && ppm_ == clock_.Ppm()) return;
    ClockTicks now = scheduler_.Now();
    std::uint64_t frame = clockStopped_ ? stoppedAtFrame_ : clock_.FrameAt(now);
    clock_.SetRate(rate, ppm_);
    clock_.Anchor(frame, now);
    ScheduleChainsLocked();
}

void Q407Device::ScheduleChainsLocked() {
    ++generation_;
    if (!streaming_ || clockStopped_ || !connected_) return;
    std::uint64_t g = generation_;
    At(clock_.TickOfFrame(playbackSlot_ * kPlaybackUnitFrames), [this, g] {
        std::vector<Completion> done;
        OnPlaybackSlot(g, done);
        Run(done);
    });
    At(clock_.TickOfFrame((captureUnit_ + 1) * kCaptureUnitFrames), [this, g] {
        std::vector<Completion> done;
        OnCaptureUnit(g, done);
        Run(done);
    });
}

void Q407Device::OnPlaybackSlot(std::uint64_t g, std::vector<Completion>& done) {
    std::lock_guard<std::mutex> lock(mu_);
    if (g != generation_) return;
    // The unit started in the previous slot has now been played out.
    if (!out_.empty() && out_.front().started && out_.front().taken >= out_.front().length) {
        done.push_back(
            {std::move(out_.front().done), {TransferStatus::Success, out_.front().length}});
        out_.pop_front();
    }
    std::uint8_t unit[kPlaybackUnitBytes];
    bool have = false;
    while (!out_.empty() && !have) {
        Pending& p = out_.front();
        std::optional<TransferStatus> fail = p.fail;
        if (!fail && halted_[kPlaybackEndpoint]) fail = TransferStatus::Stall;
        if (fail) {
            if (*fail == TransferStatus::Stall) halted_[kPlaybackEndpoint] = true;
            ++counters_.failedTransfers;
            done.push_back({std::move(p.done), {*fail, 0}});
            out_.pop_front();
            break;  // the slot is spent on the failed packet: silence
        }
        if (p.length == 0) {
            done.push_back({std::move(p.done), {TransferStatus::Success, 0}});
            out_.pop_front();
            continue;
        }
        std::uint32_t n = std::min<std::uint32_t>(p.length - p.taken, kPlaybackUnitBytes);
        SilentPlaybackUnit(unit);
        std::memcpy(unit, p.data + p.taken, n);
        if (n < kPlaybackUnitBytes) ++counters_.shortPlaybackPackets;
        p.taken += n;
        p.started = true;
        have = true;
    }
    if (!have) {
        SilentPlaybackUnit(unit);
        ++counters_.underruns;
    }
    PlayUnitLocked(unit);
    ++playbackSlot_;
    At(clock_.TickOfFrame(playbackSlot_ * kPlaybackUnitFrames), [this, g] {
        std::vector<Completion> next;
        OnPlaybackSlot(g, next);
        Run(next);
    });
}

void Q407Device::PlayUnitLocked(const std::uint8_t* unit) {
    DecodedPlaybackUnit d;
    DecodePlaybackUnit(unit, d);
    counters_.strayBits += std::uint64_t(d.strayBits);
    ++counters_.playbackUnits;
    std::uint64_t first = outputFrames_;
    for (int f = 0; f < kPlaybackUnitFrames; ++f) {
        if (f == 9) GapLocked(d.midi[0], d.codec[0], first + 9);
        if (f == 19) GapLocked(d.midi[1], d.codec[1], first + 19);
        OutputFrame& out = d.frames[std::size_t(f)];
        for (int c = 0; c < kOutputChannels; ++c)
            out[std::size_t(c)] = codec_.Attenuate(c, out[std::size_t(c)]);
        history_[(first + std::uint64_t(f)) % kHistoryFrames] = out;
    }
    outputFrames_ += kPlaybackUnitFrames;
    for (auto& sink : sinks_) sink->Write(first, d.frames.data(), d.frames.size(), clock_.Rate());
}

void Q407Device::GapLocked(std::uint8_t midi, std::uint8_t lines, std::uint64_t frame) {
    if (midi != kMidiIdle) {
        midiOut_.push_back({midi, frame});
        ++counters_.midiOutBytes;
        if (midiLoopback_) {
            midiWire_.push_back(midi);
            ScheduleMidiRxLocked();
        }
    }
    if (std::optional<CodecWord> w = codecDecoder_.Feed(lines)) {
        codecLog_.push_back({*w, frame});
        if (w->valid)
            codec_.Write(w->chip, w->address, w->data);
        else
            ++counters_.invalidCodecWords;
    }
}

std::int32_t Q407Device::OutputAtLocked(std::uint64_t frame, int channel) const {
    if (frame >= outputFrames_ || frame + kHistoryFrames < outputFrames_) return 0;
    return history_[frame % kHistoryFrames][std::size_t(channel)];
}

std::int32_t Q407Device::InputSampleLocked(const InputSource& src, std::uint64_t frame) {
    switch (src.kind) {
        case InputSource::Kind::Loopback:
            if (src.outputChannel < 0 || src.outputChannel >= kOutputChannels) return 0;
            if (frame < std::uint64_t(kLoopbackDelayFrames)) return 0;
            return OutputAtLocked(frame - std::uint64_t(kLoopbackDelayFrames), src.outputChannel);
        case InputSource::Kind::Generator:
            return src.generator
                       ? SignExtend24(std::uint32_t(src.generator->Sample(frame, clock_.Rate())))
                       : 0;
        default:
            return 0;
    }
}

void Q407Device::OnCaptureUnit(std::uint64_t g, std::vector<Completion>& done) {
    std::lock_guard<std::mutex> lock(mu_);
    if (g != generation_) return;
    InputFrame frames[kCaptureUnitFrames];
    std::uint64_t first = captureUnit_ * kCaptureUnitFrames;
    bool spdifInputs = SpdifInputsLocked();
    for (int f = 0; f < kCaptureUnitFrames; ++f) {
        std::uint64_t frame = first + std::uint64_t(f);
        for (int c = 0; c < kInputChannels; ++c) {
            const InputSource* src = &inputs_[std::size_t(c)];
            if (spdifInputs && c >= 14) {
                if (!spdif_.present) {
                    frames[f][std::size_t(c)] = 0;
                    continue;
                }
                src = c == 14 ? &spdif_.left : &spdif_.right;
            }
            frames[f][std::size_t(c)] = InputSampleLocked(*src, frame);
        }
    }
    std::uint8_t unit[kCaptureUnitBytes];
    EncodeCaptureUnit(frames, ignoredFill_, unit);
    ++counters_.captureUnits;
    if (in_.empty()) {
        ++counters_.overruns;
    } else {
        Pending& p = in_.front();
        std::optional<TransferStatus> fail = p.fail;
        if (!fail && halted_[kCaptureEndpoint]) fail = TransferStatus::Stall;
        if (fail) {
            if (*fail == TransferStatus::Stall) halted_[kCaptureEndpoint] = true;
            ++counters_.failedTransfers;
            done.push_back({std::move(p.done), {*fail, p.taken}});
            in_.pop_front();
        } else {
            std::uint32_t room = p.length - p.taken;
            std::uint32_t n = std::min<std::uint32_t>(room, kCaptureUnitBytes);
            if (n) std::memcpy(p.data + p.taken, unit, n);
            p.taken += n;
            p.started = true;
            if (n < kCaptureUnitBytes) {
                done.push_back({std::move(p.done), {TransferStatus::Babble, p.taken}});
                in_.pop_front();
            } else if (p.taken == p.length) {
                done.push_back({std::move(p.done), {TransferStatus::Success, p.taken}});
                in_.pop_front();
            }
        }
    }
    ++captureUnit_;
    At(clock_.TickOfFrame((captureUnit_ + 1) * kCaptureUnitFrames), [this, g] {
        std::vector<Completion> next;
        OnCaptureUnit(g, next);
        Run(next);
    });
}

// --- Submission, cancellation, removal ----------------------------------------------------------

std::deque<Q407Device::Pending>* Q407Device::QueueFor(std::uint8_t endpoint) {
    switch (endpoint) {
        case kPlaybackEndpoint:
            return &out_;
        case kCaptureEndpoint:
            return &in_;
        case kMidiInEndpoint:
            return &midi_;
        default:
            return nullptr;
    }
}

bool Q407Device::SubmitControl(TransferId id, const SetupPacket& setup, std::uint8_t* data,
                               TransferCallback done) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!connected_) return false;
    Scheduler::EventId event = At(scheduler_.Now() + busDelay_, [this, id] {
        PendingControl c;
        {
            std::lock_guard<std::mutex> inner(mu_);
            auto it = controls_.find(id);
            if (it == controls_.end()) return;
            c = std::move(it->second);
            controls_.erase(it);
        }
        ControlReply r = HandleControl(c.setup, c.data);
        TransferResult result;
        result.actualLength = r.length;
        result.status = r.outcome == ControlOutcome::Ack     ? TransferStatus::Success
                        : r.outcome == ControlOutcome::Stall ? TransferStatus::Stall
                                                             : TransferStatus::NoResponse;
        if (c.done) c.done(result);
    });
    controls_[id] = PendingControl{event, setup, data, std::move(done)};
    return true;
}

bool Q407Device::SubmitTransfer(TransferId id, std::uint8_t endpoint, std::uint8_t* data,
                                std::uint32_t length, bool shortOk, TransferCallback done) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!connected_) return false;
    std::deque<Pending>* q = QueueFor(endpoint);
    Pending p{id, data, length, 0, false, shortOk, std::nullopt, std::move(done)};
    auto fault = transferFaults_.find(endpoint);
    if (fault != transferFaults_.end() && fault->second.count != 0) {
        if (fault->second.count > 0) --fault->second.count;
        p.fail = fault->second.status;
    }
    if (q == nullptr) {
        // Not a streaming endpoint of this device: it never answers; the host gives up.
        TransferCallback cb = std::move(p.done);
        At(scheduler_.Now() + busDelay_, [cb] {
            if (cb) cb({TransferStatus::NoResponse, 0});
        });
        return true;
    }
    q->push_back(std::move(p));
    if (endpoint == kMidiInEndpoint) ScheduleMidiDeliveryLocked();
    return true;
}

bool Q407Device::CancelTransfer(TransferId id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto c = controls_.find(id);
    if (c != controls_.end()) {
        scheduler_.Cancel(c->second.event);
        controls_.erase(c);
        return true;
    }
    for (std::deque<Pending>* q : {&out_, &in_, &midi_}) {
        for (auto it = q->begin(); it != q->end(); ++it) {
            if (it->id == id) {
                q->erase(it);
                return true;
            }
        }
    }
    return false;
}

std::vector<TransferId> Q407Device::AbortEndpoint(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<TransferId> ids;
    if (std::deque<Pending>* q = QueueFor(endpoint)) {
        for (const Pending& p : *q) ids.push_back(p.id);
        q->clear();
    }
    return ids;
}

std::vector<TransferId> Q407Device::Disconnect() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<TransferId> ids;
    if (!connected_) return ids;
    connected_ = false;
    ++generation_;
    for (auto& [id, c] : controls_) {
        scheduler_.Cancel(c.event);
        ids.push_back(id);
    }
    controls_.clear();
    for (std::deque<Pending>* q : {&out_, &in_, &midi_}) {
        for (const Pending& p : *q) ids.push_back(p.id);
        q->clear();
    }
    streaming_ = false;
    return ids;
}

bool Q407Device::Connected() const {
    std::lock_guard<std::mutex> lock(mu_);
    return connected_;
}

void Q407Device::SetBusDelay(ClockTicks delay) {
    std::lock_guard<std::mutex> lock(mu_);
    busDelay_ = delay < 0 ? 0 : delay;
}

ClockTicks Q407Device::BusDelay() const {
    std::lock_guard<std::mutex> lock(mu_);
    return busDelay_;
}

// --- MIDI input ---------------------------------------------------------------------------------

void Q407Device::ScheduleMidiRxLocked() {
    if (midiRxScheduled_ || midiWire_.empty() || !connected_) return;
    midiRxScheduled_ = true;
    ClockTicks due = std::max(scheduler_.Now(), midiLastRx_) + kMidiByteTicks;
    At(due, [this] {
        std::vector<Completion> done;
        OnMidiRx(done);
        Run(done);
    });
}

void Q407Device::OnMidiRx(std::vector<Completion>& done) {
    std::lock_guard<std::mutex> lock(mu_);
    midiRxScheduled_ = false;
    if (!connected_ || midiWire_.empty()) return;
    std::uint8_t b = midiWire_.front();
    midiWire_.pop_front();
    midiLastRx_ = scheduler_.Now();
    // 0xFD is the bulk pipe's padding; the device cannot pass it on.
    if (b == kMidiIdle || midiFifo_.size() >= kMidiInFifoBytes)
        ++counters_.midiInDropped;
    else
        midiFifo_.push_back(b);
    DeliverMidiLocked(done);
    ScheduleMidiRxLocked();
}

void Q407Device::ScheduleMidiDeliveryLocked() {
    if (midiDeliveryScheduled_ || midi_.empty()) return;
    if (midiFifo_.empty() && !midi_.front().fail && !halted_[kMidiInEndpoint]) return;
    midiDeliveryScheduled_ = true;
    At(scheduler_.Now() + busDelay_, [this] {
        std::vector<Completion> done;
        {
            std::lock_guard<std::mutex> lock(mu_);
            midiDeliveryScheduled_ = false;
            DeliverMidiLocked(done);
        }
        Run(done);
    });
}

void Q407Device::DeliverMidiLocked(std::vector<Completion>& done) {
    if (!connected_) return;
    std::size_t perPacket = EffectiveRateLocked() <= 48000 ? 4 : 2;
    while (!midi_.empty()) {
        Pending& p = midi_.front();
        std::optional<TransferStatus> fail = p.fail;
        if (!fail && halted_[kMidiInEndpoint]) fail = TransferStatus::Stall;
        if (fail) {
            if (*fail == TransferStatus::Stall) halted_[kMidiInEndpoint] = true;
            ++counters_.failedTransfers;
            done.push_back({std::move(p.done), {*fail, 0}});
            midi_.pop_front();
            continue;
        }
        if (midiFifo_.empty()) break;
        std::uint8_t packet[5] = {kMidiIdle, kMidiIdle, kMidiIdle, kMidiIdle, kMidiIdle};
        std::size_t n = std::min(perPacket, midiFifo_.size());
        for (std::size_t i = 0; i < n; ++i) {
            packet[i] = midiFifo_.front();
            midiFifo_.pop_front();
        }
        counters_.midiInBytesSent += n;
        ++counters_.midiInPackets;
        TransferResult r{TransferStatus::Success, 5};
        if (p.length < 5)
            r = {TransferStatus::Babble, p.length};
        else if (p.length > 5 && !p.shortOk)
            r.status = TransferStatus::ShortPacket;
        if (r.actualLength) std::memcpy(p.data, packet, r.actualLength);
        done.push_back({std::move(p.done), r});
        midi_.pop_front();
    }
}

// --- Inspection ---------------------------------------------------------------------------------

std::uint8_t Q407Device::StatusByte() const {
    std::lock_guard<std::mutex> lock(mu_);
    return StatusLocked();
}
std::uint8_t Q407Device::ControlByte() const {
    std::lock_guard<std::mutex> lock(mu_);
    return control_;
}
int Q407Device::Mode() const {
    std::lock_guard<std::mutex> lock(mu_);
    return mode_;
}
std::array<std::uint8_t, 8> Q407Device::InfoBytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return info_;
}
std::array<std::uint8_t, kFirmwareBlockBytes> Q407Device::FirmwareBlock(int block) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (block < 0 || block >= kFirmwareBlocks) return {};
    return firmware_[std::size_t(block)];
}
std::uint32_t Q407Device::EndpointRate(std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mu_);
    return endpoint == kPlaybackEndpoint  ? playbackRate_
           : endpoint == kCaptureEndpoint ? captureRate_
                                          : 0;
}
std::uint32_t Q407Device::ClockRate() const {
    std::lock_guard<std::mutex> lock(mu_);
    return EffectiveRateLocked();
}
int Q407Device::Configuration() const {
    std::lock_guard<std::mutex> lock(mu_);
    return configuration_;
}
int Q407Device::AlternateSetting(int interfaceNumber) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (interfaceNumber < 0 || interfaceNumber >= kInterfaceCount) return -1;
    return alt_[interfaceNumber];
}
bool Q407Device::Streaming() const {
    std::lock_guard<std::mutex> lock(mu_);
    return streaming_;
}
bool Q407Device::EndpointHalted(std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = halted_.find(endpoint);
    return it != halted_.end() && it->second;
}
std::vector<RequestRecord> Q407Device::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}
void Q407Device::ClearRequests() {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.clear();
}
DeviceCounters Q407Device::Counters() const {
    std::lock_guard<std::mutex> lock(mu_);
    return counters_;
}
std::uint64_t Q407Device::OutputFramesPlayed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return outputFrames_;
}
std::uint64_t Q407Device::InputFramesCaptured() const {
    std::lock_guard<std::mutex> lock(mu_);
    return captureUnit_ * kCaptureUnitFrames;
}
std::vector<MidiOutByte> Q407Device::MidiOut() const {
    std::lock_guard<std::mutex> lock(mu_);
    return midiOut_;
}
std::vector<CodecWriteRecord> Q407Device::CodecWrites() const {
    std::lock_guard<std::mutex> lock(mu_);
    return codecLog_;
}
std::uint8_t Q407Device::CodecRegister(CodecChip chip, std::uint8_t address) const {
    std::lock_guard<std::mutex> lock(mu_);
    return codec_.Read(chip, address);
}
double Q407Device::OutputGainDb(int channel) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (channel < 0 || channel >= kOutputChannels) return 0.0;
    return codec_.OutputGainDb(channel);
}
std::uint8_t Q407Device::DigitalFormat() const {
    std::lock_guard<std::mutex> lock(mu_);
    return codec_.DigitalFormat();
}
bool Q407Device::InputsFromSpdif() const {
    std::lock_guard<std::mutex> lock(mu_);
    return SpdifInputsLocked();
}

// --- Stimuli ------------------------------------------------------------------------------------

void Q407Device::AddOutputSink(std::shared_ptr<OutputSink> sink) {
    std::lock_guard<std::mutex> lock(mu_);
    if (sink) sinks_.push_back(std::move(sink));
}
void Q407Device::RemoveOutputSink(const std::shared_ptr<OutputSink>& sink) {
    std::lock_guard<std::mutex> lock(mu_);
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}
void Q407Device::SetInputSource(int channel, InputSource source) {
    std::lock_guard<std::mutex> lock(mu_);
    if (channel < 0 || channel >= kInputChannels) return;
    inputs_[std::size_t(channel)] = std::move(source);
}
void Q407Device::LoopbackAllInputs() {
    std::lock_guard<std::mutex> lock(mu_);
    for (int c = 0; c < kInputChannels; ++c)
        inputs_[std::size_t(c)] = InputSource::Loopback(c % kOutputChannels);
}
void Q407Device::SetSpdif(SpdifSignal signal) {
    std::lock_guard<std::mutex> lock(mu_);
    spdif_ = std::move(signal);
    ClockChangedLocked();
}
void Q407Device::SetInfoBytes(const std::array<std::uint8_t, 8>& info) {
    std::lock_guard<std::mutex> lock(mu_);
    info_ = info;
}
void Q407Device::SendMidiIn(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    midiWire_.insert(midiWire_.end(), bytes.begin(), bytes.end());
    ScheduleMidiRxLocked();
}
void Q407Device::SetMidiLoopback(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    midiLoopback_ = on;
}
void Q407Device::SetClockPpm(std::int32_t ppm) {
    std::lock_guard<std::mutex> lock(mu_);
    ppm_ = std::clamp(ppm, -100000, 100000);
    ClockChangedLocked();
}
void Q407Device::SetIgnoredCaptureByteFill(std::uint8_t fill) {
    std::lock_guard<std::mutex> lock(mu_);
    ignoredFill_ = fill;
}

// --- Faults -------------------------------------------------------------------------------------

void Q407Device::AddControlFault(const ControlFault& fault) {
    std::lock_guard<std::mutex> lock(mu_);
    controlFaults_.push_back(fault);
}
void Q407Device::AddDescriptorFault(const DescriptorFault& fault) {
    std::lock_guard<std::mutex> lock(mu_);
    descriptorFaults_.push_back(fault);
}
void Q407Device::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    controlFaults_.clear();
    descriptorFaults_.clear();
    transferFaults_.clear();
}
void Q407Device::FailTransfers(std::uint8_t endpoint, int count, TransferStatus status) {
    std::lock_guard<std::mutex> lock(mu_);
    transferFaults_[endpoint] = {count, status};
}
void Q407Device::StopClock() {
    std::lock_guard<std::mutex> lock(mu_);
    if (clockStopped_) return;
    stoppedAtFrame_ = clock_.FrameAt(scheduler_.Now());
    clockStopped_ = true;
    ++generation_;
}
void Q407Device::StartClock() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!clockStopped_) return;
    clockStopped_ = false;
    clock_.Anchor(stoppedAtFrame_, scheduler_.Now());
    ScheduleChainsLocked();
}
bool Q407Device::ClockStopped() const {
    std::lock_guard<std::mutex> lock(mu_);
    return clockStopped_;
}

}  // namespace q407::sim
