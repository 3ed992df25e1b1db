// The engine's reading of the device's configuration: ReadDescriptors, SelectConfiguration and
// the streaming interfaces' selection against a small lower device that answers the engine's
// URBs from the fuzz input (the configuration descriptor the device sends, first-read headers
// that disagree with the full read, short answers, failing requests, a bus that fills interface
// records with pipe counts that do not fit them). Pool overreads are poisoned; afterwards the
// engine's copies must lie inside their allocations and hold only pipes that fit, and nothing of
// the engine's pool may remain once it is torn down.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/usb/usbd_library.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "sim/host/trace_log.h"
#include "usbdriver/engine/stream_engine.h"

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;

enum : uint8_t {
    kHeaderDisagrees = 0x01,  // the 9-byte read reports another wTotalLength
    kLyingPipeCounts = 0x02,  // the bus writes NumberOfPipes beyond what records hold
    kSelectConfigFails = 0x04,
    kSelectInterfaceFails = 0x08,
    kDeviceDescriptorFails = 0x10,
    kShortAnswers = 0x20,  // the device answers one byte less than asked, once
};

// What the lower device answers, for the current input.
struct Script {
    uint8_t flags = 0;
    uint16_t headerTotal = 0;
    uint8_t pipeCount = 0;
    const uint8_t* configuration = nullptr;
    size_t configurationLength = 0;
    bool shortened = false;
    PUSB_CONFIGURATION_DESCRIPTOR selected = nullptr;  // what the engine configured with
};
Script script;

const uint8_t kDeviceDescriptor[18] = {18,   1,    0x00, 0x02, 0xFF, 0, 0, 64, 0x34,
                                       0x12, 0x07, 0x04, 0x00, 0x01, 1, 2, 0,  1};

NTSTATUS Complete(PIRP irp, PURB urb, NTSTATUS status) {
    urb->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Fills one interface record's pipes from the endpoint descriptors after its interface
// descriptor, as the bus does, within the record's own length.
void FillPipes(PUSB_CONFIGURATION_DESCRIPTOR configuration, USBD_INTERFACE_INFORMATION* info,
               size_t room) {
    const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (room < header) return;
    const size_t fits = (room - header) / sizeof(USBD_PIPE_INFORMATION);
    PUSB_INTERFACE_DESCRIPTOR d = configuration == nullptr
                                      ? nullptr
                                      : USBD_ParseConfigurationDescriptorEx(
                                            configuration, configuration, info->InterfaceNumber,
                                            info->AlternateSetting, -1, -1, -1);
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t{0x1000});
    PVOID from = d == nullptr ? nullptr : reinterpret_cast<PUCHAR>(d) + d->bLength;
    for (ULONG p = 0; p < info->NumberOfPipes && p < fits; ++p) {
        USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
        pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{0x2000 + p});
        PUSB_COMMON_DESCRIPTOR e =
            from == nullptr ? nullptr
                            : USBD_ParseDescriptors(configuration, configuration->wTotalLength,
                                                    from, USB_ENDPOINT_DESCRIPTOR_TYPE);
        if (e != nullptr && e->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            auto* ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(e);
            pipe.EndpointAddress = ep->bEndpointAddress;
            pipe.MaximumPacketSize = ep->wMaxPacketSize;
            pipe.Interval = ep->bInterval;
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            from = reinterpret_cast<PUCHAR>(e) + e->bLength;
        }
    }
    if (script.flags & kLyingPipeCounts) info->NumberOfPipes = script.pipeCount;
}

NTSTATUS FakeBusInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    Check(urb != nullptr);
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            const uint8_t* source = nullptr;
            size_t available = 0;
            if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
                if (script.flags & kDeviceDescriptorFails)
                    return Complete(irp, urb, STATUS_UNSUCCESSFUL);
                source = kDeviceDescriptor;
                available = sizeof(kDeviceDescriptor);
            } else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                source = script.configuration;
                available = script.configurationLength;
            }
            size_t n = r.TransferBufferLength < available ? r.TransferBufferLength : available;
            if ((script.flags & kShortAnswers) && !script.shortened && n > 0) {
                --n;
                script.shortened = true;
            }
            if (n > 0) std::memcpy(r.TransferBuffer, source, n);
            if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
                (script.flags & kHeaderDisagrees) &&
                r.TransferBufferLength == sizeof(USB_CONFIGURATION_DESCRIPTOR) && n >= 4)
                std::memcpy(static_cast<PUCHAR>(r.TransferBuffer) + 2, &script.headerTotal, 2);
            r.TransferBufferLength = static_cast<ULONG>(n);
            return Complete(irp, urb, STATUS_SUCCESS);
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& r = urb->UrbSelectConfiguration;
            if (r.ConfigurationDescriptor == nullptr) return Complete(irp, urb, STATUS_SUCCESS);
            if (script.flags & kSelectConfigFails) return Complete(irp, urb, STATUS_UNSUCCESSFUL);
            r.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(uintptr_t{0x100});
            script.selected = r.ConfigurationDescriptor;
            auto* record = reinterpret_cast<PUCHAR>(&r.Interface);
            const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
            while (record + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
                auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(record);
                const USHORT length = info->Length;
                if (length == 0 || length > end - record) break;
                FillPipes(r.ConfigurationDescriptor, info, length);
                record += length;
            }
            return Complete(irp, urb, STATUS_SUCCESS);
        }
        case URB_FUNCTION_SELECT_INTERFACE: {
            if (script.flags & kSelectInterfaceFails)
                return Complete(irp, urb, STATUS_UNSUCCESSFUL);
            const size_t room = urb->UrbHeader.Length - offsetof(_URB_SELECT_INTERFACE, Interface);
            FillPipes(script.selected, &urb->UrbSelectInterface.Interface, room);
            return Complete(irp, urb, STATUS_SUCCESS);
        }
        default:
            return Complete(irp, urb, STATUS_SUCCESS);
    }
}

