// The emulated machine as the port-class driver's clients see it: a virtual Q407 LX with Q407DRV
// and Q407WDM on its child device, the device's inputs fed as asked (loopback of its outputs, a
// ramp per input, silence), its MIDI output looped back to its MIDI input, and its outputs kept
// in memory or written to a WAV file. Clients make their audio-stack calls from the machine's
// client process (ClientScope) on the thread that advances the machine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"

namespace q407::sim {
class Process;
}

namespace q407::tools {

class DeviceRig;

// Exit statuses shared by the commands that stream through Q407WDM.
enum WdmExit : int {
    kWdmExitOk = 0,
    kWdmExitFailed = 1,    // the machine or the stream did not run as it should
    kWdmExitUsage = 2,     // bad arguments, unknown subdevice
    kWdmExitFile = 3,      // a file that cannot be read or written
    kWdmExitRefused = 4,   // the device refused the format (its status is printed)
    kWdmExitBusy = 5,      // the pin or port is in use by another client
    kWdmExitNotExact = 6,  // streamed, but the data did not come back as sent
};

// 0xC000009A: a pin's single instance, or a port's streams, already taken.
inline constexpr int32_t kStatusPinBusy = static_cast<int32_t>(0xC000009AU);

// What feeds the device's 16 inputs.
enum class InputFeed {
    Loopback,  // input c carries output c mod 8
    Ramp,      // input c a rising ramp of its own (RampInputSample)
    Silence,
};

// The 24-bit sample of input channel `channel` in capture frame `frame` under InputFeed::Ramp:
// it rises by 256 every frame, so that each 16-bit sample is the previous plus one and each
// 32-bit sample the previous plus 0x10000, and its low byte tells the channel.
int32_t RampInputSample(int channel, uint64_t frame);

struct WdmMachineOptions {
    uint32_t rate = 48000;  // the device's rate at start
    bool realTime = false;  // against the wall clock instead of virtual time
    InputFeed inputs = InputFeed::Loopback;
    bool midiLoopback = true;
    bool keepOutputs = false;  // every output frame in memory (Output)
    std::string outputWav;     // the 8 outputs into this 24-bit WAV file (empty: none)
    // The child device's driver entry; null: Q407WDM's own (tests put a spy around it).
    PDRIVER_INITIALIZE childDriver = nullptr;
};

class WdmMachine {
  public:
    WdmMachine();
    // The client process ends, then the device is removed and the drivers unload.
    ~WdmMachine();
    WdmMachine(const WdmMachine&) = delete;
    WdmMachine& operator=(const WdmMachine&) = delete;

    // Boots the machine and starts the device; false, with the message, when it does not start
    // or Q407WDM registers no subdevice.
    bool Boot(const WdmMachineOptions& options, std::string* error);
    // Uses the running machine the program is linked to (ClientLink) instead: the calls go there,
    // time is the wall clock, and the device's outputs stay out of reach (Output is empty). False,
    // with the message, when the machine has no wave subdevice.
    bool UseLinked(std::string* error);
    bool Linked() const;
    // The private machine's rig (not when linked).
    DeviceRig& Rig();
    sim::Process& Client();
    void Advance(double seconds);
    double Now() const;  // seconds of machine time since boot

    // The samples output `channel` played, 24 significant bits in the upper bytes (keepOutputs).
    std::vector<int32_t> Output(int channel) const;
    uint64_t OutputFrames() const;
    // Finishes the output WAV file; false, with the message, when writing failed.
    bool CloseOutputWav(std::string* error);

  private:
    bool HasWaveSubdevice(std::string* error);
    struct State;
    std::unique_ptr<State> state_;
};

// The client process's context on the calling thread for the scope (nothing when linked: the
// machine runs the calls in the program's process there).
class ClientScope {
  public:
    explicit ClientScope(WdmMachine& machine);
    ~ClientScope();
    ClientScope(const ClientScope&) = delete;
    ClientScope& operator=(const ClientScope&) = delete;

  private:
    struct Holder;
    std::unique_ptr<Holder> holder_;
};

// Q407WDM's entry, for rigs that load it on the child device (the port-class declarations stay
// out of the callers' headers).
PDRIVER_INITIALIZE WdmDriverEntryPoint();

// "0xC000000D".
std::string StatusText(int32_t status);

}  // namespace q407::tools
