// The image entry of Q407WDM.sys; the bench loads the driver through WdmDriverEntry instead, so
// that several drivers can live in one test program.
#include "wdmdriver/adapter_driver.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return q407::wdm::WdmDriverEntry(DriverObject, RegistryPath);
}
