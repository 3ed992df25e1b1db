// A user-mode client's way to the Q407 LX, as the panel and the ASIO driver open it: enumerate
// the device interface class, open each interface, keep the first that answers the interface
// version 1.0, and exchange ControlMessages with it. Written against platform/user, so it runs
// in whatever emulated process the calling thread is in.
#pragma once

#include <cstdint>
#include <string>

#include "platform/user/device_access.h"
#include "shared/control_message.h"

namespace q407::tools {

struct DeviceConnection {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring path;
};

// False when no interface is present or none answers version 1.0.
bool OpenQ407Device(DeviceConnection* connection);

// The device interface class as the Win32 GUID that device setup enumeration takes.
GUID Q407InterfaceClass();
void CloseQ407Device(DeviceConnection* connection);

// The message goes out and comes back in place; false with the Win32 error when the request
// failed (the message then holds what the driver left in it, or what was sent).
bool SendControlMessage(HANDLE device, ControlMessage* message, DWORD* error = nullptr);

}  // namespace q407::tools
