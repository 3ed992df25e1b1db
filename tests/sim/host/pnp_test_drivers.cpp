#include "tests/sim/host/pnp_test_drivers.h"

#include <cwchar>
#include <new>

namespace q407::test::pnp {
namespace {

enum class Role { Pdo, Fdo, Leaf };

struct Ext {
    Role role;
    char name[16];
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT child;  // Fdo: the child physical device, once enumerated
    const wchar_t* deviceId;
    wchar_t instanceId[8];
    UNICODE_STRING link;  // Fdo: its interface
    int index;
};

std::mutex g_logMutex;
std::vector<std::string> g_log;
Behaviour g_config;
int g_nextFdo = 1;
int g_nextChild = 1;
int g_nextLeaf = 1;

Ext* ExtOf(PDEVICE_OBJECT d) {
    return static_cast<Ext*>(d->DeviceExtension);
}

const char* SystemName(SYSTEM_POWER_STATE s) {
    static const char* names[] = {"S?", "S0", "S1", "S2", "S3", "S4", "S5"};
    return s >= 0 && s <= PowerSystemShutdown ? names[s] : "S?";
}

std::string MinorName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
            return "start";
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return "query-remove";
        case IRP_MN_REMOVE_DEVICE:
            return "remove";
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return "cancel-remove";
        case IRP_MN_STOP_DEVICE:
            return "stop";
        case IRP_MN_QUERY_STOP_DEVICE:
            return "query-stop";
        case IRP_MN_CANCEL_STOP_DEVICE:
            return "cancel-stop";
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            return "relations";
        case IRP_MN_QUERY_CAPABILITIES:
            return "capabilities";
        case IRP_MN_QUERY_ID:
            return "query-id";
        case IRP_MN_SURPRISE_REMOVAL:
            return "surprise-removal";
        default:
            return "pnp " + std::to_string(minor);
    }
}

