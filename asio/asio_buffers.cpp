// createBuffers and disposeBuffers: the shared buffer asked of the USB driver, each channel's two
// halves placed in it by the host's info order and registered with the channel's unit.
#include <cstring>

#include "asio/asio_direct_sound.h"

namespace q407::asio {
namespace {

constexpr uint32_t kDirectionOutput = 0;
constexpr uint32_t kDirectionInput = 1;

}  // namespace

void AsioDirectSound::SetUpTimeInfo() {
    std::memset(&timeInfo_, 0, sizeof(timeInfo_));
    timeInfo_.timeInfo.speed = 1.0;
    timeInfo_.timeInfo.sampleRate = currentRate_.load();
    timeInfo_.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
    timeInfo_.timeCode.speed = 1.0;
    timeInfo_.timeCode.flags = kTcValid | kTcRunning;
}

long AsioDirectSound::AskHost(long selector) {
    ASIOCallbacks* callbacks = hostCallbacks_.load();
    if (callbacks == nullptr || callbacks->asioMessage == nullptr) return 0;
    return callbacks->asioMessage(selector, 0, nullptr, nullptr);
}

// Detaches the halves registered so far in this call (both halves of every counted channel) and
// gives the shared buffer back.
void AsioDirectSound::RollBackBuffers(uint32_t registeredInputs, uint32_t registeredOutputs) {
    for (uint32_t i = 0; i < registeredInputs; ++i) {
        const int32_t channel = inputChannelIds_[i];
        for (uint32_t half = 0; half < 2; ++half)
            (void)link_.SetChannelHalf(kDirectionInput, channel / kInputsPerUnit,
                                       static_cast<uint32_t>(channel % kInputsPerUnit), half, 0);
        inputHalfBase_[i] = 0;
    }
    for (uint32_t i = 0; i < registeredOutputs; ++i) {
        const int32_t channel = outputChannelIds_[i];
        for (uint32_t half = 0; half < 2; ++half)
            (void)link_.SetChannelHalf(kDirectionOutput, channel / kOutputsPerUnit,
                                       static_cast<uint32_t>(channel % kOutputsPerUnit), half, 0);
        outputHalfBase_[i] = 0;
    }
    // A failed free leaves the buffer to the USB driver's clean-up for this process.
    (void)link_.AllocSharedBuffer(0, &sharedBufferAddress_);
    activeInputCount_ = 0;
    activeOutputCount_ = 0;
    for (int32_t i = 0; i < kMaxActiveChannels; ++i) {
        inputChannelIds_[i] = -1;
        outputChannelIds_[i] = -1;
    }
}

ASIOError AsioDirectSound::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels,
                                         long bufferSize, ASIOCallbacks* callbacks) {
    if (isOpen_ == 0) return ASE_NotPresent;
    // Buffers already made are still registered with the engine: replacing the shared buffer
    // under them would leave the engine writing into freed memory.
    if (buffersReady_ != 0) return ASE_InvalidMode;
    if (callbacks == nullptr || numChannels < 0 || (numChannels > 0 && bufferInfos == nullptr))
        return ASE_InvalidParameter;
    // The engine fills and drains halves of its own period length: a host buffer of another
    // size would be overrun, so only the size getBufferSize offers is taken.
    if (bufferSize <= 0 || bufferSize != link_.DeviceBufferFrames()) return ASE_InvalidParameter;
    // Everything must fit the shared buffer, checked before anything is attached.
    const uint64_t sharedBytes =
        static_cast<uint64_t>(kSharedBufferBytesPerUnit) * static_cast<uint64_t>(link_.UnitCount());
    const uint64_t halfBytes = static_cast<uint64_t>(bufferSize) * 4;
    if (static_cast<uint64_t>(numChannels) * halfBytes * 2 > sharedBytes)
        return ASE_InvalidParameter;

    bufferFrames_.store(static_cast<int32_t>(bufferSize));
    buffersReady_ = 0;
    activeInputCount_ = 0;
    activeOutputCount_ = 0;
    for (int32_t i = 0; i < kMaxActiveChannels; ++i) {
        inputChannelIds_[i] = -1;
        outputChannelIds_[i] = -1;
    }

    if (!link_.AllocSharedBuffer(static_cast<uint32_t>(sharedBytes), &sharedBufferAddress_) ||
        sharedBufferAddress_ == 0)
        return ASE_NoMemory;

    for (long i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        const uint64_t base = sharedBufferAddress_ + static_cast<uint64_t>(i) * halfBytes * 2;
        const bool input = info.isInput != ASIOFalse;
        const long channel = info.channelNum;
        const long channelCount = input ? inputChannelCount_ : outputChannelCount_;
        int32_t& active = input ? activeInputCount_ : activeOutputCount_;
        // More channels than the direction has (a channel given twice) would overrun the tables.
        if (channel < 0 || channel >= channelCount || active >= channelCount ||
            active >= kMaxActiveChannels) {
            RollBackBuffers(static_cast<uint32_t>(activeInputCount_),
                            static_cast<uint32_t>(activeOutputCount_));
            return ASE_InvalidParameter;
        }
        if (base == 0) {
            RollBackBuffers(static_cast<uint32_t>(activeInputCount_),
                            static_cast<uint32_t>(activeOutputCount_));
            return ASE_NoMemory;
        }
        const int32_t perUnit = input ? kInputsPerUnit : kOutputsPerUnit;
        const int32_t unit = static_cast<int32_t>(channel) / perUnit;
        const uint32_t inUnit = static_cast<uint32_t>(channel % perUnit);
        (input ? inputChannelIds_ : outputChannelIds_)[active] = static_cast<int32_t>(channel);
        (input ? inputHalfBase_ : outputHalfBase_)[active] = base;
        info.buffers[0] = reinterpret_cast<void*>(base);
        info.buffers[1] = reinterpret_cast<void*>(base + halfBytes);
        const uint32_t direction = input ? kDirectionInput : kDirectionOutput;
        // Not reported: a half the engine did not take stays silent.
        (void)link_.SetChannelHalf(direction, unit, inUnit, 0, base);
        (void)link_.SetChannelHalf(direction, unit, inUnit, 1, base + halfBytes);
        ++active;
    }

    hostCallbacks_.store(callbacks);
    (void)AskHost(kAsioEngineVersion);  // the answer changes nothing here
    SetUpTimeInfo();
    if (AskHost(kAsioSupportsTimeInfo) != 0) {
        useTimeInfo_.store(true);
        SetUpTimeInfo();
    } else {
        useTimeInfo_.store(false);
    }
    buffersReady_ = 1;
    return ASE_OK;
}

