// The bus library's descriptor walkers and the select-configuration builder over configuration
// descriptors the device made up. The descriptor bytes sit in an exactly sized heap block (as
// long as wTotalLength says, never shorter than the 9-byte header, never longer than the input),
// so a read past what the functions were given is an overread the sanitizer reports. Results
// are checked: every descriptor found lies inside the walked range and matches what was asked,
// and the URB holds one well-formed record per interface, inside its own length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "fuzz/fuzz_input.h"
#include "platform/usb/usbd_library.h"
#include "sim/host/machine.h"
#include "sim/host/pool.h"

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;

bool Inside(const uint8_t* begin, size_t length, const void* p, size_t size) {
    const auto* q = static_cast<const uint8_t*>(p);
    return q >= begin && q <= begin + length && size <= static_cast<size_t>(begin + length - q);
}

// -1 (match anything) or one byte value.
LONG Filter(uint8_t selector, uint8_t value) {
    return selector & 1 ? static_cast<LONG>(value) : -1;
}

void FuzzParseDescriptors(const uint8_t* data, size_t size, uint8_t a, uint8_t b) {
    auto block = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    uint8_t* buffer = block.get();
    std::memcpy(buffer, data, size);
    const ULONG total = static_cast<ULONG>(size - (size == 0 ? 0 : a % (size + 1)));
    const LONG type = b & 0x80 ? -1 : static_cast<LONG>(b & 0x0F);

    // A start outside the buffer finds nothing.
    Check(USBD_ParseDescriptors(buffer, total, buffer + total, -1) == nullptr || total < size);
    Check(USBD_ParseDescriptors(buffer, total, nullptr, -1) == nullptr);

    // Walk from an arbitrary start, as far as the walk goes.
    uint8_t* start = buffer + (total == 0 ? 0 : b % (total + 1));
    size_t steps = 0;
    for (;;) {
        auto* d = USBD_ParseDescriptors(buffer, total, start, type);
        if (d == nullptr) break;
        auto* p = reinterpret_cast<uint8_t*>(d);
        Check(p >= start && Inside(buffer, total, p, 2));
        Check(d->bLength >= 2 && Inside(buffer, total, p, d->bLength));
        Check(type == -1 || d->bDescriptorType == type);
        start = p + d->bLength;
        Check(++steps <= total / 2);
    }
}

void FuzzConfiguration(const uint8_t* data, size_t size, uint8_t a, uint8_t b) {
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return;
    USHORT claim;
    std::memcpy(&claim, data + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), sizeof(claim));
    // A caller hands over a buffer that holds wTotalLength bytes; a claim beyond what the device
    // sent is cut to what arrived, as the driver's own reader does by refusing it.
    size_t length = claim;
    if (length > size) length = size;
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        length = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    auto block = std::make_unique<uint8_t[]>(length);
    uint8_t* buffer = block.get();
    std::memcpy(buffer, data, length);
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    if (claim > length) configuration->wTotalLength = static_cast<USHORT>(length);
    const size_t walked = configuration->wTotalLength;

    // Filtered search from an arbitrary start.
    const LONG number = Filter(a, data[size - 1]);
    const LONG alternate = Filter(a >> 1, data[size / 2]);
    const LONG cls = Filter(a >> 2, b);
    uint8_t* start = buffer + (b % (length + 1));
    auto* found =
        USBD_ParseConfigurationDescriptorEx(configuration, start, number, alternate, cls, -1, -1);
    if (found != nullptr) {
        Check(reinterpret_cast<uint8_t*>(found) >= start);
        Check(Inside(buffer, walked, found, sizeof(USB_INTERFACE_DESCRIPTOR)));
        Check(found->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE);
        Check(found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
              Inside(buffer, walked, found, found->bLength));
        Check(number == -1 || found->bInterfaceNumber == number);
        Check(alternate == -1 || found->bAlternateSetting == alternate);
        Check(cls == -1 || found->bInterfaceClass == cls);
    }

    // Every interface descriptor in order, as a driver collects them for its configuration.
    constexpr size_t kMaxList = 40;
    USBD_INTERFACE_LIST_ENTRY list[kMaxList + 1] = {};
    size_t count = 0;
    uint8_t* from = buffer;
    while (count < kMaxList) {
        auto* d = USBD_ParseConfigurationDescriptorEx(configuration, from, -1, -1, -1, -1, -1);
        if (d == nullptr) break;
        Check(Inside(buffer, walked, d, d->bLength) && d->bLength >= sizeof(*d));
        list[count++].InterfaceDescriptor = d;
        from = reinterpret_cast<uint8_t*>(d) + d->bLength;
    }
    // Sometimes a descriptor pointer that does not lie wholly inside the configuration.
    bool outside = false;
    if ((a & 0x40) && count < kMaxList && walked >= 4) {
        list[count++].InterfaceDescriptor =
            reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer + walked - 4);
        outside = true;
    }

    SIZE_T expected = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (size_t i = 0; i < count; ++i)
        if (!outside || i + 1 < count)
            expected += GET_USBD_INTERFACE_SIZE(list[i].InterfaceDescriptor->bNumEndpoints);

    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (count == 0 || outside || expected > 0xFFFF) {
        Check(urb == nullptr);
        return;
    }
    Check(urb != nullptr);
    Check(urb->UrbHeader.Length == expected);
    Check(urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION);
    Check(urb->UrbSelectConfiguration.ConfigurationDescriptor == configuration);
    auto* record = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
    const auto* urbBytes = reinterpret_cast<const uint8_t*>(urb);
    for (size_t i = 0; i < count; ++i) {
        const PUSB_INTERFACE_DESCRIPTOR d = list[i].InterfaceDescriptor;
        const PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        Check(reinterpret_cast<uint8_t*>(info) == record);
        Check(info->Length == GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        Check(Inside(urbBytes, urb->UrbHeader.Length, info, info->Length));
        Check(info->InterfaceNumber == d->bInterfaceNumber);
        Check(info->AlternateSetting == d->bAlternateSetting);
        Check(info->NumberOfPipes == d->bNumEndpoints);
        for (ULONG p = 0; p < info->NumberOfPipes; ++p)
            Check(info->Pipes[p].MaximumTransferSize == USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        record += info->Length;
    }
    Check(record == urbBytes + urb->UrbHeader.Length);
    ExFreePool(urb);
}

}  // namespace

// The pool's own books grow as blocks pass through its quarantine, which would make every input
// look like a leak to the leak checker; pool leaks are checked by tag instead.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The builder allocates from the emulated kernel's pool.
    static q407::sim::Machine machine;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t a = data[0];
    const uint8_t b = data[1];
    FuzzParseDescriptors(data + 2, size - 2, a, b);
    FuzzConfiguration(data + 2, size - 2, a, b);
    Check(q407::sim::Pool::Usage(kUsbdPoolTag).allocations == 0);
    return 0;
}
