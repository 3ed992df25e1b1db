// Driver objects, device objects and device stacks.
#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/host/io_internal.h"
#include "sim/host/io_manager.h"
#include "sim/host/irp_tracking.h"
#include "sim/host/object_manager.h"
#include "sim/host/pool.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

struct LoadedDriver {
    std::wstring service;
    std::wstring driverName;
    std::wstring registryPath;
    UNICODE_STRING driverNameString{};
    UNICODE_STRING registryPathString{};
    UNICODE_STRING serviceString{};
    PDRIVER_OBJECT object = nullptr;
    PDRIVER_EXTENSION extension = nullptr;
};

struct IoState {
    std::recursive_mutex mutex;  // device stacks, names, drivers
    std::vector<std::unique_ptr<LoadedDriver>> drivers;
    std::map<std::wstring, PDEVICE_OBJECT> names;
    ULONG nextAutoName = 1;
    ULONG nextInstance = 1;
    std::function<NTSTATUS(const std::wstring&)> unloadHandler;
};

IoState& Io() {
    static IoState* state = new IoState();
    return *state;
}

void FillString(UNICODE_STRING* s, std::wstring& text) {
    s->Buffer = text.data();
    s->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s->MaximumLength = static_cast<USHORT>(s->Length + sizeof(WCHAR));
}

