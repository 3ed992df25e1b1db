// Starting and stopping the stream, the buffer switch the notification thread runs once per
// period, the sample position, outputReady, and what the thread reports to the host.
#include <initializer_list>

#include "asio/asio_direct_sound.h"
#include "asio/notification_thread.h"
#include "asio/time_stamps.h"

namespace q407::asio {
ASIOError AsioDirectSound::start() {
    if (hostCallbacks_.load() == nullptr) return ASE_NotPresent;
    // A second start would leave the first thread behind.
    if (running_.load() != 0) return ASE_OK;
    running_.store(0);
    framesPlayed_.store(0.0);
    currentHalf_.store(0);
    systemTimeNs_.store(0);
    resetAsked_.store(false);

    HANDLE started = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Only the thread sets the event: without either there is nothing to wait for, and the
    // host is told that the stream did not start.
    if (started == nullptr) return ASE_NotPresent;
    threadStartedEvent_.store(started);
    const bool threadRuns =
        StartNotificationThread(link_, PeriodTimeoutMs(bufferFrames_.load(), currentRate_.load()));
    if (threadRuns) {
        // The thread sets the event as it starts; its handle ends the wait should it die first.
        const HANDLE waitFor[2] = {started, link_.notifyThread};
        (void)WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
    }
    threadStartedEvent_.store(nullptr);
    CloseHandle(started);
    if (!threadRuns) return ASE_NotPresent;

    UnitMasks masks[kMaxUnits];
    const int32_t units = link_.UnitCount();
    ComputeMasks(masks, units);
    link_.RunChannels(1, masks, units);
    // The USB driver may have signalled periods of a stream that ran before the channels did;
    // the thread skips them while the stream is not running, and a wake-up still pending is
    // dropped here, so that the first buffer switch is the first period of these channels.
    ResetEvent(link_.wakeEvent);
    running_.store(1);
    return ASE_OK;
}

ASIOError AsioDirectSound::stop() {
    running_.store(0);
    if (isOpen_ != 0) {
        UnitMasks masks[kMaxUnits];
        const int32_t units = link_.UnitCount();
        ComputeMasks(masks, units);
        link_.RunChannels(0, masks, units);
    }
    StopNotificationThread(link_);
    return ASE_OK;
}

ASIOError AsioDirectSound::outputReady() {
    if (isOpen_ == 0) return ASE_OK;
    const uint32_t half = static_cast<uint32_t>(currentHalf_.load());
    const uint32_t enable = static_cast<uint32_t>(running_.load());
    // Every unit with active outputs takes its halves, so a second unit's outputs play too.
    UnitMasks masks[kMaxUnits];
    const int32_t units = link_.UnitCount();
    ComputeMasks(masks, units);
    for (int32_t unit = 0; unit < units; ++unit) {
        // Not reported: a half the engine did not take is heard as a dropout.
        if (masks[unit].output != 0) (void)link_.WriteAsioOutput(unit, half, enable);
    }
    return ASE_OK;
}

ASIOError AsioDirectSound::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    const uint64_t stamp = systemTimeNs_.load();
    if (tStamp != nullptr) {
        tStamp->hi = static_cast<unsigned long>(stamp >> 32);
        tStamp->lo = static_cast<unsigned long>(stamp & 0xFFFFFFFFu);
    }
    if (sPos != nullptr) *sPos = SamplePosition(framesPlayed_.load());
    return ASE_OK;
}

void AsioDirectSound::SignalThreadStarted() {
    HANDLE started = threadStartedEvent_.load();
    if (started != nullptr) SetEvent(started);
}

void AsioDirectSound::BufferSwitch() {
    ASIOCallbacks* callbacks = hostCallbacks_.load();
    if (running_.load() == 0 || callbacks == nullptr) return;
    const ASIOTimeStamp stamp = NanosecondStamp(timeGetTime());
    systemTimeNs_.store((static_cast<uint64_t>(stamp.hi) << 32) | stamp.lo);
    const double frames = framesPlayed_.load() + static_cast<double>(bufferFrames_.load());
    framesPlayed_.store(frames);
    const int32_t half = currentHalf_.load();
    if (useTimeInfo_.load() && callbacks->bufferSwitchTimeInfo != nullptr) {
        AsioTimeInfo& info = timeInfo_.timeInfo;
        info.samplePosition = SamplePosition(frames);
        info.systemTime = stamp;
        info.flags |= pendingTimeInfoFlags_.exchange(0);
        if (timeCodeEnabled_.load()) {
            // Ten minutes ahead of the sample position.
            const double samples =
                currentRate_.load() * 600.0 + static_cast<double>(info.samplePosition.lo);
            timeInfo_.timeCode.timeCodeSamples.lo =
                static_cast<unsigned long>(static_cast<uint64_t>(samples) & 0xFFFFFFFFu);
            timeInfo_.timeCode.timeCodeSamples.hi = 0;
        }
        callbacks->bufferSwitchTimeInfo(&timeInfo_, half, ASIOTrue);
        // The host may have released the driver inside its callback.
        if (TheDeviceLink().currentDriver.load() != this) return;
        info.flags &= ~(kSampleRateChanged | kClockSourceChanged);
    } else if (callbacks->bufferSwitch != nullptr) {
        callbacks->bufferSwitch(half, ASIOTrue);
        if (TheDeviceLink().currentDriver.load() != this) return;
    }
    currentHalf_.store(1 - half);
}

bool AsioDirectSound::CheckForChanges() {
    AsioDeviceLink& link = link_;
    // Each answer may come with the host releasing the driver; nothing of it is touched then.
    auto ask = [this, &link](long selector) {
        (void)AskHost(selector);
        return link.currentDriver.load() == this;
    };
    link.ClearUnderrunCounter();
    if (static_cast<double>(link.StatusSampleRate()) != currentRate_.load() && HasCallbacks() &&
        !ask(kAsioResetRequest))
        return false;
    uint32_t frames = 0;
    if (!link.GetLatency(&frames)) {
        DeviceLost();
        return false;
    }
    bool changed = static_cast<int32_t>(frames) != link.DeviceBufferFrames();
    if (!changed) changed = link.ReadUsbBufferSetting() != link.UsbBufferSetting();
    // The stored values stay: the host is asked every period until it opens the driver again.
    if (changed && HasCallbacks()) {
        for (long selector : {kAsioResetRequest, kAsioLatenciesChanged, kAsioBufferSizeChange,
                              kAsioResyncRequest}) {
            if (!ask(selector)) return false;
        }
    }
    return true;
}

void AsioDirectSound::DeviceLost() {
    if (resetAsked_.exchange(true)) return;
    if (running_.load() != 0 && HasCallbacks()) (void)AskHost(kAsioResetRequest);
}

}  // namespace q407::asio
