#include "platform/usb/usbd_library.h"

namespace {

// True when [p, p + size) lies inside [begin, end).
bool Inside(const UCHAR* begin, const UCHAR* end, const void* p, SIZE_T size) {
    auto b = reinterpret_cast<ULONG_PTR>(begin);
    auto e = reinterpret_cast<ULONG_PTR>(end);
    auto q = reinterpret_cast<ULONG_PTR>(p);
    return q >= b && q <= e && size <= e - q;
}

}  // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
    const auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = begin + TotalLength;
    if (!Inside(begin, end, StartPosition, 0)) return nullptr;
    auto* p = static_cast<UCHAR*>(StartPosition);
    while (Inside(begin, end, p, 2)) {
        UCHAR length = p[0];
        if (length < 2 || !Inside(begin, end, p, length)) return nullptr;
        if (DescriptorType == -1 || p[1] == DescriptorType)
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        p += length;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    ULONG total = ConfigurationDescriptor->wTotalLength;
    auto* p = static_cast<UCHAR*>(StartPosition);
    for (;;) {
        PUSB_COMMON_DESCRIPTOR d =
            USBD_ParseDescriptors(ConfigurationDescriptor, total, p, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (d == nullptr) return nullptr;
        auto* bytes = reinterpret_cast<UCHAR*>(d);
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol))
                return i;
        }
        p = bytes + d->bLength;
    }
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    const auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = begin + ConfigurationDescriptor->wTotalLength;

    SIZE_T size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        if (!Inside(begin, end, e->InterfaceDescriptor, sizeof(USB_INTERFACE_DESCRIPTOR)))
            return nullptr;
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
        if (interfaces > 256) return nullptr;  // a configuration never has more
    }
    if (interfaces == 0 || size > 0xFFFF) return nullptr;

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (urb == nullptr) return nullptr;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        info->Length = GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG j = 0; j < d->bNumEndpoints; ++j)
            info->Pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        e->Interface = info;
        record += info->Length;
    }
    return urb;
}
