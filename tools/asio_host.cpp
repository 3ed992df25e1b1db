#include "tools/asio_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace q407::tools {

const CLSID kQ407AsioClassId = {
    0xB69E18CC, 0x1804, 0x46D6, {0x9B, 0x80, 0xEB, 0xD5, 0x5B, 0x02, 0xA2, 0x67}};

namespace {

// ASIO callbacks carry no context: one host is active at a time, as in every ASIO host.
std::atomic<AsioHost*> g_activeHost{nullptr};

std::string HresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string Bounded(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

uint64_t Position(const ASIOSamples& s) {
    return (uint64_t(s.hi & 0xFFFFFFFFul) << 32) | uint64_t(s.lo & 0xFFFFFFFFul);
}

}  // namespace

struct AsioHost::Callbacks {
    static void BufferSwitch(long index, ASIOBool) {
        if (AsioHost* host = g_activeHost.load()) host->OnBufferSwitch(index, nullptr);
    }
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool) {
        if (AsioHost* host = g_activeHost.load()) host->OnBufferSwitch(index, time);
        return nullptr;
    }
    static void SampleRateDidChange(ASIOSampleRate) {}
    static long Message(long selector, long value, void*, double*) {
        AsioHost* host = g_activeHost.load();
        return host != nullptr ? host->OnMessage(selector, value) : 0;
    }
};

AsioHost::AsioHost(const AsioModule& module) : module_(module) {
    callbacks_.bufferSwitch = &Callbacks::BufferSwitch;
    callbacks_.sampleRateDidChange = &Callbacks::SampleRateDidChange;
    callbacks_.asioMessage = &Callbacks::Message;
    callbacks_.bufferSwitchTimeInfo = &Callbacks::BufferSwitchTimeInfo;
}

AsioHost::~AsioHost() {
    Close();
    AsioHost* self = this;
    g_activeHost.compare_exchange_strong(self, nullptr);
}

long AsioHost::OnMessage(long selector, long value) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (result_ != nullptr) result_->messages.push_back(selector);
    }
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioResetRequest || value == kAsioEngineVersion ||
                           value == kAsioResyncRequest || value == kAsioLatenciesChanged ||
                           value == kAsioSupportsTimeInfo || value == kAsioBufferSizeChange
                       ? 1
                       : 0;
        case kAsioEngineVersion:
            return 2;
        case kAsioResetRequest:
            // Never torn down from the driver's thread: the host's own thread reopens.
            resetRequested_ = true;
            return 1;
        case kAsioBufferSizeChange:
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
            return 1;
        case kAsioSupportsTimeInfo:
            return 1;
        default:
            return 0;
    }
}

void AsioHost::OnBufferSwitch(long index, const ASIOTime* time) {
    // The request outlives every switch: the host's Run stops the driver before it returns.
    const AsioSessionRequest* request = request_.load();
    if (request != nullptr && request->switched) request->switched();
    std::lock_guard<std::mutex> lock(mu_);
    if (!streaming_ || request_ == nullptr || result_ == nullptr || index < 0 || index > 1) return;
    const auto frames = static_cast<size_t>(bufferFrames_);
    ++result_->bufferSwitches;
    if (time != nullptr && (time->timeInfo.flags & kSamplePositionValid) != 0) {
        // The position already counts this buffer; a jump of more means switches were lost.
        const uint64_t position = Position(time->timeInfo.samplePosition);
        if (lastPosition_ != 0 && position > lastPosition_ + frames)
            result_->missedSwitches += (position - lastPosition_) / frames - 1;
        lastPosition_ = position;
    }
    size_t in = 0, out = 0;
    for (const ASIOBufferInfo& info : buffers_) {
        const auto* half = static_cast<const int32_t*>(info.buffers[index]);
        if (info.isInput) {
            std::vector<int32_t>& record = result_->recorded[in++];
            const size_t room = request_.load()->frames > record.size()
                                    ? static_cast<size_t>(request_.load()->frames - record.size())
                                    : 0;
            record.insert(record.end(), half, half + std::min(frames, room));
            continue;
        }
        auto* target = static_cast<int32_t*>(info.buffers[index]);
        for (size_t f = 0; f < frames; ++f)
            target[f] = request_.load()->signal ? request_.load()->signal(out, frame_ + f) : 0;
        if (request_.load()->keepPlayed) {
            std::vector<int32_t>& kept = result_->played[out];
            if (kept.size() < request_.load()->frames) kept.insert(kept.end(), target, target + frames);
        }
        ++out;
    }
    frame_ += frames;
    recordedFrames_ = result_->recorded.empty() ? frame_ : result_->recorded.front().size();
    (void)driver_->outputReady();
}

