// Three small WDM drivers for exercising the Plug and Play and power managers, written as such
// drivers are: "TstBus" owns root physical devices; "TstFunc" is the function driver above one
// (it registers and enables a device interface at start and enumerates one child physical
// device); "TstLeaf" is the function driver on that child. Every request a device sees is logged
// as "<device>:<request>", e.g. "fdo1:query-remove", "child1:start", "leaf1:set-power S3".
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"

namespace q407::test::pnp {

// Hardware IDs the drivers are registered for.
inline constexpr wchar_t kFuncHardwareId[] = L"TEST\\FUNC";
inline constexpr wchar_t kLeafHardwareId[] = L"TEST\\LEAF";

// Behaviour switches, read when a request arrives.
struct Behaviour {
    bool fdoVetoesQueryRemove = false;
    bool leafVetoesQueryRemove = false;
    bool fdoVetoesQueryStop = false;
    bool fdoVetoesQueryPower = false;
    bool leafFailsStart = false;
    bool leafKeepsDeviceOnRemove = false;     // a driver fault
    bool leafLeavesInitializingFlag = false;  // a driver fault
    bool fdoEnumeratesChild = true;
};

Behaviour& Config();
std::vector<std::string> TakeLog();
// The interface class the function driver enables at start.
extern const GUID kTestInterface;

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS FuncEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS LeafEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A root physical device of TstBus (loaded by the caller) with device ID "TEST\FUNC" and the
// given instance ID; logged as "bus<n>".
PDEVICE_OBJECT CreateRootDevice(PDRIVER_OBJECT busDriver, int n);
void DeleteRootDevice(PDEVICE_OBJECT device);

}  // namespace q407::test::pnp
