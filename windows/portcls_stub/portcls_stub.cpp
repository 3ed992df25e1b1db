// A stand-in portcls.sys for the Wine smoke run of Q407WDM.sys: Wine has no port-class driver, so
// the loader could not resolve the audio driver's imports without it. It is a test tool, never
// shipped. Initialising the adapter driver installs the add-device routine and succeeds, which is
// all that driver entry and unload need; every other function refuses, since nothing here can
// start a device.
//
// Declared here rather than through <portcls.h>: the stub implements the functions that header
// imports, and their linkage and parameter layout are what matter to the loader.
#include <wdm.h>

extern "C" {

NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject,
                                         PUNICODE_STRING RegistryPathName,
                                         PDRIVER_ADD_DEVICE AddDevice) {
    UNREFERENCED_PARAMETER(RegistryPathName);
    if (DriverObject == NULL || DriverObject->DriverExtension == NULL || AddDevice == NULL)
        return STATUS_INVALID_PARAMETER;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL,
               "portcls stand-in: adapter driver initialised\n");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PVOID StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(PhysicalDeviceObject);
    UNREFERENCED_PARAMETER(StartDevice);
    UNREFERENCED_PARAMETER(MaxObjects);
    UNREFERENCED_PARAMETER(DeviceExtensionSize);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NTAPI PcNewPort(PVOID* OutPort, const GUID* ClassId) {
    UNREFERENCED_PARAMETER(ClassId);
    if (OutPort != NULL) *OutPort = NULL;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NTAPI PcNewServiceGroup(PVOID* OutServiceGroup, PVOID OuterUnknown) {
    UNREFERENCED_PARAMETER(OuterUnknown);
    if (OutServiceGroup != NULL) *OutServiceGroup = NULL;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PVOID Unknown) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Name);
    UNREFERENCED_PARAMETER(Unknown);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PVOID FromUnknown,
                                            ULONG FromPin, PVOID ToUnknown, ULONG ToPin) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(FromUnknown);
    UNREFERENCED_PARAMETER(FromPin);
    UNREFERENCED_PARAMETER(ToUnknown);
    UNREFERENCED_PARAMETER(ToPin);
    return STATUS_NOT_IMPLEMENTED;
}

// An export driver's image entry; the loader never starts it as a service.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}

}  // extern "C"
