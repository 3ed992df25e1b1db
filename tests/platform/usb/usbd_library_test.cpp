#include "platform/usb/usbd_library.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/device/device_descriptors.h"
#include "sim/host/machine.h"

namespace {

using q407::sim::ConfigurationDescriptorBytes;

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<std::uint8_t>& v) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(v.data());
}

TEST(UsbdParse, FindsEveryAlternateOfTheDevice) {
    auto bytes = ConfigurationDescriptorBytes();
    auto* cd = AsConfig(bytes);
    for (int i = 0; i < 2; ++i)
        for (int a = 0; a < 2; ++a) {
            PUSB_INTERFACE_DESCRIPTOR d =
                USBD_ParseConfigurationDescriptorEx(cd, cd, i, a, -1, -1, -1);
            ASSERT_NE(d, nullptr) << i << a;
            EXPECT_EQ(d->bInterfaceNumber, i);
            EXPECT_EQ(d->bAlternateSetting, a);
        }
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 2, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0x01, -1, -1), nullptr);
    // Continuing after a match finds the next one.
    PUSB_INTERFACE_DESCRIPTOR first =
        USBD_ParseConfigurationDescriptorEx(cd, cd, 0, -1, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR second = USBD_ParseConfigurationDescriptorEx(
        cd, reinterpret_cast<std::uint8_t*>(first) + first->bLength, 0, -1, -1, -1, -1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bAlternateSetting, 1);
    // Endpoints follow their interface.
    auto* ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
        USBD_ParseDescriptors(cd, cd->wTotalLength, second, USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(ep->bEndpointAddress, 0x05);
    USHORT maxPacket = ep->wMaxPacketSize;  // packed field: copy before comparing
    EXPECT_EQ(maxPacket, 964);
}

TEST(UsbdParse, StaysInsideMalformedDescriptors) {
    auto bytes = ConfigurationDescriptorBytes();
    // wTotalLength covering only the first interface: later ones are not found.
    auto shortened = bytes;
    shortened[2] = 18;
    shortened[3] = 0;
    auto* cd = AsConfig(shortened);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1), nullptr);
    // A zero-length descriptor ends the walk instead of looping.
    auto broken = bytes;
    broken[18] = 0;
    cd = AsConfig(broken);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1), nullptr);
    // A descriptor running past the end is not returned.
    auto overlong = bytes;
    overlong[9 + 9] = 200;
    cd = AsConfig(overlong);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1), nullptr);
    // A start outside the configuration.
    cd = AsConfig(bytes);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, bytes.data() + bytes.size() + 1, -1, -1, -1,
                                                  -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, 0, 0, -1, -1, -1), nullptr);
}

TEST(UsbdCreateConfigurationRequest, OneRecordPerInterfaceFromPool) {
    q407::sim::Machine machine;
    auto bytes = ConfigurationDescriptorBytes();
    auto* cd = AsConfig(bytes);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 1, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 4));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(list[1].Interface),
              reinterpret_cast<std::uint8_t*>(list[0].Interface) + list[0].Interface->Length);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->Pipes[1].MaximumTransferSize,
              ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    ExFreePool(urb);

    // An interface descriptor from elsewhere, or an empty list, gives nothing.
    USB_INTERFACE_DESCRIPTOR stray{9, 4, 0, 0, 0, 0, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY bad[2] = {{&stray, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, bad), nullptr);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, empty), nullptr);
}

}  // namespace