// Service names do not depend on case.
bool SameService(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (towlower(static_cast<wint_t>(a[i])) != towlower(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void DestroyDevice(void* body) {
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    delete static_cast<detail::DeviceRecord*>(device->SimData);
    device->SimData = nullptr;
}

// A driver that goes must have freed all pool charged to it.
void CheckNothingLeft(PDRIVER_OBJECT object, const std::wstring& name, const char* call,
                      const char* what) {
    const std::string report = Pool::LeakReportOfDriver(object);
    if (report.empty()) return;
    // "Pool leak: tag Zel6: 1 allocation, 32 bytes\n" lines, as one line per tag in the message.
    std::string tags;
    const std::string prefix = "Pool leak: ";
    for (size_t at = 0; at < report.size();) {
        size_t end = report.find('\n', at);
        if (end == std::string::npos) end = report.size();
        std::string line = report.substr(at, end - at);
        if (line.rfind(prefix, 0) == 0) line.erase(0, prefix.size());
        tags += (tags.empty() ? "" : "; ") + line;
        at = end + 1;
    }
    std::string narrow;
    for (wchar_t c : name) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    BugCheck(call, "driver " + narrow + " " + what + " with pool still allocated: " + tags);
}

const ObjectOps kDeviceOps{&kDeviceType, POOL_TAG("Devi"), nullptr, DestroyDevice};

constexpr size_t kDeviceObjectSize = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;

}  // namespace

namespace detail {

DeviceRecord& RecordOf(PDEVICE_OBJECT device) {
    if (!IsObject(device, &kDeviceType)) BugCheck("I/O manager", "not a device object");
    return *static_cast<DeviceRecord*>(device->SimData);
}

bool IsStackBottom(PDEVICE_OBJECT device) {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    const DeviceRecord& r = RecordOf(device);
    return r.lower == nullptr && !r.deleted;
}

void ResetDrivers() {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    io.drivers.clear();  // driver objects of a previous machine stay allocated
    io.unloadHandler = nullptr;
}

void ResetDevices() {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    io.names.clear();
    io.nextAutoName = 1;
    io.nextInstance = 1;
}

}  // namespace detail

bool IsDeviceObject(const void* object) {
    return IsObject(object, &kDeviceType);
}

NTSTATUS LoadDriver(const std::wstring& serviceName, PDRIVER_INITIALIZE entry,
                    PDRIVER_OBJECT* driver) {
    RequirePassive("LoadDriver");
    IoState& io = Io();
    auto loaded = std::make_unique<LoadedDriver>();
    loaded->service = serviceName;
    loaded->driverName = L"\\Driver\\" + serviceName;
    loaded->registryPath =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
    FillString(&loaded->driverNameString, loaded->driverName);
    FillString(&loaded->registryPathString, loaded->registryPath);
    FillString(&loaded->serviceString, loaded->service);
    const size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto* object =
        static_cast<PDRIVER_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG("Driv")));
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memset(object, 0, size);
    auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(object + 1);
    object->Type = 4;
    object->Size = static_cast<SHORT>(sizeof(DRIVER_OBJECT));
    object->DriverExtension = extension;
    object->DriverName = loaded->driverNameString;
    object->DriverInit = entry;
    for (auto& f : object->MajorFunction) f = InvalidDeviceRequest;
    extension->DriverObject = object;
    extension->ServiceKeyName = loaded->serviceString;
    loaded->object = object;
    loaded->extension = extension;
    {
        std::lock_guard lock(io.mutex);
        for (auto& d : io.drivers)
            if (SameService(d->service, serviceName)) {
                ExFreePoolWithTag(object, POOL_TAG("Driv"));
                return STATUS_OBJECT_NAME_COLLISION;
            }
    }
    NTSTATUS status;
    {
        DriverScope scope(object);
        status = entry(object, &loaded->registryPathString);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("DriverEntry", "returned above PASSIVE_LEVEL");
    if (!NT_SUCCESS(status)) {
        if (object->DeviceObject != nullptr)
            BugCheck("DriverEntry", "failed but left device objects behind");
        CheckNothingLeft(object, loaded->driverName, "DriverEntry", "failed");
        ExFreePoolWithTag(object, POOL_TAG("Driv"));
        return status;
    }
    if (driver != nullptr) *driver = object;
    std::lock_guard lock(io.mutex);
    io.drivers.push_back(std::move(loaded));
    return status;
}

PDRIVER_OBJECT FindDriver(const std::wstring& serviceName) {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    for (auto& d : io.drivers)
        if (SameService(d->service, serviceName)) return d->object;
    return nullptr;
}

NTSTATUS UnloadDriver(const std::wstring& serviceName) {
    RequirePassive("UnloadDriver");
    IoState& io = Io();
    PDRIVER_OBJECT object = nullptr;
    {
        std::lock_guard lock(io.mutex);
        for (auto& d : io.drivers)
            if (SameService(d->service, serviceName)) object = d->object;
    }
    if (object == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (object->DeviceObject != nullptr || object->DriverUnload == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    {
        DriverScope scope(object);
        object->DriverUnload(object);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("DriverUnload", "returned above PASSIVE_LEVEL");
    if (object->DeviceObject != nullptr) BugCheck("DriverUnload", "device objects left behind");
    {
        std::wstring name;
        {
            std::lock_guard lock(io.mutex);
            for (auto& d : io.drivers)
                if (d->object == object) name = d->driverName;
        }
        CheckNothingLeft(object, name, "DriverUnload", "unloaded");
    }
    std::lock_guard lock(io.mutex);
    std::erase_if(io.drivers, [&](auto& d) { return d->object == object; });
    ExFreePoolWithTag(object, POOL_TAG("Driv"));
    return STATUS_SUCCESS;
}

void SetUnloadDriverHandler(std::function<NTSTATUS(const std::wstring&)> handler) {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    io.unloadHandler = std::move(handler);
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    RequirePassive("AddDevice");
    if (driver->DriverExtension->AddDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status;
    {
        DriverScope scope(driver);
        status = driver->DriverExtension->AddDevice(driver, physicalDevice);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) BugCheck("AddDevice", "returned above PASSIVE_LEVEL");
    return status;
}

void SetPhysicalDevice(PDEVICE_OBJECT device, const std::wstring& instancePath) {
    detail::RecordOf(device).instancePath = instancePath;
}

std::wstring DeviceInstancePath(PDEVICE_OBJECT device) {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    return detail::RecordOf(device).instancePath;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

// The instance path of a physical device, naming one on first use for devices a test created
// without a bus driver. False for a device that sits on another device (not a physical one).
bool PhysicalInstancePath(PDEVICE_OBJECT device, std::wstring* path) {
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    detail::DeviceRecord& r = detail::RecordOf(device);
    if (r.instancePath.empty()) {
        if (r.lower != nullptr) return false;
        wchar_t buffer[32];
        swprintf(buffer, 32, L"ROOT\\SIM\\%04u", io.nextInstance++);
        r.instancePath = buffer;
    }
    *path = r.instancePath;
    return true;
}

}  // namespace q407::sim

using namespace q407::sim;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    RequirePassive("IoCreateDevice");
    *DeviceObject = nullptr;
    IoState& io = Io();
    std::wstring name;
    if (DeviceName != nullptr && DeviceName->Length != 0)
        name.assign(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
    std::lock_guard lock(io.mutex);
    if ((DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
        wchar_t buffer[32];
        swprintf(buffer, 32, L"\\Device\\%08x", io.nextAutoName++);
        name = buffer;
    }
    if (!name.empty() && io.names.count(name) != 0) return STATUS_OBJECT_NAME_COLLISION;
    auto* device = static_cast<PDEVICE_OBJECT>(
        CreateObject(&kDeviceOps, kDeviceObjectSize + DeviceExtensionSize));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics & ~ULONG(FILE_AUTOGENERATED_DEVICE_NAME);
    device->DeviceExtension =
        DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + kDeviceObjectSize : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    auto* record = new detail::DeviceRecord();
    record->name = name;
    device->SimData = record;
    if (!name.empty()) io.names[name] = device;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequirePassive("IoDeleteDevice");
    IoState& io = Io();
    {
        std::lock_guard lock(io.mutex);
        detail::DeviceRecord& r = detail::RecordOf(DeviceObject);
        if (r.deleted) BugCheck("IoDeleteDevice", "device deleted twice");
        if (DeviceObject->AttachedDevice != nullptr)
            BugCheck("IoDeleteDevice", "another device is still attached above this one");
        if (r.lower != nullptr)
            BugCheck("IoDeleteDevice",
                     "device is still attached to a lower device (IoDetachDevice first)");
        if (detail::IrpPendingAt(DeviceObject))
            BugCheck("IoDeleteDevice", "an IRP is still pending in this device");
        r.deleted = true;
        if (!r.name.empty()) io.names.erase(r.name);
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
             link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
        DeviceObject->NextDevice = nullptr;
    }
    detail::ForgetDeviceInterfaces(DeviceObject);
    ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    RequireAtMostDispatch("IoAttachDeviceToDeviceStack");
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    detail::DeviceRecord& source = detail::RecordOf(SourceDevice);
    if (source.lower != nullptr)
        BugCheck("IoAttachDeviceToDeviceStack", "source device is already attached");
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    if (detail::RecordOf(top).deleted) return nullptr;
    top->AttachedDevice = SourceDevice;
    source.lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireAtMostDispatch("IoDetachDevice");
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) BugCheck("IoDetachDevice", "no device is attached to the target");
    detail::RecordOf(above).lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    RequireAtMostDispatch("IoGetAttachedDeviceReference");
    IoState& io = Io();
    std::lock_guard lock(io.mutex);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    ObReferenceObject(top);
    return top;
}

NTSTATUS ZwUnloadDriver(PUNICODE_STRING DriverServiceName) {
    RequirePassive("ZwUnloadDriver");
    if (DriverServiceName == nullptr || DriverServiceName->Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::wstring path(DriverServiceName->Buffer, DriverServiceName->Length / sizeof(WCHAR));
    const std::wstring prefix = L"\\registry\\machine\\system\\currentcontrolset\\services\\";
    std::wstring lower = path;
    for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
    if (lower.rfind(prefix, 0) != 0 || path.size() == prefix.size() ||
        path.find(L'\\', prefix.size()) != std::wstring::npos)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const std::wstring service = path.substr(prefix.size());
    std::function<NTSTATUS(const std::wstring&)> handler;
    {
        IoState& io = Io();
        std::lock_guard lock(io.mutex);
        handler = io.unloadHandler;
    }
    if (handler) return handler(service);
    return UnloadDriver(service);
}
