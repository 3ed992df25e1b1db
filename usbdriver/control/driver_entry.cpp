// The image entry of Q407DRV.sys; the bench loads the driver through Q407DriverEntry instead, so
// that several drivers can live in one test program.
#include "usbdriver/control/function_device.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return q407::Q407DriverEntry(DriverObject, RegistryPath);
}
