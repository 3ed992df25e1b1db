// The thread that waits for the USB driver's per-period event and calls the host's buffer switch,
// and watches for a device that has gone: when no period comes within a bound and the device no
// longer answers, or a per-period request fails, the host is asked once to reset the driver and
// the thread ends.
#pragma once

#include <cstdint>

#include "asio/device_link.h"

namespace q407::asio {

// The longest wait for a period before the device is asked whether it is still there: ten
// periods, and never less than half a second (the first period of a start comes after the
// stream's pre-roll).
DWORD PeriodTimeoutMs(int32_t bufferFrames, double sampleRate);

// Creates the wake event and the thread and registers the event with the USB driver. False, with
// no thread left, when any step fails.
bool StartNotificationThread(AsioDeviceLink& link, DWORD periodTimeoutMs);
// Wakes the thread so that it ends, waits for it (unless the thread itself is stopping the stream,
// from inside a host callback), unregisters the event and closes both handles.
void StopNotificationThread(AsioDeviceLink& link);
// True on the notification thread.
bool OnNotificationThread();

}  // namespace q407::asio
