#include "sim/service/audio_handlers.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/host/object_manager.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/host/portcls/audio_wire.h"
#include "sim/host/process.h"
#include "sim/host/process_internal.h"
#include "sim/service/machine_server.h"

namespace q407::service {
namespace {

using remote::Op;
using remote::WireReader;
using remote::WireWriter;
using sim::audio::kMaxAudioChunk;
using sim::audio::kMaxAudioListing;
using sim::audio::kMaxAudioName;

constexpr uint32_t kErrorInvalidParameter = 87;

// A wave pin or MIDI port opened by a linked program: an object in its process's handle table.
// The body is zeroed at creation and filled before the handle is made.
const OBJECT_TYPE kAudioStreamType{"AudioStream"};

struct AudioStream {
    sim::audio::WavePin* wave;
    sim::audio::MidiPort* midi;
    std::mutex* receiving;              // the MIDI port's receives, one at a time
    std::vector<uint8_t>* pendingMidi;  // received past what one answer carries
};

void DestroyStream(void* body) {
    auto* stream = static_cast<AudioStream*>(body);
    delete stream->wave;  // stops and closes the pin
    delete stream->midi;
    delete stream->receiving;
    delete stream->pendingMidi;
}

// The machine's own object: out of the pool books, as the process records are. What the pin
// holds of the driver's is in them.
const sim::ObjectOps kAudioStreamOps{&kAudioStreamType, 0, nullptr, DestroyStream};

sim::HandleTable& HandlesOf(CallContext& call) {
    return *call.process.Kernel()->handles;
}

// A referenced stream of the caller's process, or null for a handle that names none.
class StreamRef {
  public:
    StreamRef(CallContext& call, uint64_t handle) {
        if (handle == 0 || handle > UINTPTR_MAX) return;
        void* body = nullptr;
        if (!HandlesOf(call).Reference(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)),
                                       &body, nullptr))
            return;
        if (sim::ObjectType(body) != &kAudioStreamType) {
            ObDereferenceObject(body);
            return;
        }
        stream_ = static_cast<AudioStream*>(body);
    }
    ~StreamRef() {
        if (stream_ != nullptr) ObDereferenceObject(stream_);
    }
    StreamRef(const StreamRef&) = delete;
    StreamRef& operator=(const StreamRef&) = delete;
    sim::audio::WavePin* Wave() const { return stream_ != nullptr ? stream_->wave : nullptr; }
    AudioStream* Midi() const {
        return stream_ != nullptr && stream_->midi != nullptr ? stream_ : nullptr;
    }

  private:
    AudioStream* stream_ = nullptr;
};

