// The driver object's life, COM identity, opening, and the queries that need no stream.
#include "asio/asio_direct_sound.h"

#include <cstdio>
#include <cstring>

#include "asio/reported_latency.h"
#include "platform/user/device_access.h"

namespace q407::asio {
namespace {

// As much of the text as fits, always terminated.
void CopyText(char* destination, size_t bytes, const char* text) {
    if (bytes == 0) return;
    size_t i = 0;
    for (; i + 1 < bytes && text[i] != '\0'; ++i) destination[i] = text[i];
    destination[i] = '\0';
}

}  // namespace

AsioDirectSound::AsioDirectSound(IUnknown* outer) : CUnknown(outer), link_(TheDeviceLink()) {
    CopyText(errorText_, sizeof(errorText_), kDriverName);
    for (int32_t i = 0; i < kMaxActiveChannels; ++i) {
        inputChannelIds_[i] = -1;
        outputChannelIds_[i] = -1;
    }
    link_.currentDriver.store(this);
    OutputDebugStringA(kConstructionTrace);
}

AsioDirectSound::~AsioDirectSound() {
    DestroyOpenState();
    isOpen_ = 0;
    AsioDirectSound* self = this;
    link_.currentDriver.compare_exchange_strong(self, nullptr);
}

void AsioDirectSound::DestroyOpenState() {
    if (isOpen_ == 0) return;
    if (running_.load() != 0) stop();
    if (buffersReady_ != 0) disposeBuffers();
    link_.Close();
}

HRESULT STDMETHODCALLTYPE AsioDirectSound::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, kDriverClassId)) {
        *ppv = static_cast<IASIO*>(this);
        static_cast<IASIO*>(this)->AddRef();
        return S_OK;
    }
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

void AsioDirectSound::AppendErrorText(const char* text) {
    const size_t used = std::strlen(errorText_);
    CopyText(errorText_ + used, sizeof(errorText_) - used, text);
}

ASIOBool AsioDirectSound::init(void* sysHandle) {
    (void)sysHandle;  // no window of the host's is needed
    if (isOpen_ != 0) return ASIOTrue;
    if (!link_.Open()) {
        isOpen_ = 0;
        AppendErrorText(kOpenFailsText);
        return ASIOFalse;
    }
    isOpen_ = 1;
    bufferFrames_.store(link_.DeviceBufferFrames());
    const uint32_t rate = link_.StatusSampleRate();
    if (rate != 0) currentRate_.store(static_cast<double>(rate));
    const ReportedLatencies latencies =
        ReportedLatenciesFor(static_cast<uint32_t>(currentRate_.load()), link_.DeviceBufferFrames(),
                             link_.UsbBufferSetting());
    reportedInputLatency_ = latencies.input;
    reportedOutputLatency_ = latencies.output;
    inputChannelCount_ = static_cast<int16_t>(kInputsPerUnit * link_.UnitCount());
    outputChannelCount_ = static_cast<int16_t>(kOutputsPerUnit * link_.UnitCount());
    return ASIOTrue;
}

void AsioDirectSound::getDriverName(char* name) {
    if (name != nullptr) CopyText(name, 32, kDriverName);
}

long AsioDirectSound::getDriverVersion() {
    return kDriverVersion;
}

void AsioDirectSound::getErrorMessage(char* string) {
    if (string != nullptr) CopyText(string, 124, errorText_);
}

ASIOError AsioDirectSound::getChannels(long* numInputChannels, long* numOutputChannels) {
    if (isOpen_ == 0) return ASE_NotPresent;
    inputChannelCount_ = static_cast<int16_t>(kInputsPerUnit * link_.UnitCount());
    outputChannelCount_ = static_cast<int16_t>(kOutputsPerUnit * link_.UnitCount());
    if (numInputChannels != nullptr) *numInputChannels = inputChannelCount_;
    if (numOutputChannels != nullptr) *numOutputChannels = outputChannelCount_;
    return ASE_OK;
}

ASIOError AsioDirectSound::getLatencies(long* inputLatency, long* outputLatency) {
    if (isOpen_ == 0) return ASE_NotPresent;
    // The rate may have changed since init; the latencies follow it.
    const ReportedLatencies latencies =
        ReportedLatenciesFor(static_cast<uint32_t>(currentRate_.load()), link_.DeviceBufferFrames(),
                             link_.UsbBufferSetting());
    reportedInputLatency_ = latencies.input;
    reportedOutputLatency_ = latencies.output;
    if (inputLatency != nullptr) *inputLatency = reportedInputLatency_;
    if (outputLatency != nullptr) *outputLatency = reportedOutputLatency_;
    return ASE_OK;
}

