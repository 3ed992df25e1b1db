// The driver object hosts create: IASIO over the device link. It moves no audio itself: the USB
// driver's engine fills and drains the halves of the shared buffer, and once per period the
// notification thread (notification_thread.h) calls the host's buffer switch.
//
// Threads: the host calls the IASIO operations; the notification thread reads the fields marked
// "shared" and writes the sample position, the time stamp, the half index and timeInfo. The
// shared fields are atomics; stop() waits for the thread to end (unless the thread itself calls
// it), so that nothing calls into a host after it stopped or released the driver.
#pragma once

#include <atomic>
#include <cstdint>

#include "asio/com_unknown.h"
#include "asio/device_link.h"
#include "asio/driver_identity.h"
#include "platform/asio/asio_interface.h"

namespace q407::asio {

inline constexpr int32_t kErrorTextBytes = 130;

// IASIO whose IUnknown slots go to the object's owner (the outer unknown when aggregated).
class DelegatingAsio : public IASIO {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) final {
        return Owner()->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() final { return Owner()->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() final { return Owner()->Release(); }

  protected:
    ~DelegatingAsio() = default;
    virtual IUnknown* Owner() const = 0;
};

class AsioDirectSound : public DelegatingAsio, public CUnknown {
  public:
    explicit AsioDirectSound(IUnknown* outer);
    ~AsioDirectSound() override;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IASIO.
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    long getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
    ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
    ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                            long* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) override;
    ASIOError setClockSource(long reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(long selector, void* opt) override;
    ASIOError outputReady() override;

    // For the notification thread.
    bool Running() const { return running_.load(); }
    bool HasCallbacks() const { return hostCallbacks_.load() != nullptr; }
    void SignalThreadStarted();
    void BufferSwitch();
    // Once per period after the buffer switch: the underrun counter, and the changes the user
    // made in the control panel, reported to the host. False when the thread must end: the
    // device has gone, or the host released the driver in its answer.
    bool CheckForChanges();
    // The device went away under a running stream: one reset request to the host.
    void DeviceLost();
    double CurrentRate() const { return currentRate_.load(); }

  private:
    IUnknown* Owner() const override { return GetOwner(); }
    void SetUpTimeInfo();
    void AppendErrorText(const char* text);
    long AskHost(long selector);
    void RollBackBuffers(uint32_t registeredInputs, uint32_t registeredOutputs);
    void DetachAll();
    void ComputeMasks(UnitMasks* masks, int32_t units) const;
    void DestroyOpenState();

    AsioDeviceLink& link_;

    int32_t isOpen_ = 0;
    int32_t buffersReady_ = 0;
    std::atomic<int32_t> running_{0};                      // shared
    std::atomic<ASIOCallbacks*> hostCallbacks_{nullptr};   // shared
    ASIOTime timeInfo_{};                                  // the thread's while running
    std::atomic<unsigned long> pendingTimeInfoFlags_{0};   // set by the host, taken by the thread
    std::atomic<uint64_t> systemTimeNs_{0};                // shared: hi << 32 | lo
    std::atomic<double> framesPlayed_{0.0};                // shared
    std::atomic<double> currentRate_{kInitialSampleRate};  // shared
    int32_t activeInputCount_ = 0;
    int32_t activeOutputCount_ = 0;
    int16_t inputChannelCount_ = 0;
    int16_t outputChannelCount_ = 0;
    uint64_t inputHalfBase_[kMaxActiveChannels] = {};
    uint64_t outputHalfBase_[kMaxActiveChannels] = {};
    int32_t inputChannelIds_[kMaxActiveChannels] = {};
    int32_t outputChannelIds_[kMaxActiveChannels] = {};
    std::atomic<int32_t> bufferFrames_{0};  // shared
    int32_t reportedInputLatency_ = 0;
    int32_t reportedOutputLatency_ = 0;
    std::atomic<int32_t> currentHalf_{0};       // shared
    std::atomic<bool> useTimeInfo_{false};      // shared
    std::atomic<bool> timeCodeEnabled_{false};  // shared
    std::atomic<bool> resetAsked_{false};
    char errorText_[kErrorTextBytes] = {};
    uint64_t sharedBufferAddress_ = 0;
    std::atomic<HANDLE> threadStartedEvent_{nullptr};
};

}  // namespace q407::asio
