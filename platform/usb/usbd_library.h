// The bus driver's library routines for function drivers: walking configuration descriptors and
// building the select-configuration request. Kernel code; memory comes from non-paged pool.
#pragma once

#include "platform/usb/urb.h"

// Tag of the URBs USBD_CreateConfigurationRequestEx allocates.
constexpr ULONG kUsbdPoolTag = POOL_TAG("Usbd");

// Finds the first interface descriptor at or after StartPosition whose fields match; -1 for a
// field matches anything. Walks only inside wTotalLength and stops at a malformed descriptor
// (length below 2 or running past the end); null when nothing matches or StartPosition lies
// outside the configuration.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// Finds the next descriptor of DescriptorType (-1: any) at or after StartPosition inside
// TotalLength bytes from DescriptorBuffer, under the same rules.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType);

// Allocates a select-configuration URB with one interface record per entry of InterfaceList (up
// to the entry whose InterfaceDescriptor is null), each sized for its descriptor's endpoints with
// MaximumTransferSize USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, and points each entry's Interface at
// its record. Null when the pool refuses, the list is empty, or an interface descriptor does not
// lie inside the configuration. Free with ExFreePool.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