void Log(Ext* e, const std::string& what) {
    std::lock_guard lock(g_logMutex);
    g_log.push_back(std::string(e->name) + ":" + what);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(Ext* e, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(e->lower, irp);
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Ext* e, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(e->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// A string answer in paged pool: text, then one more terminator (a valid multi-string).
ULONG_PTR IdAnswer(const wchar_t* text) {
    const size_t n = wcslen(text);
    auto* copy = static_cast<wchar_t*>(
        ExAllocatePoolWithTag(PagedPool, (n + 2) * sizeof(wchar_t), POOL_TAG("TsId")));
    if (copy == nullptr) return 0;
    wmemcpy(copy, text, n);
    copy[n] = copy[n + 1] = 0;
    return reinterpret_cast<ULONG_PTR>(copy);
}

NTSTATUS PdoPnp(Ext* e, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            ULONG_PTR answer = 0;
            const BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
            if (type == BusQueryDeviceID || type == BusQueryHardwareIDs)
                answer = IdAnswer(e->deviceId);
            else if (type == BusQueryInstanceID)
                answer = IdAnswer(e->instanceId);
            else
                break;
            if (answer == 0) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            irp->IoStatus.Information = answer;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->SurpriseRemovalOK = 1;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            break;  // the status and list as they came
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    return Complete(irp, status);
}

NTSTATUS CreateChild(Ext* fdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(fdo->self->DriverObject, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* e = new (device->DeviceExtension) Ext{};
    e->role = Role::Pdo;
    e->self = device;
    e->index = g_nextChild++;
    snprintf(e->name, sizeof e->name, "child%d", e->index);
    e->deviceId = kLeafHardwareId;
    wcscpy(e->instanceId, L"0001");  // the same under every parent
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    fdo->child = device;
    return STATUS_SUCCESS;
}

NTSTATUS FunctionPnp(Ext* e, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool leaf = e->role == Role::Leaf;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            if (leaf && g_config.leafFailsStart) return Complete(irp, STATUS_DEVICE_DATA_ERROR);
            NTSTATUS status = ForwardAndWait(e, irp);
            if (NT_SUCCESS(status) && !leaf) {
                if (e->link.Buffer == nullptr)
                    status =
                        IoRegisterDeviceInterface(e->lower, &kTestInterface, nullptr, &e->link);
                if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&e->link, TRUE);
                if (NT_SUCCESS(status) && g_config.fdoEnumeratesChild && e->child == nullptr)
                    status = CreateChild(e);
            }
            return Complete(irp, status);
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (leaf ? g_config.leafVetoesQueryRemove : g_config.fdoVetoesQueryRemove)
                return Complete(irp, STATUS_UNSUCCESSFUL);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(e, irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            if (!leaf && g_config.fdoVetoesQueryStop) return Complete(irp, STATUS_UNSUCCESSFUL);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(e, irp);
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_STOP_DEVICE:
            if (!leaf && e->link.Buffer != nullptr) {
                // Already disabled (a stop before) answers that it is: nothing to undo.
                (void)IoSetDeviceInterfaceState(&e->link, FALSE);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(e, irp);
        case IRP_MN_REMOVE_DEVICE: {
            if (!leaf && e->link.Buffer != nullptr) {
                (void)IoSetDeviceInterfaceState(&e->link, FALSE);  // may be disabled already
                RtlFreeUnicodeString(&e->link);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            const NTSTATUS status = PassDown(e, irp);
            if (leaf && g_config.leafKeepsDeviceOnRemove) return status;
            if (e->child != nullptr) IoDeleteDevice(e->child);
            IoDetachDevice(e->lower);
            IoDeleteDevice(e->self);
            return status;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (leaf || stack->Parameters.QueryDeviceRelations.Type != BusRelations ||
                e->child == nullptr)
                return PassDown(e, irp);
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), POOL_TAG("TsRl")));
            if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 1;
            relations->Objects[0] = e->child;
            ObReferenceObject(e->child);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(e, irp);
        }
        default:
            return PassDown(e, irp);
    }
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Ext* e = ExtOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Log(e, MinorName(stack->MinorFunction));
    return e->role == Role::Pdo ? PdoPnp(e, irp) : FunctionPnp(e, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    Ext* e = ExtOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    const char* kind = stack->MinorFunction == IRP_MN_SET_POWER ? "set-power " : "query-power ";
    Log(e,
        kind + std::string(system ? SystemName(stack->Parameters.Power.State.SystemState) : "D"));
    PoStartNextPowerIrp(irp);
    if (e->role == Role::Pdo) return Complete(irp, STATUS_SUCCESS);
    if (e->role == Role::Fdo && stack->MinorFunction == IRP_MN_QUERY_POWER &&
        g_config.fdoVetoesQueryPower)
        return Complete(irp, STATUS_UNSUCCESSFUL);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(e->lower, irp);
}

NTSTATUS DispatchFile(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical, Role role) {
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* e = new (device->DeviceExtension) Ext{};
    e->role = role;
    e->self = device;
    e->index = role == Role::Fdo ? g_nextFdo++ : g_nextLeaf++;
    snprintf(e->name, sizeof e->name, "%s%d", role == Role::Fdo ? "fdo" : "leaf", e->index);
    e->lower = IoAttachDeviceToDeviceStack(device, physical);
    if (e->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    Log(e, "add");
    if (!(role == Role::Leaf && g_config.leafLeavesInitializingFlag))
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS AddFunction(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    return AddDevice(driver, physical, Role::Fdo);
}
NTSTATUS AddLeaf(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    return AddDevice(driver, physical, Role::Leaf);
}

void Unload(PDRIVER_OBJECT driver) {
    std::lock_guard lock(g_logMutex);
    char name[32];
    snprintf(name, sizeof name, "%.*ls:unload", int(driver->DriverName.Length / sizeof(WCHAR)),
             driver->DriverName.Buffer);
    g_log.push_back(name);
}

void Install(PDRIVER_OBJECT driver) {
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    driver->DriverUnload = Unload;
}

}  // namespace

const GUID kTestInterface = {
    0x5e1f0a1c, 0x2b3d, 0x4e5f, {0x80, 0x91, 0xa2, 0xb3, 0xc4, 0xd5, 0xe6, 0xf7}};

Behaviour& Config() {
    return g_config;
}

std::vector<std::string> TakeLog() {
    std::lock_guard lock(g_logMutex);
    std::vector<std::string> out;
    out.swap(g_log);
    return out;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    Install(driver);
    g_config = Behaviour{};
    g_nextFdo = g_nextChild = g_nextLeaf = 1;
    TakeLog();
    return STATUS_SUCCESS;
}

NTSTATUS FuncEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    Install(driver);
    driver->DriverExtension->AddDevice = AddFunction;
    return STATUS_SUCCESS;
}

NTSTATUS LeafEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    Install(driver);
    driver->DriverExtension->AddDevice = AddLeaf;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreateRootDevice(PDRIVER_OBJECT busDriver, int n) {
    PDEVICE_OBJECT device;
    if (!NT_SUCCESS(IoCreateDevice(busDriver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device)))
        return nullptr;
    auto* e = new (device->DeviceExtension) Ext{};
    e->role = Role::Pdo;
    e->self = device;
    e->index = n;
    snprintf(e->name, sizeof e->name, "bus%d", n);
    e->deviceId = kFuncHardwareId;
    swprintf(e->instanceId, 8, L"%d", n);
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return device;
}

void DeleteRootDevice(PDEVICE_OBJECT device) {
    IoDeleteDevice(device);
}

}  // namespace q407::test::pnp
