#include "sim/host/portcls/property_requests.h"

#include <cstring>

#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

constexpr ULONG kAccessVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;

const PCAUTOMATION_TABLE* TableOf(const PCFILTER_DESCRIPTOR& filter, ULONG node) {
    if (node == PCFILTER_NODE) return filter.AutomationTable;
    if (node >= filter.NodeCount) return nullptr;
    const auto* descriptor = reinterpret_cast<const PCNODE_DESCRIPTOR*>(
        reinterpret_cast<const UCHAR*>(filter.Nodes) + size_t(node) * filter.NodeSize);
    return descriptor->AutomationTable;
}

// The port's own basic-support answer for an item whose handler does not give one.
NTSTATUS AnswerBasicSupport(const PCPROPERTY_ITEM& item, PropertyRequest* request) {
    const ULONG access = KSPROPERTY_TYPE_BASICSUPPORT | (item.Flags & kAccessVerbs);
    if (request->valueSize == 0) {
        request->valueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->valueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION description{};
        description.AccessFlags = access;
        description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
        description.PropTypeSet.Set = KSPROPTYPESETID_General;
        description.PropTypeSet.Id = VT_ILLEGAL;
        memcpy(request->value, &description, sizeof(description));
        request->valueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }
    if (request->valueSize >= sizeof(ULONG)) {
        memcpy(request->value, &access, sizeof(access));
        request->valueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

}  // namespace

const PCPROPERTY_ITEM* FindPropertyItem(const PCFILTER_DESCRIPTOR& filter, ULONG node,
                                        const GUID& set, ULONG id) {
    const PCAUTOMATION_TABLE* table = TableOf(filter, node);
    if (table == nullptr || table->PropertyCount == 0) return nullptr;
    if (table->Properties == nullptr || table->PropertyItemSize < sizeof(PCPROPERTY_ITEM))
        BugCheck("PCAUTOMATION_TABLE", "properties without an item table of PCPROPERTY_ITEM size");
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(
            reinterpret_cast<const UCHAR*>(table->Properties) +
            size_t(i) * table->PropertyItemSize);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id) return item;
    }
    return nullptr;
}

NTSTATUS SubmitPropertyRequest(PortBase* port, PropertyRequest* request) {
    RequirePassive("SubmitPropertyRequest");
    if (request->valueSize != 0 && request->value == nullptr)
        BugCheck("SubmitPropertyRequest", "a value size without a value buffer");
    if (request->instanceSize != 0 && request->instance == nullptr)
        BugCheck("SubmitPropertyRequest", "an instance size without an instance");
    const ULONG verb = request->verb;
    if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET &&
        verb != KSPROPERTY_TYPE_BASICSUPPORT)
        return STATUS_INVALID_PARAMETER;
    if (!port->EnterMiniportCall()) return STATUS_DEVICE_REMOVED;

    NTSTATUS status = STATUS_SUCCESS;
    const PCPROPERTY_ITEM* item =
        FindPropertyItem(*port->Descriptor(), request->node, request->set, request->id);
    if (item == nullptr) {
        status = STATUS_NOT_FOUND;
    } else if (verb == KSPROPERTY_TYPE_BASICSUPPORT &&
               (item->Flags & KSPROPERTY_TYPE_BASICSUPPORT) == 0) {
        status = AnswerBasicSupport(*item, request);
    } else if ((item->Flags & verb) == 0 || item->Handler == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        PCPROPERTY_REQUEST call{};
        call.MajorTarget = port->MiniportUnknown();
        call.MinorTarget = nullptr;
        call.Node = request->node;
        call.PropertyItem = item;
        call.Verb = verb;
        call.InstanceSize = request->instanceSize;
        call.Instance = const_cast<void*>(request->instance);
        call.ValueSize = request->valueSize;
        call.Value = request->value;
        call.Irp = nullptr;  // the bench's audio stack sends no IRP; requests complete at once
        const ULONG buffer = request->valueSize;
        {
            DriverScope scope(port->Driver());
            status = item->Handler(&call);
        }
        if (status == STATUS_PENDING)
            BugCheck("PCPROPERTY_ITEM handler", "a property request cannot be left pending here");
        if (NT_SUCCESS(status) && call.ValueSize > buffer)
            BugCheck("PCPROPERTY_ITEM handler",
                     "succeeded with a value of " + std::to_string(call.ValueSize) +
                         " bytes in a buffer of " + std::to_string(buffer));
        request->valueSize = call.ValueSize;
    }
    port->LeaveMiniportCall();
    return status;
}

}  // namespace q407::sim::portcls
