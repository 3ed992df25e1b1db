// The clients of the engine's audio paths on an EngineRig, as the facade and the WDM audio driver
// would present them: an ASIO host whose buffers are pool memory registered with SetClientBuffer,
// and WDM streams with their playback rings and capture buffers. Each plays a known signal and
// checks what comes back through the device's loopback, sample by sample.
//
// The host reacts to every input period at once: its input half is taken in the ASIO period
// signal itself (before a following period of the same completion can overwrite it), its output
// half is written and handed to WriteAsioOutput by an event at the same instant.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/engine_rig.h"

namespace q407::tools {

// Sample for host frame `frame` of client channel `channel`; the checks need every value to be
// non-zero and the low byte clear (24 significant bits).
using SignalFunction = std::function<int32_t(uint64_t frame, int channel)>;

// A pseudo-random 24-bit signal, never 0, different on every channel.
int32_t TestSignal(uint64_t frame, int channel);

// What one capture channel received, compared with the signal of the channel that feeds it: the
// first non-zero sample fixes the delay, every later sample must be the source's at that delay.
struct ChannelCheck {
    int64_t delay = -1;    // frames; -1 while only silence has arrived
    uint64_t frames = 0;   // samples received
    uint64_t checked = 0;  // samples compared after the first arrival
    uint64_t mismatches = 0;
    bool BitExact() const { return delay >= 0 && checked != 0 && mismatches == 0; }
};

class PathClients {
  public:
    explicit PathClients(EngineRig& rig);
    ~PathClients();
    PathClients(const PathClients&) = delete;
    PathClients& operator=(const PathClients&) = delete;

    // ASIO host: buffers for 8 outputs and 16 inputs, registered, then the channels opened
    // (playback first). Capture channel c is checked against the signal of output c mod 8.
    NTSTATUS StartAsio(SignalFunction signal, bool openOutputs = true, bool openInputs = true);
    void StopAsio();
    uint64_t AsioPeriods() const { return asioPeriods_.load(); }
    ChannelCheck AsioCheck(int inputChannel) const;
    // Capture channel c's samples from host frame `first` on (kept only when recording).
    void RecordAsioInput(int inputChannel, size_t maxFrames);
    std::vector<int32_t> RecordedAsioInput(int inputChannel) const;

    // WDM playback stream of `channels` channels on (kind, first .. first+channels-1): a ring in
    // pool memory kept topped up after every output period.
    NTSTATUS StartWdmPlayback(ClientKind kind, int first, int channels, SignalFunction signal);
    void StopWdmPlayback();
    // MME capture of channels first .. first+channels-1 into one interleaved buffer; channel
    // first+i is checked against `source(i)` of the WDM playback signal.
    NTSTATUS StartMmeCapture(int first, int channels, std::function<int(int)> source);
    void StopMmeCapture();
    ChannelCheck MmeCheck(int index) const;
    void RecordMmeInput(int index, size_t maxFrames);
    std::vector<int32_t> RecordedMmeInput(int index) const;
    // The ASIO host's input frame that the first recorded sample belongs to (the same input
    // period hands both their samples), so that a routed ASIO signal's delay can be read off.
    uint64_t RecordedMmeInputFrame(int index) const;

    // Ticks of the first output period and of the first input period after the ASIO start.
    sim::ClockTicks FirstOutputPeriodTick() const { return firstOutputTick_.load(); }
    sim::ClockTicks FirstInputPeriodTick() const { return firstInputTick_.load(); }

  private:
    struct Pool;
    static void OnOutputPeriod(PVOID context);
    static void OnInputPeriod(PVOID context);
    static LONG OnAsioPeriod(PVOID context);
    static void OnMidiIn(PVOID context);
    void WriteOutputHalf(uint64_t period, int half);
    void InstallTable(bool install);

    EngineRig& rig_;
    EngineNotifications table_{};
    const EngineNotifications* previous_ = nullptr;
    std::unique_ptr<Pool> pool_;
    mutable std::mutex mu_;

    // ASIO host
    SignalFunction asioSignal_;
    std::atomic<bool> asioArmed_{false};
    std::atomic<uint64_t> asioPeriods_{0};
    uint64_t asioOutputPeriods_ = 0;
    ChannelCheck asioChecks_[kInputChannelCount];
    std::vector<int32_t> asioRecord_[kInputChannelCount];
    size_t asioRecordLimit_[kInputChannelCount] = {};
    std::atomic<sim::ClockTicks> firstOutputTick_{-1};
    std::atomic<sim::ClockTicks> firstInputTick_{-1};

    // WDM streams
    SignalFunction wdmSignal_;
    int wdmKind_ = 0;
    int wdmFirst_ = 0;
    int wdmChannels_ = 0;
    uint64_t wdmFrames_ = 0;
    int mmeFirst_ = 0;
    int mmeChannels_ = 0;
    uint64_t mmeFrames_ = 0;
    std::function<int(int)> mmeSource_;
    ChannelCheck mmeChecks_[kInputChannelCount];
    std::vector<int32_t> mmeRecord_[kInputChannelCount];
    size_t mmeRecordLimit_[kInputChannelCount] = {};
    uint64_t mmeRecordFrame_[kInputChannelCount] = {};
};

}  // namespace q407::tools
