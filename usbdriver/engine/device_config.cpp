// Descriptors, configuration and interface selection, pipe resets: the standard side of the
// device's default control pipe.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr LONG kDescriptorAttempts = 2;  // the request is tried attempts + 1 times
constexpr LONG kMaxInterfaceNumber = 256;

enum : LONG { RecipientDevice = 0, RecipientInterface = 1, RecipientEndpoint = 2 };

URB* AllocateUrb(SIZE_T bytes) {
    auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(DriverPoolType(), bytes, kEnginePoolTag));
    if (urb != nullptr) RtlZeroMemory(urb, bytes);
    return urb;
}

// The bus fills the interface records; their lengths are checked before they are copied.
BOOLEAN IsWellFormed(const USBD_INTERFACE_INFORMATION* info, SIZE_T room) {
    const SIZE_T header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (info->Length < header || info->Length > room) return FALSE;
    return info->NumberOfPipes <= (info->Length - header) / sizeof(USBD_PIPE_INFORMATION);
}

PUSBD_INTERFACE_INFORMATION CopyInterface(const USBD_INTERFACE_INFORMATION* info) {
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(DriverPoolType(), info->Length, kEnginePoolTag));
    if (copy != nullptr) RtlCopyMemory(copy, info, info->Length);
    return copy;
}

// The record kept for an interface whose selection failed: its numbers and no pipes.
PUSBD_INTERFACE_INFORMATION EmptyInterface(UCHAR number, UCHAR alternate) {
    const USHORT bytes = GET_USBD_INTERFACE_SIZE(0);
    auto* info = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(DriverPoolType(), bytes, kEnginePoolTag));
    if (info == nullptr) return nullptr;
    RtlZeroMemory(info, bytes);
    info->Length = bytes;
    info->InterfaceNumber = number;
    info->AlternateSetting = alternate;
    info->NumberOfPipes = 0;
    return info;
}

}  // namespace

