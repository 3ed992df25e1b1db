// Q407DRV's entry while the device's life cycle is not yet built: it traces, chooses the sample
// converters for the whole driver, and registers no device routines, so Plug and Play never
// hands it a device. The Windows build links the whole engine beside it.
#include "platform/kernel/wdk.h"
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/sample_converters.h"

namespace {

void DriverUnload(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject);
    ENGINE_TRACE("Q407DRV: unload\n");
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    ENGINE_TRACE("Q407DRV: entry\n");
    // Chosen once, here, before any engine exists; engines find it selected.
    if (!q407::SelectConverters(q407::kConverterModeDefault))
        ENGINE_TRACE("Q407DRV: converters were already selected\n");
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