ASIOError AsioDirectSound::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                         long* granularity) {
    if (isOpen_ == 0) return ASE_NotPresent;
    const long frames = link_.DeviceBufferFrames();
    if (minSize != nullptr) *minSize = frames;
    if (maxSize != nullptr) *maxSize = frames;
    if (preferredSize != nullptr) *preferredSize = frames;
    if (granularity != nullptr) *granularity = 0;
    return ASE_OK;
}

ASIOError AsioDirectSound::canSampleRate(ASIOSampleRate sampleRate) {
    if (isOpen_ == 0) return ASE_NotPresent;
    for (double rate : kSampleRates) {
        if (rate == sampleRate) return ASE_OK;
    }
    return ASE_NoClock;
}

ASIOError AsioDirectSound::getSampleRate(ASIOSampleRate* sampleRate) {
    if (isOpen_ == 0) return ASE_NotPresent;
    currentRate_.store(static_cast<double>(link_.StatusSampleRate()));
    if (sampleRate != nullptr) *sampleRate = currentRate_.load();
    return ASE_OK;
}

ASIOError AsioDirectSound::setSampleRate(ASIOSampleRate sampleRate) {
    if (isOpen_ == 0) return ASE_NotPresent;
    bool known = false;
    for (double rate : kSampleRates) {
        if (rate == sampleRate && rate != 0.0) known = true;
    }
    if (!known) return ASE_NoClock;
    if (sampleRate == currentRate_.load()) return ASE_OK;
    currentRate_.store(sampleRate);
    const int hz = static_cast<int>(sampleRate);
    if (!link_.SetSampleRateOnAllUnits(static_cast<uint32_t>(hz))) {
        char message[kErrorTextBytes];
        std::snprintf(message, sizeof(message), kRateChangeFailsFormat, hz / 1000);
        CopyText(errorText_, sizeof(errorText_), kDriverName);
        AppendErrorText(message);
        return ASE_NoClock;
    }
    ASIOCallbacks* callbacks = hostCallbacks_.load();
    if (callbacks != nullptr && callbacks->sampleRateDidChange != nullptr)
        callbacks->sampleRateDidChange(sampleRate);
    return ASE_OK;
}

ASIOError AsioDirectSound::getClockSources(ASIOClockSource* clocks, long* numSources) {
    if (clocks != nullptr) {
        clocks->index = 0;
        clocks->associatedChannel = -1;
        clocks->associatedGroup = -1;
        clocks->isCurrentSource = ASIOTrue;
        CopyText(clocks->name, sizeof(clocks->name), kClockSourceName);
    }
    if (numSources != nullptr) *numSources = 1;
    return ASE_OK;
}

ASIOError AsioDirectSound::setClockSource(long reference) {
    if (reference != 0) return ASE_NotPresent;
    pendingTimeInfoFlags_.fetch_or(kClockSourceChanged);
    return ASE_OK;
}

ASIOError AsioDirectSound::getChannelInfo(ASIOChannelInfo* info) {
    if (isOpen_ == 0) return ASE_NotPresent;
    if (info == nullptr || info->channel < 0) return ASE_InvalidParameter;
    info->isActive = ASIOTrue;
    info->channelGroup = 0;
    info->type = ASIOSTInt32LSB;
    const bool input = info->isInput != ASIOFalse;
    if (info->channel >= (input ? inputChannelCount_ : outputChannelCount_))
        return ASE_InvalidParameter;
    // Each name labels the stereo pair the channel belongs to, counted from 1.
    const int c = static_cast<int>(info->channel);
    const int first = c % 2 == 0 ? c + 1 : c;
    char text[64];
    std::snprintf(text, sizeof(text), "%s %s %d/%d:%c", input ? "In" : "Out", kDeviceName, first,
                  first + 1, c % 2 == 0 ? 'L' : 'R');
    CopyText(info->name, sizeof(info->name), text);
    return ASE_OK;
}

ASIOError AsioDirectSound::future(long selector, void* opt) {
    (void)opt;  // none of the selectors answered here takes an argument
    switch (selector) {
        case kAsioEnableTimeCodeRead:
            timeCodeEnabled_.store(true);
            return ASE_SUCCESS;
        case kAsioDisableTimeCodeRead:
            timeCodeEnabled_.store(false);
            return ASE_SUCCESS;
        case kAsioCanTimeInfo:
        case kAsioCanTimeCode:
            return ASE_SUCCESS;
        default:
            return ASE_NotPresent;
    }
}

}  // namespace q407::asio
