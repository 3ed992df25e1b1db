#include "sim/host/portcls/audio_client_link.h"

#include <algorithm>
#include <cstring>

#include "platform/user/remote/client_link.h"
#include "sim/host/portcls/audio_wire.h"

namespace q407::sim::audio::linked {
namespace {

using remote::ClientLink;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;

constexpr int32_t kNoSuchDevice = static_cast<int32_t>(0xC000000EU);
constexpr int32_t kInvalidParameter = static_cast<int32_t>(0xC000000DU);

// One call's reply, past its error and status words.
class Reply {
  public:
    Reply(Op op, const WireWriter& request) {
        ClientLink* link = ClientLink::Current();
        if (link == nullptr || !link->Call(op, request, &bytes_)) {
            status_ = kNoSuchDevice;
            return;
        }
        reader_ = WireReader(bytes_.data(), bytes_.size());
        const uint32_t error = reader_.U32();
        status_ = static_cast<int32_t>(reader_.U32());
        if (!reader_.Ok() || error != 0) status_ = kInvalidParameter;
    }
    bool Ok() const { return status_ >= 0; }
    int32_t Status() const { return status_; }
    WireReader& Reader() { return reader_; }
    // The reply's fields were all there.
    bool Complete() const { return reader_.AtEnd(); }

