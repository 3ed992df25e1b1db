// The audio client API of a program linked to a running machine: each call goes to the machine,
// which runs it in the program's emulated process there. Pins and ports are named by handles in
// that process's table, so that the process's end closes them. Status values are NTSTATUS
// numbers, STATUS_NO_SUCH_DEVICE when the machine is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/host/portcls/audio_client.h"

namespace q407::sim::audio::linked {

// A program linked to a machine, and not running on one of the machine's own threads.
bool Active();

std::vector<SubdeviceInfo> ListSubdevices();
int32_t ListMixerLines(const std::wstring& mixerName, std::vector<MixerLine>* lines);
int32_t SetMute(const std::wstring& mixerName, int node, bool mute);
int32_t GetMute(const std::wstring& mixerName, int node, bool* mute);

int32_t OpenWavePin(const std::wstring& waveName, bool capture, const WaveFormat& format,
                    uint64_t* pin);
int32_t SetWavePinState(uint64_t pin, PinState state);
size_t WriteWavePin(uint64_t pin, const void* bytes, size_t count);
size_t ReadWavePin(uint64_t pin, void* bytes, size_t count);
size_t WavePinQueued(uint64_t pin);
uint64_t WavePinPosition(uint64_t pin);
void CloseWavePin(uint64_t pin);

int32_t OpenMidiPort(const std::wstring& midiName, uint64_t* port);
int32_t SendMidi(uint64_t port, const uint8_t* bytes, size_t count);
size_t ReceiveMidi(uint64_t port, std::vector<uint8_t>* bytes);
void CloseMidiPort(uint64_t port);

}  // namespace q407::sim::audio::linked
