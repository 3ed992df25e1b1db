// The one include for USB function-driver code: the emulated USB stack's declarations, or in the
// Windows build the kit's USB headers (through the compatibility header).
#pragma once

#if defined(Q407_REAL_KITS)
#include "platform/kits/kit_compat.h"
#else
#include "platform/usb/urb.h"
#include "platform/usb/urb_builders.h"
#include "platform/usb/usb_descriptors.h"
#include "platform/usb/usbd_library.h"
#include "platform/usb/usbd_status.h"
#endif
