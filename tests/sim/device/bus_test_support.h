// Sends URBs to the bus PDO the way a function driver does, in virtual time.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/kernel/wdk.h"
#include "platform/usb/usb.h"
#include "sim/device/usb_bus.h"
#include "sim/host/machine.h"

namespace q407::sim::test {

// One IRP with its URB block, sent to the PDO and waited for.
struct UrbRequest {
    PDEVICE_OBJECT target;
    PIRP irp;
    alignas(8) std::uint8_t block[1024];
    KEVENT done;
    NTSTATUS returned = STATUS_SUCCESS;

    explicit UrbRequest(PDEVICE_OBJECT pdo) : target(pdo) {
        irp = IoAllocateIrp(CCHAR(pdo->StackSize + 1), FALSE);
        std::memset(block, 0, sizeof block);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }
    ~UrbRequest() { IoFreeIrp(irp); }
    UrbRequest(const UrbRequest&) = delete;
    UrbRequest& operator=(const UrbRequest&) = delete;

    PURB Urb() { return reinterpret_cast<PURB>(block); }

    static NTSTATUS OnDone(PDEVICE_OBJECT, PIRP, PVOID context) {
        KeSetEvent(&static_cast<UrbRequest*>(context)->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    void Send() {
        KeClearEvent(&done);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = Urb();
        IoSetCompletionRoutine(irp, &UrbRequest::OnDone, this, TRUE, TRUE, TRUE);
        returned = IofCallDriver(target, irp);
    }
    NTSTATUS Wait() {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return irp->IoStatus.Status;
    }
    NTSTATUS SendAndWait() {
        Send();
        return Wait();
    }
    USBD_STATUS UrbStatus() { return Urb()->UrbHeader.Status; }
};

inline NTSTATUS VendorRequest(PDEVICE_OBJECT pdo, USHORT function, bool in, UCHAR request,
                              USHORT value, USHORT index, void* data, ULONG length,
                              USBD_STATUS* usbd = nullptr, ULONG* moved = nullptr) {
    UrbRequest r(pdo);
    UsbBuildVendorRequest(r.Urb(), function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, 0,
                          request, value, index, data, nullptr, length, nullptr);
    NTSTATUS status = r.SendAndWait();
    if (usbd) *usbd = r.UrbStatus();
    if (moved) *moved = r.Urb()->UrbControlVendorClassRequest.TransferBufferLength;
    return status;
}

// Reads the configuration descriptor and selects configuration 1 with every interface at
// alternate 0; then the streaming alternates. Returns the configuration descriptor.
inline std::vector<std::uint8_t> Configure(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE* handle) {
    std::vector<std::uint8_t> config(9);
    {
        UrbRequest r(pdo);
        UsbBuildGetDescriptorRequest(r.Urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(),
                                     nullptr, 9, nullptr);
        EXPECT_EQ(r.SendAndWait(), STATUS_SUCCESS);
        config.resize(config[2] | (config[3] << 8));
        UsbBuildGetDescriptorRequest(r.Urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(),
                                     nullptr, ULONG(config.size()), nullptr);
        EXPECT_EQ(r.SendAndWait(), STATUS_SUCCESS);
    }
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(cd, list);
    EXPECT_NE(select, nullptr);
    UrbRequest r(pdo);
    std::memcpy(r.block, select, select->UrbHeader.Length);
    EXPECT_EQ(r.SendAndWait(), STATUS_SUCCESS);
    EXPECT_EQ(r.UrbStatus(), USBD_STATUS_SUCCESS);
    *handle = r.Urb()->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(select);
    return config;
}

// Selects an alternate setting; fills info with the returned interface record.
inline NTSTATUS SelectAlternate(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE handle, UCHAR iface,
                                UCHAR alt, std::vector<USBD_PIPE_INFORMATION>* pipes = nullptr,
                                USBD_STATUS* usbd = nullptr) {
    UrbRequest r(pdo);
    UsbBuildSelectInterfaceRequest(r.Urb(), GET_SELECT_INTERFACE_REQUEST_SIZE(2), handle, iface,
                                   alt);
    r.Urb()->UrbSelectInterface.Interface.NumberOfPipes = 2;
    NTSTATUS status = r.SendAndWait();
    if (usbd) *usbd = r.UrbStatus();
    if (pipes && NT_SUCCESS(status)) {
        auto& info = r.Urb()->UrbSelectInterface.Interface;
        pipes->assign(info.Pipes, info.Pipes + info.NumberOfPipes);
    }
    return status;
}

}  // namespace q407::sim::test