// Makes the stream's object and its handle in the caller's process; 0 when pool refuses (the
// stream is closed then).
uint64_t InsertStream(CallContext& call, std::unique_ptr<sim::audio::WavePin> wave,
                      std::unique_ptr<sim::audio::MidiPort> midi) {
    auto* stream =
        static_cast<AudioStream*>(sim::CreateObject(&kAudioStreamOps, sizeof(AudioStream)));
    if (stream == nullptr) return 0;
    stream->wave = wave.release();
    stream->midi = midi.release();
    stream->receiving = new std::mutex;
    stream->pendingMidi = new std::vector<uint8_t>;
    const HANDLE handle = HandlesOf(call).Insert(stream, 0);
    ObDereferenceObject(stream);  // the handle holds it now
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

void Refuse(WireWriter& out) {
    out.U32(kErrorInvalidParameter).U32(static_cast<uint32_t>(STATUS_INVALID_PARAMETER));
}

WireWriter& Answer(WireWriter& out, NTSTATUS status) {
    return out.U32(0).U32(static_cast<uint32_t>(status));
}

// A name of a subdevice: present, short, and read to the end of the call.
bool ReadName(WireReader& in, std::wstring* name) {
    *name = in.WString(kMaxAudioName);
    return in.Ok() && !name->empty();
}

bool ReadNode(WireReader& in, int* node) {
    const uint32_t value = in.U32();
    *node = static_cast<int>(std::min<uint32_t>(value, INT_MAX));
    return in.Ok() && value <= INT_MAX;
}

void ListSubdevices(CallContext&, WireReader& in, WireWriter& out) {
    if (!in.AtEnd()) return Refuse(out);
    std::vector<sim::audio::SubdeviceInfo> list = sim::audio::ListSubdevices();
    if (list.size() > kMaxAudioListing) list.resize(kMaxAudioListing);
    Answer(out, STATUS_SUCCESS).U32(static_cast<uint32_t>(list.size()));
    for (const sim::audio::SubdeviceInfo& info : list) {
        out.WString(info.name)
            .U32(static_cast<uint32_t>(info.kind))
            .WString(info.symbolicLink)
            .U32(static_cast<uint32_t>(info.unit))
            .U8(info.playback ? 1 : 0)
            .U8(info.recording ? 1 : 0);
    }
}

void ListMixerLines(CallContext&, WireReader& in, WireWriter& out) {
    std::wstring mixer;
    if (!ReadName(in, &mixer) || !in.AtEnd()) return Refuse(out);
    std::vector<sim::audio::MixerLine> lines;
    const NTSTATUS status = sim::audio::ListMixerLines(mixer, &lines);
    if (lines.size() > kMaxAudioListing) lines.resize(kMaxAudioListing);
    Answer(out, status).U32(static_cast<uint32_t>(lines.size()));
    for (const sim::audio::MixerLine& line : lines)
        out.U32(static_cast<uint32_t>(line.node))
            .U8(line.playbackPath ? 1 : 0)
            .U8(line.hasMute ? 1 : 0)
            .U8(line.muted ? 1 : 0);
}

void SetMute(CallContext&, WireReader& in, WireWriter& out) {
    std::wstring mixer;
    int node = 0;
    if (!ReadName(in, &mixer) || !ReadNode(in, &node)) return Refuse(out);
    const uint8_t mute = in.U8();
    if (!in.AtEnd() || mute > 1) return Refuse(out);
    Answer(out, sim::audio::SetMute(mixer, node, mute != 0));
}

void GetMute(CallContext&, WireReader& in, WireWriter& out) {
    std::wstring mixer;
    int node = 0;
    if (!ReadName(in, &mixer) || !ReadNode(in, &node) || !in.AtEnd()) return Refuse(out);
    bool muted = false;
    const NTSTATUS status = sim::audio::GetMute(mixer, node, &muted);
    Answer(out, status).U8(muted ? 1 : 0);
}

void OpenWavePin(CallContext& call, WireReader& in, WireWriter& out) {
    std::wstring wave;
    if (!ReadName(in, &wave)) return Refuse(out);
    const uint8_t capture = in.U8();
    sim::audio::WaveFormat format{};
    format.rate = in.U32();
    format.channels = in.U16();
    format.bitsPerSample = in.U16();
    const uint8_t extensible = in.U8();
    format.extensible = extensible != 0;
    format.channelMask = in.U32();
    // The driver judges the format itself; only what cannot be a choice is refused here.
    if (!in.AtEnd() || capture > 1 || extensible > 1) return Refuse(out);
    std::unique_ptr<sim::audio::WavePin> pin;
    NTSTATUS status = sim::audio::WavePin::Open(wave, capture != 0, format, &pin);
    uint64_t handle = 0;
    if (NT_SUCCESS(status)) {
        handle = InsertStream(call, std::move(pin), nullptr);
        if (handle == 0) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    Answer(out, status).U64(handle);
}

void SetWavePinState(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    const uint32_t state = in.U32();
    if (!in.AtEnd() || state > static_cast<uint32_t>(sim::audio::PinState::Run)) return Refuse(out);
    StreamRef ref(call, handle);
    if (ref.Wave() == nullptr) return (void)Answer(out, STATUS_INVALID_HANDLE);
    Answer(out, ref.Wave()->SetState(static_cast<sim::audio::PinState>(state)));
}

void WriteWavePin(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    const std::vector<uint8_t> data = in.Bytes(kMaxAudioChunk);
    if (!in.AtEnd()) return Refuse(out);
    StreamRef ref(call, handle);
    if (ref.Wave() == nullptr) return (void)Answer(out, STATUS_INVALID_HANDLE).U64(0);
    const size_t written = data.empty() ? 0 : ref.Wave()->Write(data.data(), data.size());
    Answer(out, STATUS_SUCCESS).U64(written);
}

void ReadWavePin(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    const uint32_t most = in.U32();
    if (!in.AtEnd() || most > kMaxAudioChunk) return Refuse(out);
    StreamRef ref(call, handle);
    if (ref.Wave() == nullptr) return (void)Answer(out, STATUS_INVALID_HANDLE).Bytes(nullptr, 0);
    std::vector<uint8_t> data(most);
    const size_t got = most == 0 ? 0 : ref.Wave()->Read(data.data(), data.size());
    Answer(out, STATUS_SUCCESS).Bytes(data.data(), std::min<size_t>(got, data.size()));
}

void WavePinQueued(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    if (!in.AtEnd()) return Refuse(out);
    StreamRef ref(call, handle);
    if (ref.Wave() == nullptr) return (void)Answer(out, STATUS_INVALID_HANDLE).U64(0);
    Answer(out, STATUS_SUCCESS).U64(ref.Wave()->Queued());
}

void WavePinPosition(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    if (!in.AtEnd()) return Refuse(out);
    StreamRef ref(call, handle);
    if (ref.Wave() == nullptr) return (void)Answer(out, STATUS_INVALID_HANDLE).U64(0);
    Answer(out, STATUS_SUCCESS).U64(ref.Wave()->Position());
}

// Closes the caller's handle when it names a stream of the kind; the stream goes with its last
// reference (a call still using it keeps it a little longer).
void CloseStream(CallContext& call, WireReader& in, WireWriter& out, bool wave) {
    const uint64_t handle = in.U64();
    if (!in.AtEnd()) return Refuse(out);
    {
        StreamRef ref(call, handle);
        if (wave ? ref.Wave() == nullptr : ref.Midi() == nullptr)
            return (void)Answer(out, STATUS_INVALID_HANDLE);
    }
    const bool closed =
        HandlesOf(call).Close(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)));
    Answer(out, closed ? STATUS_SUCCESS : STATUS_INVALID_HANDLE);
}