AsioSessionFailure AsioHost::Open(const AsioSessionRequest& request, AsioSessionResult* result,
                                  bool first, std::string* error) {
    if (!module_.Loaded()) {
        *error = module_.Error();
        return AsioSessionFailure::NoDriver;
    }
    HRESULT hr = S_OK;
    driver_ = module_.CreateDriver(kQ407AsioClassId, &hr);
    if (driver_ == nullptr) {
        *error = "the ASIO driver object was not created: " + HresultText(hr);
        return AsioSessionFailure::NoDriver;
    }
    char text[256] = {};
    driver_->getDriverName(text);
    result->driverName = Bounded(text, sizeof(text));
    result->driverVersion = driver_->getDriverVersion();
    if (driver_->init(nullptr) != ASIOTrue) {
        std::memset(text, 0, sizeof(text));
        driver_->getErrorMessage(text);
        result->errorMessage = Bounded(text, sizeof(text));
        *error = "the ASIO driver did not open: " + result->errorMessage;
        return AsioSessionFailure::InitFailed;
    }
    if (driver_->getChannels(&result->inputChannels, &result->outputChannels) != ASE_OK) {
        *error = "getChannels failed";
        return AsioSessionFailure::DriverError;
    }
    (void)driver_->getBufferSize(&result->bufferMin, &result->bufferMax, &result->bufferPreferred,
                                 &result->bufferGranularity);
    for (long c : request.outputs) {
        if (c < 0 || c >= result->outputChannels) {
            *error = "output " + std::to_string(c + 1) + " does not exist: the driver offers " +
                     std::to_string(result->outputChannels);
            return AsioSessionFailure::BadRequest;
        }
    }
    for (long c : request.inputs) {
        if (c < 0 || c >= result->inputChannels) {
            *error = "input " + std::to_string(c + 1) + " does not exist: the driver offers " +
                     std::to_string(result->inputChannels);
            return AsioSessionFailure::BadRequest;
        }
    }
    double rate = 0;
    (void)driver_->getSampleRate(&rate);
    if (request.sampleRate != 0 && request.sampleRate != rate) {
        if (driver_->canSampleRate(request.sampleRate) != ASE_OK) {
            char line[96];
            std::snprintf(line, sizeof(line), "the driver cannot run at %.0f Hz",
                          request.sampleRate);
            *error = line;
            return AsioSessionFailure::BadRequest;
        }
        if (driver_->setSampleRate(request.sampleRate) != ASE_OK) {
            std::memset(text, 0, sizeof(text));
            driver_->getErrorMessage(text);
            *error = "setSampleRate failed: " + Bounded(text, sizeof(text));
            return AsioSessionFailure::DriverError;
        }
        (void)driver_->getSampleRate(&rate);
    }
    result->sampleRate = rate;
    if (first) {
        for (long c : request.inputs) {
            ASIOChannelInfo info{};
            info.channel = c;
            info.isInput = ASIOTrue;
            (void)driver_->getChannelInfo(&info);
            result->inputNames.push_back(Bounded(info.name, sizeof(info.name)));
        }
        for (long c : request.outputs) {
            ASIOChannelInfo info{};
            info.channel = c;
            info.isInput = ASIOFalse;
            (void)driver_->getChannelInfo(&info);
            result->outputNames.push_back(Bounded(info.name, sizeof(info.name)));
        }
    }

    buffers_.clear();
    for (long c : request.inputs) buffers_.push_back({ASIOTrue, c, {nullptr, nullptr}});
    for (long c : request.outputs) buffers_.push_back({ASIOFalse, c, {nullptr, nullptr}});
    const long frames = result->bufferPreferred;
    {
        std::lock_guard<std::mutex> lock(mu_);
        bufferFrames_ = frames;
        lastPosition_ = 0;
    }
    const ASIOError created = driver_->createBuffers(
        buffers_.data(), static_cast<long>(buffers_.size()), frames, &callbacks_);
    if (created != ASE_OK) {
        *error = "createBuffers failed: " + std::to_string(created);
        return AsioSessionFailure::DriverError;
    }
    buffersReady_ = true;
    result->bufferFrames = frames;
    (void)driver_->getLatencies(&result->inputLatency, &result->outputLatency);
    {
        std::lock_guard<std::mutex> lock(mu_);
        streaming_ = true;
    }
    const ASIOError started = driver_->start();
    if (started != ASE_OK) {
        *error = "start failed: " + std::to_string(started);
        return AsioSessionFailure::DriverError;
    }
    running_ = true;
    if (request.started) request.started();
    return AsioSessionFailure::None;
}