NTSTATUS FakeBusOther(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void FakeBusUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

NTSTATUS FakeBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& f : driver->MajorFunction) f = FakeBusOther;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FakeBusInternalControl;
    driver->DriverUnload = FakeBusUnload;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT functionalDevice = nullptr;
PDEVICE_OBJECT lowerDevice = nullptr;

// The pool allocation that holds [p, p + length) whole.
bool InPool(const void* p, size_t length) {
    q407::sim::PoolRange range;
    return q407::sim::Pool::Locate(p, length, &range);
}

}  // namespace

// Kernel objects live in the pool's shared mapping, which the leak checker does not scan, so it
// would call everything they point to lost; pool leaks are checked by tag instead.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static q407::sim::Machine machine;
    q407::sim::Pool::PoisonOverreads(true);
    PDRIVER_OBJECT driver = nullptr;
    if (!NT_SUCCESS(q407::sim::LoadDriver(L"FAKEBUS", FakeBusEntry, &driver)) ||
        !NT_SUCCESS(
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lowerDevice)) ||
        !NT_SUCCESS(
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &functionalDevice)))
        __builtin_trap();
    lowerDevice->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    functionalDevice->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    // The device's bytes in an exactly sized block of their own.
    std::vector<uint8_t> configuration(data + 6, data + size);
    script = Script{};
    script.flags = data[0];
    script.headerTotal = static_cast<uint16_t>(data[1] | data[2] << 8);
    script.pipeCount = data[3];
    script.configuration = configuration.data();
    script.configurationLength = configuration.size();

    using namespace q407;
    StreamEngine* engine = AllocateStreamEngine(functionalDevice, lowerDevice, nullptr);
    Check(engine != nullptr);
    engine->m_StreamingAlternate[0] = data[4];
    engine->m_StreamingAlternate[1] = data[5];

    NTSTATUS status = engine->ReadDescriptors();
    if (NT_SUCCESS(status)) {
        const PUSB_CONFIGURATION_DESCRIPTOR cd = engine->m_ConfigurationDescriptor;
        Check(cd != nullptr && cd->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR));
        Check(cd->wTotalLength <= configuration.size());
        Check(InPool(cd, cd->wTotalLength));
        // What the device sent, except that a 9-byte read carries the header's own total.
        const bool patched = (script.flags & kHeaderDisagrees) &&
                             cd->wTotalLength == sizeof(USB_CONFIGURATION_DESCRIPTOR);
        Check(std::memcmp(cd, configuration.data(), 2) == 0);
        Check(patched || std::memcmp(cd, configuration.data(), 4) == 0);
        Check(std::memcmp(reinterpret_cast<PUCHAR>(cd) + 4, configuration.data() + 4,
                          cd->wTotalLength - 4u) == 0);
        status = engine->SelectConfiguration();
        if (NT_SUCCESS(status)) (void)engine->SelectStreamingInterfaces();
    } else {
        Check(engine->m_ConfigurationDescriptor == nullptr);
    }

    // What the engine kept fits where it keeps it.
    Check(engine->m_InterfaceCount <= kMaxInterfaces);
    Check(engine->m_PipeCount <= kMaxPipes);
    ULONG pipes = 0;
    for (ULONG i = 0; i < engine->m_InterfaceCount; ++i) {
        const USBD_INTERFACE_INFORMATION* info = engine->m_Interfaces[i];
        if (info == nullptr) continue;
        Check(InPool(info, info->Length));
        Check(info->Length >= offsetof(USBD_INTERFACE_INFORMATION, Pipes));
        Check(info->NumberOfPipes <= (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                                         sizeof(USBD_PIPE_INFORMATION));
        pipes += info->NumberOfPipes;
    }
    Check(engine->m_PipeCount == (pipes < kMaxPipes ? pipes : kMaxPipes));
    for (ULONG i = engine->m_InterfaceCount; i < kMaxInterfaces; ++i)
        Check(engine->m_Interfaces[i] == nullptr);
    Check(!engine->IsStreaming());

    (void)engine->Deconfigure();
    Check(engine->m_InterfaceCount == 0 && engine->m_PipeCount == 0);
    if (engine->m_ConfigurationDescriptor != nullptr)
        ExFreePoolWithTag(engine->m_ConfigurationDescriptor, kEnginePoolTag);
    engine->m_ConfigurationDescriptor = nullptr;
    FreeStreamEngine(engine);
    Check(sim::Pool::Usage(kEnginePoolTag).allocations == 0);
    Check(sim::Pool::Usage(kUsbdPoolTag).allocations == 0);
    sim::TraceLog::Instance().Clear();
    return 0;
}
