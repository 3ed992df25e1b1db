#include "asio/notification_thread.h"

#include <atomic>

#include "asio/asio_direct_sound.h"

namespace q407::asio {
namespace {

thread_local bool t_onNotificationThread = false;
std::atomic<DWORD> g_periodTimeoutMs{INFINITE};

// The event handle is the thread's argument; the driver is the link's current one.
DWORD WINAPI NotificationThread(LPVOID parameter) {
    t_onNotificationThread = true;
    HANDLE wake = parameter;
    AsioDeviceLink& link = TheDeviceLink();
    if (AsioDirectSound* driver = link.currentDriver.load()) driver->SignalThreadStarted();
    for (;;) {
        const DWORD waited = WaitForSingleObject(wake, g_periodTimeoutMs.load());
        AsioDirectSound* driver = link.currentDriver.load();
        if (link.stopThread.load() || driver == nullptr) {
            if (driver != nullptr) driver->SignalThreadStarted();
            break;
        }
        // A period of the stream that ran before this start's channels did: not the host's.
        if (!driver->Running()) continue;
        if (waited != WAIT_OBJECT_0) {
            // No period within the bound: a device that still answers is only quiet (its
            // clock may have stopped); one that does not has gone.
            uint32_t frames = 0;
            if (waited == WAIT_TIMEOUT && link.GetLatency(&frames)) continue;
            driver->DeviceLost();
            break;
        }
        driver->BufferSwitch();
        // The host may have stopped or released the driver inside its callback.
        if (link.stopThread.load() || link.currentDriver.load() != driver || !driver->Running())
            break;
        if (!driver->CheckForChanges()) break;
        if (link.stopThread.load() || !driver->Running()) break;
    }
    t_onNotificationThread = false;
    return 0;
}

}  // namespace

DWORD PeriodTimeoutMs(int32_t bufferFrames, double sampleRate) {
    constexpr double kPeriods = 10.0;
    constexpr DWORD kFloorMs = 500;
    if (bufferFrames <= 0 || sampleRate <= 0.0) return kFloorMs;
    const double ms = kPeriods * 1000.0 * static_cast<double>(bufferFrames) / sampleRate;
    return ms > static_cast<double>(kFloorMs) ? static_cast<DWORD>(ms) + 1 : kFloorMs;
}

bool OnNotificationThread() {
    return t_onNotificationThread;
}

bool StartNotificationThread(AsioDeviceLink& link, DWORD periodTimeoutMs) {
    g_periodTimeoutMs.store(periodTimeoutMs);
    link.stopThread.store(false);
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wake == nullptr) return false;
    // The host's buffer switch runs on this thread: it gets the default stack, not a token one.
    HANDLE thread = CreateThread(nullptr, 0, NotificationThread, wake, 0, nullptr);
    if (thread == nullptr) {
        CloseHandle(wake);
        return false;
    }
    // Without the priority the callbacks only come less punctually.
    (void)SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    if (!link.SetAsioEvent(wake)) {
        link.stopThread.store(true);
        SetEvent(wake);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(wake);
        return false;
    }
    link.notifyThread = thread;
    link.wakeEvent = wake;
    return true;
}

void StopNotificationThread(AsioDeviceLink& link) {
    if (link.notifyThread == nullptr) return;
    link.stopThread.store(true);
    SetEvent(link.wakeEvent);
    if (!OnNotificationThread()) WaitForSingleObject(link.notifyThread, INFINITE);
    // Fails once the device has gone; the USB driver drops the event with the device then.
    (void)link.SetAsioEvent(nullptr);
    CloseHandle(link.wakeEvent);
    CloseHandle(link.notifyThread);
    link.wakeEvent = nullptr;
    link.notifyThread = nullptr;
}

}  // namespace q407::asio
