// The streaming half of the audio stack: wave pins and the MIDI port, opened on a registered
// subdevice by name. The pins' client buffers are owned by the port's pins; these objects only
// hold references and close them when they go. A program linked to a running machine holds
// the machine's handles instead.
#include <utility>

#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/host/portcls/audio_client_link.h"
#include "sim/host/portcls/port_dmus.h"
#include "sim/host/portcls/port_wave_pci.h"
#include "sim/host/verifier.h"

namespace q407::sim::audio {
namespace {

using portcls::DmusPin;
using portcls::PortBase;
using portcls::PortDMus;
using portcls::PortKind;
using portcls::PortWavePci;
using portcls::WavePciPin;

KSSTATE ToKsState(PinState state) {
    switch (state) {
        case PinState::Stop:
            return KSSTATE_STOP;
        case PinState::Acquire:
            return KSSTATE_ACQUIRE;
        case PinState::Pause:
            return KSSTATE_PAUSE;
        case PinState::Run:
            return KSSTATE_RUN;
    }
    return KSSTATE_STOP;
}

// The registered subdevice's port of the kind, referenced; the status when there is none.
NTSTATUS ReferencePort(const std::wstring& name, PortKind kind, PortBase** port) {
    *port = portcls::ReferenceSubdevicePort(name);
    if (*port == nullptr) return STATUS_NO_SUCH_DEVICE;
    if ((*port)->Kind() != kind) {
        (*port)->ReleasePortReference();
        *port = nullptr;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

}  // namespace

struct WavePin::Impl {
    WavePciPin* pin = nullptr;  // referenced
    uint64_t linked = 0;        // the machine's handle when the pin is there
};

WavePin::WavePin(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WavePin::~WavePin() {
    if (impl_ && impl_->linked != 0) linked::CloseWavePin(impl_->linked);
    if (impl_ && impl_->pin != nullptr) {
        impl_->pin->Close();
        impl_->pin->Release();
    }
}

int32_t WavePin::Open(const std::wstring& waveName, bool capture, const WaveFormat& format,
                      std::unique_ptr<WavePin>* pin) {
    pin->reset();
    if (linked::Active()) {
        auto impl = std::make_unique<Impl>();
        const int32_t status = linked::OpenWavePin(waveName, capture, format, &impl->linked);
        if (status >= 0) pin->reset(new WavePin(std::move(impl)));
        return status;
    }
    RequirePassive("WavePin::Open");
    PortBase* base = nullptr;
    NTSTATUS status = ReferencePort(waveName, PortKind::WavePci, &base);
    if (!NT_SUCCESS(status)) return status;
    const portcls::WavePinFormat wanted{format.rate, format.channels, format.bitsPerSample,
                                        format.extensible, format.channelMask};
    WavePciPin* created = nullptr;
    status = static_cast<PortWavePci*>(base)->OpenPin(capture, wanted, &created);
    base->ReleasePortReference();
    if (!NT_SUCCESS(status)) return status;
    auto impl = std::make_unique<Impl>();
    impl->pin = created;
    pin->reset(new WavePin(std::move(impl)));
    return STATUS_SUCCESS;
}

int32_t WavePin::SetState(PinState state) {
    if (impl_->pin == nullptr) return linked::SetWavePinState(impl_->linked, state);
    return impl_->pin->SetState(ToKsState(state));
}

size_t WavePin::Write(const void* bytes, size_t count) {
    if (impl_->pin == nullptr) return linked::WriteWavePin(impl_->linked, bytes, count);
    return impl_->pin->Write(bytes, count);
}

size_t WavePin::Read(void* bytes, size_t count) {
    if (impl_->pin == nullptr) return linked::ReadWavePin(impl_->linked, bytes, count);
    return impl_->pin->Read(bytes, count);
}

size_t WavePin::Queued() const {
    if (impl_->pin == nullptr) return linked::WavePinQueued(impl_->linked);
    return impl_->pin->Queued();
}

uint64_t WavePin::Position() const {
    if (impl_->pin == nullptr) return linked::WavePinPosition(impl_->linked);
    return impl_->pin->Position();
}

struct MidiPort::Impl {
    DmusPin* render = nullptr;   // referenced
    DmusPin* capture = nullptr;  // referenced
    uint64_t linked = 0;         // the machine's handle when the port is there
};

MidiPort::MidiPort(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MidiPort::~MidiPort() {
    if (!impl_) return;
    if (impl_->linked != 0) linked::CloseMidiPort(impl_->linked);
    for (DmusPin* pin : {impl_->render, impl_->capture}) {
        if (pin == nullptr) continue;
        pin->Close();
        pin->Release();
    }
}

int32_t MidiPort::Open(const std::wstring& midiName, std::unique_ptr<MidiPort>* port) {
    port->reset();
    if (linked::Active()) {
        auto impl = std::make_unique<Impl>();
        const int32_t status = linked::OpenMidiPort(midiName, &impl->linked);
        if (status >= 0) port->reset(new MidiPort(std::move(impl)));
        return status;
    }
    RequirePassive("MidiPort::Open");
    PortBase* base = nullptr;
    NTSTATUS status = ReferencePort(midiName, PortKind::DMus, &base);
    if (!NT_SUCCESS(status)) return status;
    auto* dmus = static_cast<PortDMus*>(base);
    auto impl = std::make_unique<Impl>();
    status = dmus->OpenPin(false, &impl->render);
    if (NT_SUCCESS(status)) status = dmus->OpenPin(true, &impl->capture);
    base->ReleasePortReference();
    // Both streams run from the start: a MIDI port has no transport of its own.
    if (NT_SUCCESS(status)) status = impl->render->SetState(KSSTATE_RUN);
    if (NT_SUCCESS(status)) status = impl->capture->SetState(KSSTATE_RUN);
    std::unique_ptr<MidiPort> opened(new MidiPort(std::move(impl)));
    if (!NT_SUCCESS(status)) return status;  // opened closes what was created
    *port = std::move(opened);
    return STATUS_SUCCESS;
}

int32_t MidiPort::Send(const uint8_t* bytes, size_t count) {
    if (impl_->render == nullptr) return linked::SendMidi(impl_->linked, bytes, count);
    return impl_->render->Send(bytes, count, nullptr);
}

size_t MidiPort::Receive(std::vector<uint8_t>* bytes) {
    if (impl_->render == nullptr) return linked::ReceiveMidi(impl_->linked, bytes);
    return impl_->capture->Receive(bytes);
}

}  // namespace q407::sim::audio
