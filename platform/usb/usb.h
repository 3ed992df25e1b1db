// The one include for USB function-driver code.
#pragma once

#include "platform/usb/urb.h"
#include "platform/usb/urb_builders.h"
#include "platform/usb/usb_descriptors.h"
#include "platform/usb/usbd_library.h"
#include "platform/usb/usbd_status.h"