  private:
    std::vector<uint8_t> bytes_;
    WireReader reader_{nullptr, 0};
    int32_t status_ = 0;
};

WireWriter Named(const std::wstring& name) {
    WireWriter w;
    w.WString(name);
    return w;
}

WireWriter Handle(uint64_t handle) {
    WireWriter w;
    w.U64(handle);
    return w;
}

uint64_t AskU64(Op op, uint64_t handle) {
    Reply reply(op, Handle(handle));
    if (!reply.Ok()) return 0;
    const uint64_t value = reply.Reader().U64();
    return reply.Complete() ? value : 0;
}

}  // namespace

bool Active() {
    return ClientLink::Current() != nullptr;
}

std::vector<SubdeviceInfo> ListSubdevices() {
    std::vector<SubdeviceInfo> list;
    Reply reply(Op::AudioListSubdevices, WireWriter{});
    if (!reply.Ok()) return list;
    WireReader& r = reply.Reader();
    const uint32_t count = std::min(r.U32(), kMaxAudioListing);
    for (uint32_t i = 0; i < count && r.Ok(); ++i) {
        SubdeviceInfo info{};
        info.name = r.WString(kMaxAudioName);
        const uint32_t kind = r.U32();
        info.kind = kind == 1   ? SubdeviceKind::Topology
                    : kind == 2 ? SubdeviceKind::Midi
                                : SubdeviceKind::Wave;
        info.symbolicLink = r.WString();
        info.unit = static_cast<int>(r.U32());
        info.playback = r.U8() != 0;
        info.recording = r.U8() != 0;
        list.push_back(std::move(info));
    }
    if (!reply.Complete()) list.clear();  // a torn answer is no answer
    return list;
}

int32_t ListMixerLines(const std::wstring& mixerName, std::vector<MixerLine>* lines) {
    lines->clear();
    Reply reply(Op::AudioListMixerLines, Named(mixerName));
    if (!reply.Ok()) return reply.Status();
    WireReader& r = reply.Reader();
    const uint32_t count = std::min(r.U32(), kMaxAudioListing);
    for (uint32_t i = 0; i < count && r.Ok(); ++i) {
        MixerLine line{};
        line.node = static_cast<int>(r.U32());
        line.playbackPath = r.U8() != 0;
        line.hasMute = r.U8() != 0;
        line.muted = r.U8() != 0;
        lines->push_back(line);
    }
    if (!reply.Complete()) {
        lines->clear();
        return kInvalidParameter;
    }
    return reply.Status();
}

int32_t SetMute(const std::wstring& mixerName, int node, bool mute) {
    WireWriter w;
    w.WString(mixerName).U32(static_cast<uint32_t>(node)).U8(mute ? 1 : 0);
    return Reply(Op::AudioSetMute, w).Status();
}

int32_t GetMute(const std::wstring& mixerName, int node, bool* mute) {
    WireWriter w;
    w.WString(mixerName).U32(static_cast<uint32_t>(node));
    Reply reply(Op::AudioGetMute, w);
    if (!reply.Ok()) return reply.Status();
    const bool muted = reply.Reader().U8() != 0;
    if (!reply.Complete()) return kInvalidParameter;
    *mute = muted;
    return reply.Status();
}

int32_t OpenWavePin(const std::wstring& waveName, bool capture, const WaveFormat& format,
                    uint64_t* pin) {
    *pin = 0;
    WireWriter w;
    w.WString(waveName)
        .U8(capture ? 1 : 0)
        .U32(format.rate)
        .U16(format.channels)
        .U16(format.bitsPerSample)
        .U8(format.extensible ? 1 : 0)
        .U32(format.channelMask);
    Reply reply(Op::WavePinOpen, w);
    if (!reply.Ok()) return reply.Status();
    const uint64_t handle = reply.Reader().U64();
    if (!reply.Complete() || handle == 0) return kInvalidParameter;
    *pin = handle;
    return reply.Status();
}

int32_t SetWavePinState(uint64_t pin, PinState state) {
    WireWriter w;
    w.U64(pin).U32(static_cast<uint32_t>(state));
    return Reply(Op::WavePinSetState, w).Status();
}

size_t WriteWavePin(uint64_t pin, const void* bytes, size_t count) {
    const auto* at = static_cast<const uint8_t*>(bytes);
    size_t written = 0;
    while (written < count) {
        const size_t chunk = std::min(count - written, kMaxAudioChunk);
        WireWriter w;
        w.U64(pin).Bytes(at + written, chunk);
        Reply reply(Op::WavePinWrite, w);
        if (!reply.Ok()) break;
        const uint64_t took = reply.Reader().U64();
        if (!reply.Complete()) break;
        written += static_cast<size_t>(std::min<uint64_t>(took, chunk));
        if (took < chunk) break;  // the pin's queue is full
    }
    return written;
}

size_t ReadWavePin(uint64_t pin, void* bytes, size_t count) {
    const size_t most = std::min(count, kMaxAudioChunk);
    WireWriter w;
    w.U64(pin).U32(static_cast<uint32_t>(most));
    Reply reply(Op::WavePinRead, w);
    if (!reply.Ok()) return 0;
    const std::vector<uint8_t> data = reply.Reader().Bytes(most);
    if (!reply.Complete()) return 0;
    if (!data.empty()) std::memcpy(bytes, data.data(), data.size());
    return data.size();
}

size_t WavePinQueued(uint64_t pin) {
    return static_cast<size_t>(AskU64(Op::WavePinQueued, pin));
}

uint64_t WavePinPosition(uint64_t pin) {
    return AskU64(Op::WavePinPosition, pin);
}

void CloseWavePin(uint64_t pin) {
    // Nothing to undo when the machine refuses: its process's end closes the pin anyway.
    (void)Reply(Op::WavePinClose, Handle(pin)).Status();
}

int32_t OpenMidiPort(const std::wstring& midiName, uint64_t* port) {
    *port = 0;
    Reply reply(Op::MidiPortOpen, Named(midiName));
    if (!reply.Ok()) return reply.Status();
    const uint64_t handle = reply.Reader().U64();
    if (!reply.Complete() || handle == 0) return kInvalidParameter;
    *port = handle;
    return reply.Status();
}

int32_t SendMidi(uint64_t port, const uint8_t* bytes, size_t count) {
    if (count > kMaxAudioChunk) return kInvalidParameter;
    WireWriter w;
    w.U64(port).Bytes(bytes, count);
    return Reply(Op::MidiPortSend, w).Status();
}

size_t ReceiveMidi(uint64_t port, std::vector<uint8_t>* bytes) {
    Reply reply(Op::MidiPortReceive, Handle(port));
    if (!reply.Ok()) return 0;
    std::vector<uint8_t> data = reply.Reader().Bytes(kMaxAudioChunk);
    if (!reply.Complete()) return 0;
    bytes->insert(bytes->end(), data.begin(), data.end());
    return data.size();
}

void CloseMidiPort(uint64_t port) {
    // As for a wave pin: the process's end closes what a refused close leaves.
    (void)Reply(Op::MidiPortClose, Handle(port)).Status();
}

}  // namespace q407::sim::audio::linked