void OpenMidiPort(CallContext& call, WireReader& in, WireWriter& out) {
    std::wstring midi;
    if (!ReadName(in, &midi) || !in.AtEnd()) return Refuse(out);
    std::unique_ptr<sim::audio::MidiPort> port;
    NTSTATUS status = sim::audio::MidiPort::Open(midi, &port);
    uint64_t handle = 0;
    if (NT_SUCCESS(status)) {
        handle = InsertStream(call, nullptr, std::move(port));
        if (handle == 0) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    Answer(out, status).U64(handle);
}

void SendMidi(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    const std::vector<uint8_t> data = in.Bytes(kMaxAudioChunk);
    if (!in.AtEnd()) return Refuse(out);
    StreamRef ref(call, handle);
    if (ref.Midi() == nullptr) return (void)Answer(out, STATUS_INVALID_HANDLE);
    Answer(out, ref.Midi()->midi->Send(data.data(), data.size()));
}

void ReceiveMidi(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    if (!in.AtEnd()) return Refuse(out);
    StreamRef ref(call, handle);
    AudioStream* stream = ref.Midi();
    if (stream == nullptr) return (void)Answer(out, STATUS_INVALID_HANDLE).Bytes(nullptr, 0);
    std::lock_guard lock(*stream->receiving);
    std::vector<uint8_t>& pending = *stream->pendingMidi;
    if (pending.size() < kMaxAudioChunk) (void)stream->midi->Receive(&pending);  // appends
    const size_t count = std::min(pending.size(), kMaxAudioChunk);
    Answer(out, STATUS_SUCCESS).Bytes(pending.data(), count);
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

void AddAudioHandlers(HandlerTable& handlers) {
    handlers.Add(Op::AudioListSubdevices, ListSubdevices);
    handlers.Add(Op::AudioListMixerLines, ListMixerLines);
    handlers.Add(Op::AudioSetMute, SetMute);
    handlers.Add(Op::AudioGetMute, GetMute);
    handlers.Add(Op::WavePinOpen, OpenWavePin);
    handlers.Add(Op::WavePinSetState, SetWavePinState);
    handlers.Add(Op::WavePinWrite, WriteWavePin);
    handlers.Add(Op::WavePinRead, ReadWavePin);
    handlers.Add(Op::WavePinQueued, WavePinQueued);
    handlers.Add(Op::WavePinPosition, WavePinPosition);
    handlers.Add(Op::WavePinClose, [](CallContext& call, WireReader& in, WireWriter& out) {
        CloseStream(call, in, out, true);
    });
    handlers.Add(Op::MidiPortOpen, OpenMidiPort);
    handlers.Add(Op::MidiPortSend, SendMidi);
    handlers.Add(Op::MidiPortReceive, ReceiveMidi);
    handlers.Add(Op::MidiPortClose, [](CallContext& call, WireReader& in, WireWriter& out) {
        CloseStream(call, in, out, false);
    });
}

}  // namespace q407::service