void AsioHost::Close() {
    if (driver_ == nullptr) return;
    if (running_) (void)driver_->stop();
    running_ = false;
    {
        // A buffer switch still under way finishes before the buffers go.
        std::lock_guard<std::mutex> lock(mu_);
        streaming_ = false;
    }
    if (buffersReady_) (void)driver_->disposeBuffers();
    buffersReady_ = false;
    driver_->Release();
    driver_ = nullptr;
}

AsioSessionFailure AsioHost::Run(const AsioSessionRequest& request, AsioSessionResult* result,
                                 std::string* error) {
    AsioHost* expected = nullptr;
    if (!g_activeHost.compare_exchange_strong(expected, this) && expected != this) {
        *error = "another ASIO host is running in this process";
        return AsioSessionFailure::DriverError;
    }
    *result = {};
    result->recorded.assign(request.inputs.size(), {});
    result->played.assign(request.keepPlayed ? request.outputs.size() : 0, {});
    for (auto& r : result->recorded) r.reserve(static_cast<size_t>(request.frames));
    {
        std::lock_guard<std::mutex> lock(mu_);
        request_ = &request;
        result_ = result;
        frame_ = 0;
    }
    recordedFrames_ = 0;
    resetRequested_ = false;

    AsioSessionFailure failure = Open(request, result, true, error);
    const uint64_t total = request.frames != 0 ? request.frames : 1;
    const double rate = result->sampleRate > 0 ? result->sampleRate : 48000.0;
    // Steps of about a tenth of a second keep the progress lively and a reset answered soon.
    const double step = 0.1;
    double stalledSeconds = 0;
    uint64_t lastSeen = 0;
    while (failure == AsioSessionFailure::None && recordedFrames_.load() < total) {
        const uint64_t left = total - recordedFrames_.load();
        const double now = std::min(step, static_cast<double>(left) / rate + 0.005);
        request.advance(now);
        if (request.progress) request.progress(std::min(recordedFrames_.load(), total), total);
        if (resetRequested_.exchange(false)) {
            ++result->resetRequests;
            Close();
            // The device may be away for a while (unplugged): try again until it is back.
            double waited = 0;
            std::string why;
            for (;;) {
                failure = Open(request, result, false, &why);
                if (failure == AsioSessionFailure::None) break;
                Close();
                if (failure != AsioSessionFailure::InitFailed ||
                    waited >= request.resetWaitSeconds) {
                    *error = "the driver asked for a reset and did not open again: " + why;
                    failure = AsioSessionFailure::ResetTimeout;
                    break;
                }
                request.advance(step);
                waited += step;
            }
            if (failure == AsioSessionFailure::None) ++result->reopenings;
            resetRequested_ = false;
            continue;
        }
        // No buffer switch for several seconds while running: say so rather than wait forever.
        const uint64_t seen = recordedFrames_.load();
        stalledSeconds = seen == lastSeen ? stalledSeconds + now : 0;
        lastSeen = seen;
        if (stalledSeconds >= 5.0) {
            *error = "no buffer switch came from the driver for 5 s";
            failure = AsioSessionFailure::DriverError;
        }
    }
    Close();
    {
        std::lock_guard<std::mutex> lock(mu_);
        request_ = nullptr;
        result_ = nullptr;
    }
    AsioHost* self = this;
    g_activeHost.compare_exchange_strong(self, nullptr);
    return failure;
}

}  // namespace q407::tools
