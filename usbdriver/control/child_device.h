// The child device the function device enumerates for the audio driver: its creation and
// deletion, its identifiers, and its Plug and Play and power requests, which it answers itself
// or hands to the function device's stack.
#pragma once

#include "platform/kernel/wdk.h"
#include "usbdriver/control/device_extension.h"

namespace q407 {

// Creates the child with this index and adds it to the parent's children.
NTSTATUS CreateChildDevice(DeviceExtension* parent, LONG index);
// Removal of the function device: its children go with it.
void DeleteChildDevices(DeviceExtension* parent);

NTSTATUS ChildDevicePnp(PDEVICE_OBJECT child, PIRP irp);
NTSTATUS ChildDevicePower(PDEVICE_OBJECT child, PIRP irp);
// Query-interface on the child. Interfaces the child does not answer itself go to the parent's
// stack.
NTSTATUS ChildQueryInterface(PDEVICE_OBJECT child, PIRP irp);

// The child's identifier of a query-id type in "Zel3" paged pool (the string and two
// terminators, so that it is also a multi-string). STATUS_NOT_SUPPORTED for the types the child
// has none of.
NTSTATUS BuildChildId(LONG index, BUS_QUERY_ID_TYPE type, WCHAR** id);

}  // namespace q407
