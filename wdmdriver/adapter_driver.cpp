// Q407WDM's entry, unload and add-device.
#include "wdmdriver/adapter_driver.h"

#include "wdmdriver/driver_pool.h"
#include "wdmdriver/topology_miniport.h"
#include "wdmdriver/wdm_trace.h"

namespace q407::wdm {
namespace {

// The port-class driver's own unload, which the entry replaces and calls on.
PDRIVER_UNLOAD g_PortClassUnload = nullptr;

void WdmDriverUnload(PDRIVER_OBJECT driver) {
    WDM_TRACE("WDM DriverUnload >>>>>>\n");
    if (g_PortClassUnload != nullptr) g_PortClassUnload(driver);
}

}  // namespace

NTSTATUS WdmDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    // Before anything is allocated. A version that cannot be read leaves the plain pool, which
    // every system accepts, so the entry goes on.
    const NTSTATUS poolStatus = ChooseWdmPool();
    if (!NT_SUCCESS(poolStatus))
        WDM_TRACE("WDM DriverEntry: system version unreadable 0x%08X\n",
                  static_cast<unsigned>(poolStatus));
    // Mutes are not kept across loads.
    ResetTopologyMutes();
    const NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, WdmAddDevice);
    if (NT_SUCCESS(status)) {
        g_PortClassUnload = driver->DriverUnload;
        driver->DriverUnload = WdmDriverUnload;
    }
    return status;
}

NTSTATUS WdmAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    return PcAddAdapterDevice(driver, physicalDevice, WdmStartDevice, kMaxSubdevices,
                              kAdapterExtensionSize);
}

}  // namespace q407::wdm
