// What the child device answers to a query-interface request: the private stream link record
// (shared/stream_link.h), counted as one reference on the function device, and the standard bus
// interface whose only working member gives out the emulated DMA adapter.
#pragma once

#include "platform/kernel/wdk.h"
#include "shared/stream_link.h"
#include "usbdriver/control/device_extension.h"

namespace q407 {

// The link's reference routines; the context is the function device's extension. Any IRQL.
void StreamLinkReference(PVOID context);
void StreamLinkDereference(PVOID context);

// Fills the whole record for the function device and the child's index; counts no reference.
void FillStreamLinkInterface(StreamLinkInterface* link, DeviceExtension* parent, ULONG index);

// The child's query-interface request (PASSIVE_LEVEL): true when the GUID is the private link or
// GUID_BUS_INTERFACE_STANDARD, with *status the status to complete the request with (the caller
// completes it); false for any other GUID, which the caller forwards to the parent's stack.
//   private link: version 0 keeps the request's status and fills nothing; a size below 56 (or no
//     record) gives STATUS_INVALID_PARAMETER and counts no reference; otherwise the record is
//     filled, one reference counted, STATUS_SUCCESS.
//   bus interface: size 64, version 1, context the child, no-op reference routines and the
//     get-DMA-adapter member; the other members stay as the requester set them. A record smaller
//     than the bus interface is refused with STATUS_INVALID_PARAMETER rather than overrun.
//   no GUID: answered with the request's status, as nothing can be forwarded for it.
bool AnswerLinkQueryInterface(PDEVICE_OBJECT child, PIRP irp, NTSTATUS* status);

}  // namespace q407
