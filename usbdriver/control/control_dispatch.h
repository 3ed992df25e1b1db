// The class dispatcher of the control message protocol: one 128-byte ControlMessage in, the
// results written into the same message, the request's status out.
//
// The message is the driver's own copy (the system buffer); client memory named by address fields
// is read and written only through the probing copies, so a bad address fails the request with
// STATUS_ACCESS_VIOLATION. Runs at PASSIVE_LEVEL in the requesting client's thread.
#pragma once

#include "platform/kernel/wdk.h"
#include "shared/control_message_fields.h"
#include "usbdriver/control/device_facade.h"

namespace q407 {

inline constexpr ULONG kInterfaceVersionMajor = 1;
inline constexpr ULONG kInterfaceVersionMinor = 0;
inline constexpr ULONG kDriverVersionMajor = 1;
inline constexpr ULONG kDriverVersionMinor = 4;

// STATUS_INVALID_PARAMETER without a facade, for a class other than 1..3 and for a type the class
// does not carry; requester is the handle the message came through.
NTSTATUS DispatchControlMessage(DeviceFacade* facade, ControlMessage* message,
                                PFILE_OBJECT requester);

}  // namespace q407
