// Q407DRV's entry while the device's life cycle is not yet built: it traces and registers no
// device routines, so Plug and Play never hands it a device. The Windows build links the whole
// engine beside it (the first engine selects the driver-wide converters).
#include "platform/kernel/wdk.h"
#include "usbdriver/engine/engine_trace.h"

namespace {

void DriverUnload(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject);
    ENGINE_TRACE("Q407DRV: unload\n");
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    ENGINE_TRACE("Q407DRV: entry\n");
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