void AsioDirectSound::DetachAll() {
    for (int32_t i = 0; i < activeInputCount_; ++i) {
        const int32_t channel = inputChannelIds_[i];
        inputHalfBase_[i] = 0;
        for (uint32_t half = 0; half < 2; ++half)
            (void)link_.SetChannelHalf(kDirectionInput, channel / kInputsPerUnit,
                                       static_cast<uint32_t>(channel % kInputsPerUnit), half, 0);
    }
    for (int32_t i = 0; i < activeOutputCount_; ++i) {
        const int32_t channel = outputChannelIds_[i];
        outputHalfBase_[i] = 0;
        for (uint32_t half = 0; half < 2; ++half)
            (void)link_.SetChannelHalf(kDirectionOutput, channel / kOutputsPerUnit,
                                       static_cast<uint32_t>(channel % kOutputsPerUnit), half, 0);
    }
}

ASIOError AsioDirectSound::disposeBuffers() {
    hostCallbacks_.store(nullptr);
    if (isOpen_ == 0) return ASE_NotPresent;
    if (buffersReady_ == 0) return ASE_InvalidMode;
    if (running_.load() != 0) stop();
    // Detach failures are not reported: the halves go with the shared buffer.
    DetachAll();
    if (sharedBufferAddress_ != 0) {
        uint64_t freed = sharedBufferAddress_;
        // Freeing writes nothing back; a failure leaves the buffer to the USB driver's clean-up.
        (void)link_.AllocSharedBuffer(0, &freed);
    }
    buffersReady_ = 0;
    return ASE_OK;
}

void AsioDirectSound::ComputeMasks(UnitMasks* masks, int32_t units) const {
    for (int32_t u = 0; u < units; ++u) masks[u] = {};
    for (int32_t i = 0; i < activeInputCount_; ++i) {
        const int32_t channel = inputChannelIds_[i];
        const int32_t unit = channel / kInputsPerUnit;
        if (channel >= 0 && unit < units)
            masks[unit].input |= 1u << static_cast<uint32_t>(channel % kInputsPerUnit);
    }
    for (int32_t i = 0; i < activeOutputCount_; ++i) {
        const int32_t channel = outputChannelIds_[i];
        const int32_t unit = channel / kOutputsPerUnit;
        if (channel >= 0 && unit < units)
            masks[unit].output |= 1u << static_cast<uint32_t>(channel % kOutputsPerUnit);
    }
}

}  // namespace q407::asio
