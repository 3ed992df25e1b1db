// A configurable WDM driver for exercising the I/O manager: devices are either a bottom device
// that completes requests (at once, or later from a timer DPC, optionally cancelable) or a filter
// that passes them down with an optional completion routine. Every event is logged by name.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/wdk.h"

namespace q407::test {

struct TestDevice {
    enum class Role { Bottom, Filter } role = Role::Bottom;
    const char* name = "";
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<std::string>* log = nullptr;

    // Filter: completion routine on the next location.
    bool setRoutine = false;
    bool onSuccess = true, onError = true, onCancel = true;
    NTSTATUS routineResult = STATUS_SUCCESS;
    bool propagatePending = true;  // the routine marks the IRP pending when PendingReturned
    bool pendWhenKeeping = true;   // a routine that keeps the IRP: the dispatch pends it first
    bool sawPendingReturned = false;
    PIRP heldIrp = nullptr;  // set when the routine returned STATUS_MORE_PROCESSING_REQUIRED

    // Bottom: how requests end.
    bool pend = false;
    bool markPending = true;  // a pending request is marked before STATUS_PENDING is returned
    bool cancelable = false;
    LONGLONG completeAfter = 0;  // 100 ns; completion from a timer DPC
    NTSTATUS completeStatus = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    KTIMER timer;
    KDPC dpc;
    PIRP pending = nullptr;
    KSPIN_LOCK lock = 0;

    // Device control with METHOD_BUFFERED: the reply is the input with every byte incremented,
    // unless the test handles device control itself (status, and Information on success).
    NTSTATUS (*control)(PIRP irp, ULONG_PTR* information) = nullptr;
    int creates = 0, cleanups = 0, closes = 0, controls = 0;
};

// Loads the test driver (service "TestDrv") and creates a device with a TestDevice extension.
PDRIVER_OBJECT LoadTestDriver();
TestDevice* CreateTestDevice(PDRIVER_OBJECT driver, TestDevice::Role role, const char* name,
                             std::vector<std::string>* log);
// Attaches a filter device on top of a stack.
void Attach(TestDevice* filter, PDEVICE_OBJECT stack);
void DeleteTestDevice(TestDevice* device);

}  // namespace q407::test
