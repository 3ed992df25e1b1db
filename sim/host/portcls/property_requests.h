// Property requests to a filter or to one of its nodes, as the port-class driver serves them:
// the item is looked up in the miniport's automation table (the filter's, or the node's), the
// verb checked against the item's flags, and the item's handler called with a PCPROPERTY_REQUEST
// whose instance is what follows the property (and node) header and whose value is the caller's
// buffer. Basic support is the handler's when its item says so; otherwise the port answers it
// from the item's flags (a KSPROPERTY_DESCRIPTION, or just the access flags in a smaller
// buffer).
//
// PASSIVE_LEVEL, on the client's thread; the port is the client's reference.
#pragma once

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/port_base.h"

namespace q407::sim::portcls {

struct PropertyRequest {
    ULONG node = PCFILTER_NODE;  // PCFILTER_NODE: the filter itself
    GUID set{};
    ULONG id = 0;
    ULONG verb = KSPROPERTY_TYPE_GET;  // KSPROPERTY_TYPE_GET, _SET or _BASICSUPPORT
    const void* instance = nullptr;    // after the property (and node) header
    ULONG instanceSize = 0;
    void* value = nullptr;  // the caller's buffer
    ULONG valueSize = 0;    // in: its size; out: the bytes used, or needed
};

// STATUS_NOT_FOUND when the filter or node has no such property (or no node of that number),
// STATUS_INVALID_DEVICE_REQUEST when the item does not take the verb, STATUS_DEVICE_REMOVED
// when the subdevice has ended; otherwise the handler's status.
NTSTATUS SubmitPropertyRequest(PortBase* port, PropertyRequest* request);

// The property item of the filter (node = PCFILTER_NODE) or a node, or null.
const PCPROPERTY_ITEM* FindPropertyItem(const PCFILTER_DESCRIPTOR& filter, ULONG node,
                                        const GUID& set, ULONG id);

}  // namespace q407::sim::portcls
