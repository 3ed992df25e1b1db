// The audio stack as an application sees it: the port-class subdevices that plugged devices
// registered, the mixer lines of a topology subdevice with their mute controls, wave pins that
// play and record, and the MIDI port. Calls are made from an emulated process thread
// (PASSIVE_LEVEL), like the rest of the bench's user mode; a program linked to a running machine
// (ClientLink) makes them from its own threads and the machine runs them in the program's process
// there. Status values are NTSTATUS numbers.
// This header names no kernel or port-class declaration, so that programs holding Win32 and COM
// names can include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace q407::sim::audio {

enum class SubdeviceKind { Wave, Topology, Midi };

struct SubdeviceInfo {
    std::wstring name;  // "ZEL_Wave1", "ZEL_Mixer1", "ZEL_Midi1"
    SubdeviceKind kind;
    std::wstring symbolicLink;  // the device interface's link
    int unit;                   // which plugged device (0-based, plug order)
    bool playback;              // has a streaming render pin
    bool recording;             // has a streaming capture pin
};

// Every subdevice whose device interface is enabled, in registration order.
std::vector<SubdeviceInfo> ListSubdevices();

// One mute-capable line of a topology filter: the mute node and the path it sits on.
struct MixerLine {
    int node;
    bool playbackPath;  // on the path from the wave filter to a line-out
    bool hasMute;       // the node answers the audio mute property
    bool muted;
};
// The mute nodes of the topology subdevice mixerName.
int32_t ListMixerLines(const std::wstring& mixerName, std::vector<MixerLine>* lines);
int32_t SetMute(const std::wstring& mixerName, int node, bool mute);
int32_t GetMute(const std::wstring& mixerName, int node, bool* mute);

struct WaveFormat {
    uint32_t rate;
    uint16_t channels;
    uint16_t bitsPerSample;
    bool extensible;
    uint32_t channelMask;
};

enum class PinState { Stop, Acquire, Pause, Run };

class WavePin {  // one streaming pin instance of a wave subdevice
  public:
    // Intersects, creates the pin (0xC000009A when the pin is busy, the miniport's status when
    // the format is refused) and leaves it stopped.
    static int32_t Open(const std::wstring& waveName, bool capture, const WaveFormat& format,
                        std::unique_ptr<WavePin>* pin);
    ~WavePin();                                     // stops and closes
    int32_t SetState(PinState state);               // walks through the states in between
    size_t Write(const void* bytes, size_t count);  // playback: queues client bytes
    size_t Read(void* bytes, size_t count);         // recording: takes captured bytes
    size_t Queued() const;                          // playback bytes not yet released by the driver
    uint64_t Position() const;                      // the miniport's position in bytes

    WavePin(const WavePin&) = delete;
    WavePin& operator=(const WavePin&) = delete;

  private:
    struct Impl;
    explicit WavePin(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class MidiPort {  // render and capture streams of "ZEL_MidiN"
  public:
    static int32_t Open(const std::wstring& midiName, std::unique_ptr<MidiPort>* port);
    ~MidiPort();
    int32_t Send(const uint8_t* bytes, size_t count);  // events of up to the kernel event size
    size_t Receive(std::vector<uint8_t>* bytes);       // what arrived so far

    MidiPort(const MidiPort&) = delete;
    MidiPort& operator=(const MidiPort&) = delete;

  private:
    struct Impl;
    explicit MidiPort(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace q407::sim::audio