NTSTATUS StreamEngine::GetDescriptor(LONG recipient, UCHAR type, UCHAR index, USHORT language,
                                     LONG attempts, ULONG length, PVOID* buffer) {
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
    *buffer = nullptr;
    USHORT function;
    switch (recipient) {
        case RecipientDevice:
            function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            break;
        case RecipientInterface:
            function = URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE;
            break;
        case RecipientEndpoint:
            function = URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (length < 2 || length > 0xFFFF) return STATUS_INVALID_PARAMETER;

    auto* data =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType(), length, kEnginePoolTag));
    URB* urb = AllocateUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    if (data == nullptr || urb == nullptr) {
        if (data != nullptr) ExFreePoolWithTag(data, kEnginePoolTag);
        if (urb != nullptr) ExFreePoolWithTag(urb, kEnginePoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = STATUS_DEVICE_DATA_ERROR;
    for (LONG attempt = 0; attempt <= attempts; ++attempt) {
        RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
        RtlZeroMemory(data, length);
        UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                     language, data, nullptr, length, nullptr);
        urb->UrbHeader.Function = function;
        status = UsbCallSync(urb, IOCTL_INTERNAL_USB_SUBMIT_URB, FALSE);
        if (!NT_SUCCESS(status)) continue;
        // Only a complete descriptor of the asked type counts.
        if (urb->UrbControlDescriptorRequest.TransferBufferLength == length && data[1] == type)
            break;
        status = STATUS_DEVICE_DATA_ERROR;
    }
    ExFreePoolWithTag(urb, kEnginePoolTag);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(data, kEnginePoolTag);
        return status;
    }
    *buffer = data;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::ReadDescriptors() {
    PVOID buffer = nullptr;
    NTSTATUS status = GetDescriptor(RecipientDevice, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                    kDescriptorAttempts, sizeof(USB_DEVICE_DESCRIPTOR), &buffer);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(&m_DeviceDescriptor, buffer, sizeof(USB_DEVICE_DESCRIPTOR));
    ExFreePoolWithTag(buffer, kEnginePoolTag);

    status = GetDescriptor(RecipientDevice, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                           kDescriptorAttempts, sizeof(USB_CONFIGURATION_DESCRIPTOR), &buffer);
    if (!NT_SUCCESS(status)) return status;
    const ULONG total = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->wTotalLength;
    ExFreePoolWithTag(buffer, kEnginePoolTag);
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;

    status = GetDescriptor(RecipientDevice, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                           kDescriptorAttempts, total, &buffer);
    if (!NT_SUCCESS(status)) return status;
    auto* configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    // The second read must describe the same length it was asked for, or the walk over the
    // descriptors below would leave the buffer.
    if (configuration->wTotalLength != total) {
        ExFreePoolWithTag(buffer, kEnginePoolTag);
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (m_ConfigurationDescriptor != nullptr)
        ExFreePoolWithTag(m_ConfigurationDescriptor, kEnginePoolTag);
    m_ConfigurationDescriptor = configuration;
    return STATUS_SUCCESS;
}

void StreamEngine::FreeInterfaces() {
    for (ULONG i = 0; i < kMaxInterfaces; ++i) {
        if (m_Interfaces[i] != nullptr) ExFreePoolWithTag(m_Interfaces[i], kEnginePoolTag);
        m_Interfaces[i] = nullptr;
    }
    m_InterfaceCount = 0;
    m_PipeCount = 0;
}

void StreamEngine::RebuildPipeList() {
    m_PipeCount = 0;
    for (ULONG i = 0; i < m_InterfaceCount; ++i) {
        const USBD_INTERFACE_INFORMATION* info = m_Interfaces[i];
        if (info == nullptr) continue;
        for (ULONG p = 0; p < info->NumberOfPipes && m_PipeCount < kMaxPipes; ++p)
            m_Pipes[m_PipeCount++] = info->Pipes[p];
    }
}

NTSTATUS StreamEngine::SelectConfiguration() {
    PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
    if (configuration == nullptr) return STATUS_DEVICE_DATA_ERROR;

    USBD_INTERFACE_LIST_ENTRY list[kMaxInterfaces + 1];
    RtlZeroMemory(list, sizeof(list));
    ULONG found = 0;
    const ULONG wanted = configuration->bNumInterfaces;
    for (LONG number = 0; number < kMaxInterfaceNumber && found < wanted && found < kMaxInterfaces;
         ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, number, 0, -1, -1, -1);
        if (descriptor != nullptr) list[found++].InterfaceDescriptor = descriptor;
    }
    if (found == 0) return STATUS_DEVICE_DATA_ERROR;

    URB* urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const SIZE_T urbBytes = urb->UrbHeader.Length;
    NTSTATUS status = UsbCallSync(urb, IOCTL_INTERNAL_USB_SUBMIT_URB, FALSE);
    if (NT_SUCCESS(status)) {
        FreeInterfaces();
        m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        const auto* urbEnd = reinterpret_cast<const UCHAR*>(urb) + urbBytes;
        for (ULONG i = 0; i < found; ++i) {
            const USBD_INTERFACE_INFORMATION* info = list[i].Interface;
            const SIZE_T room = static_cast<SIZE_T>(urbEnd - reinterpret_cast<const UCHAR*>(info));
            if (info == nullptr || !IsWellFormed(info, room)) {
                status = STATUS_DEVICE_DATA_ERROR;
                break;
            }
            m_Interfaces[m_InterfaceCount] = CopyInterface(info);
            if (m_Interfaces[m_InterfaceCount] == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ++m_InterfaceCount;
        }
        RebuildPipeList();
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS StreamEngine::SelectInterface(UCHAR interfaceNumber, UCHAR alternateSetting) {
    if (m_ConfigurationHandle == nullptr || m_ConfigurationDescriptor == nullptr)
        return STATUS_DEVICE_DOES_NOT_EXIST;
    PUSB_INTERFACE_DESCRIPTOR descriptor =
        USBD_ParseConfigurationDescriptorEx(m_ConfigurationDescriptor, m_ConfigurationDescriptor,
                                            interfaceNumber, alternateSetting, -1, -1, -1);
    if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;

    const ULONG endpoints = descriptor->bNumEndpoints;
    // At most 30 endpoints (bNumEndpoints of a valid descriptor): the size fits a URB length.
    const USHORT urbBytes = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints));
    URB* urb = AllocateUrb(urbBytes);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectInterfaceRequest(urb, urbBytes, m_ConfigurationHandle, interfaceNumber,
                                   alternateSetting);
    USBD_INTERFACE_INFORMATION& request = urb->UrbSelectInterface.Interface;
    request.NumberOfPipes = endpoints;
    for (ULONG p = 0; p < endpoints; ++p)
        request.Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;

    const NTSTATUS status = UsbCallSync(urb, IOCTL_INTERNAL_USB_SUBMIT_URB, FALSE);
    PUSBD_INTERFACE_INFORMATION kept = nullptr;
    const SIZE_T room = urbBytes - offsetof(_URB_SELECT_INTERFACE, Interface);
    if (NT_SUCCESS(status) && IsWellFormed(&request, room))
        kept = CopyInterface(&request);
    else
        kept = EmptyInterface(interfaceNumber, alternateSetting);
    ExFreePoolWithTag(urb, kEnginePoolTag);
    if (kept == nullptr) return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;

    ULONG slot = m_InterfaceCount;
    for (ULONG i = 0; i < m_InterfaceCount; ++i) {
        if (m_Interfaces[i] != nullptr && m_Interfaces[i]->InterfaceNumber == interfaceNumber) {
            slot = i;
            break;
        }
    }
    if (slot == m_InterfaceCount) {
        if (m_InterfaceCount >= kMaxInterfaces) {
            ExFreePoolWithTag(kept, kEnginePoolTag);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ++m_InterfaceCount;
    } else if (m_Interfaces[slot] != nullptr) {
        ExFreePoolWithTag(m_Interfaces[slot], kEnginePoolTag);
    }
    m_Interfaces[slot] = kept;
    RebuildPipeList();
    return status;
}

NTSTATUS StreamEngine::SelectStreamingInterfaces() {
    if (m_PlaybackGroup != nullptr || m_CaptureGroup != nullptr || m_MidiInGroup != nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SelectInterface(0, m_StreamingAlternate[0]);
    if (!NT_SUCCESS(status)) return status;
    status = SelectInterface(1, m_StreamingAlternate[1]);
    if (!NT_SUCCESS(status)) status = SelectInterface(1, 0);
    return status;
}

NTSTATUS StreamEngine::Deconfigure() {
    URB* urb = AllocateUrb(sizeof(_URB_SELECT_CONFIGURATION));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != nullptr) {
        UsbBuildSelectConfigurationRequest(urb, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
        status = UsbCallSync(urb, IOCTL_INTERNAL_USB_SUBMIT_URB, FALSE);
        ExFreePoolWithTag(urb, kEnginePoolTag);
    }
    m_ConfigurationHandle = nullptr;
    FreeInterfaces();
    return status;
}

NTSTATUS StreamEngine::ResetPipe(USBD_PIPE_HANDLE pipeHandle) {
    URB* urb = AllocateUrb(sizeof(_URB_PIPE_REQUEST));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildPipeRequest(urb, URB_FUNCTION_RESET_PIPE, pipeHandle);
    const NTSTATUS status = UsbCallSync(urb, IOCTL_INTERNAL_USB_SUBMIT_URB, FALSE);
    ExFreePoolWithTag(urb, kEnginePoolTag);
    return status;
}

}  // namespace q407
