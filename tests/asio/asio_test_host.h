// An ASIO host on the emulated machine, written as hosts are: the driver library loaded and the
// driver object created through its class factory, the usual call order, callbacks that read the
// input halves, write a known signal into the output halves and call outputReady, and a record
// of everything the driver told the host. The host's calls run in its own emulated process.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/asio/asio_interface.h"
#include "shared/mixer_settings.h"
#include "sim/host/process.h"
#include "tools/asio_module.h"
#include "tools/device_rig.h"

namespace q407::testing {

// The signal the host plays on output channel c (counted across units): never 0, 24 bits.
int32_t HostSignal(uint64_t frame, int channel);

// What one input channel received against the output channel that feeds it through the
// loopback: the first non-zero sample fixes the delay, every later one must match.
struct LoopCheck {
    int source = 0;
    int64_t delay = -1;
    uint64_t checked = 0;
    uint64_t mismatches = 0;
    bool BitExact() const { return delay >= 0 && checked > 0 && mismatches == 0; }
};

class TestHost {
  public:
    TestHost();
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    sim::Process& Process() { return *process_; }
    // Runs `body` on the calling thread inside the host's process.
    void Run(const std::function<void()>& body);

    // Creates the driver object (in the host's process); false when the factory refused.
    bool CreateDriver();
    IASIO* Driver() const { return driver_; }
    // init, the queries and createBuffers for the given channels (every channel when empty);
    // with a rate, setSampleRate before the queries.
    ASIOError OpenAndCreate(std::vector<ASIOBufferInfo> infos = {}, bool timeInfo = true,
                            double rate = 0.0);
    // stop (if running), disposeBuffers, Release, as hosts tear down.
    void Close();
    // Ends the host's process (its handles closed by the system).
    void EndProcess();

    // Set on the callbacks' side.
    std::vector<long> Messages() const;
    uint64_t Switches() const;
    std::vector<long> Halves() const;
    std::vector<LoopCheck> Checks() const;
    long BufferFrames() const { return bufferFrames_; }
    long ReportedRoundTrip() const { return inputLatency_ + outputLatency_; }
    // The host answers a reset request by closing the driver from its callback's thread.
    void SetCloseOnReset(bool on) { closeOnReset_ = on; }
    // The sample position and time stamp of the last bufferSwitchTimeInfo.
    ASIOTime LastTimeInfo() const;

  private:
    static void OnBufferSwitch(long index, ASIOBool direct);
    static ASIOTime* OnBufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool direct);
    static void OnSampleRateDidChange(ASIOSampleRate rate);
    static long OnAsioMessage(long selector, long value, void* message, double* opt);
    void Switch(long index);

    static TestHost* current_;
    std::unique_ptr<sim::Process> process_;
    std::unique_ptr<tools::AsioModule> module_;
    IASIO* driver_ = nullptr;
    ASIOCallbacks callbacks_{};
    bool timeInfo_ = true;
    bool closeOnReset_ = false;
    std::vector<ASIOBufferInfo> infos_;
    long bufferFrames_ = 0;
    long inputLatency_ = 0;
    long outputLatency_ = 0;
    long units_ = 0;

    mutable std::mutex mutex_;
    std::vector<long> messages_;
    std::vector<long> halves_;
    uint64_t switches_ = 0;
    std::vector<LoopCheck> checks_;  // one per input info
    ASIOTime lastTime_{};
};

// A started rig of `units` virtual devices whose inputs are looped back from their outputs, with
// the leak checks of a stopped device at the end.
class AsioFixture : public ::testing::Test {
  protected:
    void StartRig(int units = 1, const MixerSettings& settings = DefaultMixerSettings());
    void TearDown() override;
    // Streams for `seconds` of machine time.
    void RunFor(double seconds) { rig_->RunForSeconds(seconds); }

    std::unique_ptr<tools::DeviceRig> rig_;
};

}  // namespace q407::testing
