// An ASIO test host: creates the driver from its loaded library as hosts do (DllGetClassObject,
// CreateInstance with the driver's class identifier as the interface identifier) and walks the
// usual call order: init, the queries, createBuffers, start, buffer switches, stop,
// disposeBuffers, release. Each buffer switch records the chosen inputs, writes the chosen
// outputs from a signal and calls outputReady. A reset request from the driver is answered as
// hosts answer it: the driver is released and opened again, and the session goes on.
//
// The host runs in whatever emulated process the calling thread is in; the driver's buffer-switch
// thread is the driver's own. The machine runs while the host waits, through `advance`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/asio/asio_interface.h"
#include "tools/asio_module.h"

namespace q407::tools {

// The driver's class identifier, as the installation registers it.
extern const CLSID kQ407AsioClassId;

// Sample for frame `frame` of the i-th chosen output (frames count from the session's start).
using OutputSignal = std::function<int32_t(size_t output, uint64_t frame)>;

struct AsioSessionRequest {
    double sampleRate = 0;        // 0: the rate the driver runs at
    std::vector<long> outputs;    // host output channels to play
    std::vector<long> inputs;     // host input channels to record
    uint64_t frames = 0;          // how long to stream, in frames; 0: one buffer
    OutputSignal signal;          // null: silence
    bool keepPlayed = false;      // keep what was written to the outputs
    double resetWaitSeconds = 5;  // how long a reset may wait for the driver to open again
    // The machine runs for this many seconds while the host waits; given by the caller.
    std::function<void(double seconds)> advance;
    // Called now and then with the frames recorded so far.
    std::function<void(uint64_t done, uint64_t total)> progress;
    // Called on the host's thread each time start has succeeded.
    std::function<void()> started;
    // Called first thing in every buffer switch, on the driver's thread (for timing).
    std::function<void()> switched;
};

struct AsioSessionResult {
    std::string driverName;
    long driverVersion = 0;
    std::string errorMessage;  // getErrorMessage after a failed init
    long inputChannels = 0;
    long outputChannels = 0;
    long bufferMin = 0, bufferMax = 0, bufferPreferred = 0, bufferGranularity = 0;
    long bufferFrames = 0;  // what createBuffers was given
    long inputLatency = 0;  // getLatencies
    long outputLatency = 0;
    double sampleRate = 0;
    std::vector<std::string> inputNames;  // of the chosen channels
    std::vector<std::string> outputNames;
    std::vector<std::vector<int32_t>> recorded;  // per chosen input, from the first switch on
    std::vector<std::vector<int32_t>> played;    // per chosen output, when kept
    uint64_t bufferSwitches = 0;
    uint64_t missedSwitches = 0;  // sample positions that skipped a buffer
    uint64_t resetRequests = 0;   // answered by reopening the driver
    uint64_t reopenings = 0;
    std::vector<long> messages;  // asioMessage selectors in the order received
};

// Exit-worthy failures of a session; the result holds what was learnt before it.
enum class AsioSessionFailure {
    None,
    NoDriver,      // the library did not load or create an object
    InitFailed,    // init answered ASIOFalse (no device, device busy)
    BadRequest,    // channels or rate the driver does not offer
    DriverError,   // createBuffers or start failed
    ResetTimeout,  // a reset asked for a reopening that never succeeded
};

class AsioHost {
  public:
    explicit AsioHost(const AsioModule& module);
    ~AsioHost();
    AsioHost(const AsioHost&) = delete;
    AsioHost& operator=(const AsioHost&) = delete;

    // One session; error says what went wrong in words.
    AsioSessionFailure Run(const AsioSessionRequest& request, AsioSessionResult* result,
                           std::string* error);

  private:
    struct Callbacks;
    AsioSessionFailure Open(const AsioSessionRequest& request, AsioSessionResult* result,
                            bool first, std::string* error);
    void Close();
    void OnBufferSwitch(long index, const ASIOTime* time);
    long OnMessage(long selector, long value);

    const AsioModule& module_;
    IASIO* driver_ = nullptr;
    bool buffersReady_ = false;
    bool running_ = false;
    std::vector<ASIOBufferInfo> buffers_;
    ASIOCallbacks callbacks_{};

    // Shared with the driver's buffer-switch thread.
    std::mutex mu_;
    std::atomic<const AsioSessionRequest*> request_{nullptr};
    AsioSessionResult* result_ = nullptr;
    long bufferFrames_ = 0;
    uint64_t frame_ = 0;  // host frame of the next switch
    uint64_t lastPosition_ = 0;
    bool streaming_ = false;
    std::atomic<bool> resetRequested_{false};
    std::atomic<uint64_t> recordedFrames_{0};
};

}  // namespace q407::tools
