// Helpers that fill URBs for the common requests. Each leaves fields it does not name as the
// caller had them, except where it says so; callers zero a block before building into it.
#pragma once

#include "platform/usb/urb.h"

// GET_DESCRIPTOR to the device. For interface or endpoint recipients set Hdr.Function to
// URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE / _ENDPOINT afterwards.
inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                         UCHAR descriptorIndex, USHORT languageId,
                                         PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}

// cmd is one of URB_FUNCTION_VENDOR_* / URB_FUNCTION_CLASS_*; transferFlags gives the direction
// (USBD_TRANSFER_DIRECTION_IN, optionally with USBD_SHORT_TRANSFER_OK).
inline void UsbBuildVendorRequest(PURB urb, USHORT cmd, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMDL,
                                  ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = cmd;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}

inline void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length,
                                                   USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, PMDL transferBufferMDL,
                                                   ULONG transferBufferLength, ULONG transferFlags,
                                                   PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = length;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

// A null configurationDescriptor builds the request that deconfigures the device (use
// sizeof(_URB_SELECT_CONFIGURATION) as length then).
inline void UsbBuildSelectConfigurationRequest(
    PURB urb, USHORT length, PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

// Interface.Length is set to the room the request leaves for the interface record; the caller then
// fills NumberOfPipes (the alternate setting's endpoint count) and each pipe's MaximumTransferSize.
inline void UsbBuildSelectInterfaceRequest(PURB urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = length;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.Length =
        USHORT(length - offsetof(_URB_SELECT_INTERFACE, Interface));
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

// Reset pipe (URB_FUNCTION_RESET_PIPE), abort pipe (URB_FUNCTION_ABORT_PIPE) and the sync variants.
inline void UsbBuildPipeRequest(PURB urb, USHORT function, USBD_PIPE_HANDLE pipeHandle) {
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipeHandle;
}
