// The emulated DMA adapter: its operation table and the one adapter record.
//
// The adapter remembers only the most recent buffer it allocated, whichever kind. Releasing
// "the remembered buffer" frees it only when it is an adapter channel's buffer: a common buffer
// belongs to its caller until free-common-buffer, so freeing it here would free it twice. A
// buffer freed through any operation is forgotten, so nothing frees it again.
#include "usbdriver/control/emulated_dma_adapter.h"

#include "usbdriver/driver_pool.h"

namespace q407 {
namespace {

// The remembered buffer and its kind change together under the adapter's lock. A zero spin lock
// is a released one, so the static record needs no initialisation at run time.
struct Remembered {
    KSPIN_LOCK lock;
    PVOID buffer;
    BOOLEAN isChannel;  // allocated by allocate-adapter-channel ("Ze22")
};
Remembered g_Remembered = {0, nullptr, FALSE};

void Remember(PVOID buffer, BOOLEAN isChannel) {
    KIRQL irql;
    KeAcquireSpinLock(&g_Remembered.lock, &irql);
    g_Remembered.buffer = buffer;
    g_Remembered.isChannel = isChannel;
    KeReleaseSpinLock(&g_Remembered.lock, irql);
}

// Forgets the buffer if it is the remembered one.
void Forget(PVOID buffer) {
    KIRQL irql;
    KeAcquireSpinLock(&g_Remembered.lock, &irql);
    if (g_Remembered.buffer == buffer) {
        g_Remembered.buffer = nullptr;
        g_Remembered.isChannel = FALSE;
    }
    KeReleaseSpinLock(&g_Remembered.lock, irql);
}

// Takes the remembered buffer if it is a channel buffer; the caller frees it.
PVOID TakeRememberedChannel() {
    KIRQL irql;
    KeAcquireSpinLock(&g_Remembered.lock, &irql);
    PVOID buffer = nullptr;
    if (g_Remembered.isChannel) {
        buffer = g_Remembered.buffer;
        g_Remembered.buffer = nullptr;
        g_Remembered.isChannel = FALSE;
    }
    KeReleaseSpinLock(&g_Remembered.lock, irql);
    return buffer;
}

void PutDmaAdapter(PDMA_ADAPTER adapter) {
    UNREFERENCED_PARAMETER(adapter);  // the adapter is static: nothing to release
}

PVOID AllocateCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PPHYSICAL_ADDRESS logicalAddress,
                           BOOLEAN cacheEnabled) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(cacheEnabled);
    PVOID buffer = nullptr;
    if (length > 0) buffer = ExAllocatePoolWithTag(DriverPoolType(), length, kCommonBufferPoolTag);
    Remember(buffer, FALSE);
    // No bus address exists; nothing may program a device with one.
    if (logicalAddress != nullptr) logicalAddress->QuadPart = 0;
    return buffer;
}

void FreeCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PHYSICAL_ADDRESS logicalAddress,
                      PVOID virtualAddress, BOOLEAN cacheEnabled) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(logicalAddress);
    UNREFERENCED_PARAMETER(cacheEnabled);
    if (virtualAddress == nullptr) return;
    Forget(virtualAddress);
    ExFreePoolWithTag(virtualAddress, kCommonBufferPoolTag);
}

NTSTATUS AllocateAdapterChannel(PDMA_ADAPTER adapter, PDEVICE_OBJECT device, ULONG mapRegisters,
                                PDRIVER_CONTROL executionRoutine, PVOID context) {
    UNREFERENCED_PARAMETER(adapter);
    PVOID buffer = nullptr;
    // A count whose byte size does not fit is refused like a failed allocation.
    if (mapRegisters != 0 && mapRegisters <= ULONG(0xFFFFFFFFu) / kMapRegisterBytes)
        buffer = ExAllocatePoolWithTag(DriverPoolType(), SIZE_T(mapRegisters) * kMapRegisterBytes,
                                       kMapRegisterPoolTag);
    Remember(buffer, buffer != nullptr ? TRUE : FALSE);
    if (buffer == nullptr) return STATUS_UNSUCCESSFUL;
    if (executionRoutine != nullptr) {
        IO_ALLOCATION_ACTION action = executionRoutine(
            device, device != nullptr ? device->CurrentIrp : nullptr, buffer, context);
        // The buffer stays the caller's until it frees the channel or its map registers, whatever
        // the routine answers: there is no hardware to hand back.
        UNREFERENCED_PARAMETER(action);
    }
    return STATUS_SUCCESS;
}

BOOLEAN FlushAdapterBuffers(PDMA_ADAPTER adapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                            ULONG length, BOOLEAN writeToDevice) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(mdl);
    UNREFERENCED_PARAMETER(mapRegisterBase);
    UNREFERENCED_PARAMETER(currentVa);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(writeToDevice);
    return TRUE;
}

void FreeAdapterChannel(PDMA_ADAPTER adapter) {
    UNREFERENCED_PARAMETER(adapter);
    PVOID buffer = TakeRememberedChannel();
    if (buffer != nullptr) ExFreePoolWithTag(buffer, kMapRegisterPoolTag);
}

void FreeMapRegisters(PDMA_ADAPTER adapter, PVOID mapRegisterBase, ULONG count) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(count);
    if (mapRegisterBase == nullptr) return;
    Forget(mapRegisterBase);
    ExFreePoolWithTag(mapRegisterBase, kMapRegisterPoolTag);
}

PHYSICAL_ADDRESS MapTransfer(PDMA_ADAPTER adapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                             PULONG length, BOOLEAN writeToDevice) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(mdl);
    UNREFERENCED_PARAMETER(mapRegisterBase);
    UNREFERENCED_PARAMETER(currentVa);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(writeToDevice);
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0;
    return address;
}

ULONG GetDmaAlignment(PDMA_ADAPTER adapter) {
    UNREFERENCED_PARAMETER(adapter);
    return 0;
}

ULONG ReadDmaCounter(PDMA_ADAPTER adapter) {
    UNREFERENCED_PARAMETER(adapter);
    return 0;
}

// Answers success without calling the routine: no transfer is ever mapped.
NTSTATUS GetScatterGatherList(PDMA_ADAPTER adapter, PDEVICE_OBJECT device, PMDL mdl,
                              PVOID currentVa, ULONG length, PDRIVER_LIST_CONTROL executionRoutine,
                              PVOID context, BOOLEAN writeToDevice) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(mdl);
    UNREFERENCED_PARAMETER(currentVa);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(executionRoutine);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(writeToDevice);
    return STATUS_SUCCESS;
}

void PutScatterGatherList(PDMA_ADAPTER adapter, PSCATTER_GATHER_LIST list, BOOLEAN writeToDevice) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(list);
    UNREFERENCED_PARAMETER(writeToDevice);
}

NTSTATUS CalculateScatterGatherList(PDMA_ADAPTER adapter, PMDL mdl, PVOID currentVa, ULONG length,
                                    PULONG listSize, PULONG mapRegisters) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(mdl);
    UNREFERENCED_PARAMETER(currentVa);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(listSize);
    UNREFERENCED_PARAMETER(mapRegisters);
    return STATUS_SUCCESS;
}

NTSTATUS BuildScatterGatherList(PDMA_ADAPTER adapter, PDEVICE_OBJECT device, PMDL mdl,
                                PVOID currentVa, ULONG length,
                                PDRIVER_LIST_CONTROL executionRoutine, PVOID context,
                                BOOLEAN writeToDevice, PVOID listBuffer, ULONG listLength) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(mdl);
    UNREFERENCED_PARAMETER(currentVa);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(executionRoutine);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(writeToDevice);
    UNREFERENCED_PARAMETER(listBuffer);
    UNREFERENCED_PARAMETER(listLength);
    return STATUS_SUCCESS;
}

NTSTATUS BuildMdlFromScatterGatherList(PDMA_ADAPTER adapter, PSCATTER_GATHER_LIST list,
                                       PMDL originalMdl, PMDL* targetMdl) {
    UNREFERENCED_PARAMETER(adapter);
    UNREFERENCED_PARAMETER(list);
    UNREFERENCED_PARAMETER(originalMdl);
    UNREFERENCED_PARAMETER(targetMdl);
    return STATUS_SUCCESS;
}

// Built at compile time: a driver image runs no constructors of its own. Members the table does
// not list stay null.
constexpr DMA_OPERATIONS MakeOperations() {
    DMA_OPERATIONS operations{};
    operations.Size = sizeof(DMA_OPERATIONS);
    operations.PutDmaAdapter = PutDmaAdapter;
    operations.AllocateCommonBuffer = AllocateCommonBuffer;
    operations.FreeCommonBuffer = FreeCommonBuffer;
    operations.AllocateAdapterChannel = AllocateAdapterChannel;
    operations.FlushAdapterBuffers = FlushAdapterBuffers;
    operations.FreeAdapterChannel = FreeAdapterChannel;
    operations.FreeMapRegisters = FreeMapRegisters;
    operations.MapTransfer = MapTransfer;
    operations.GetDmaAlignment = GetDmaAlignment;
    operations.ReadDmaCounter = ReadDmaCounter;
    operations.GetScatterGatherList = GetScatterGatherList;
    operations.PutScatterGatherList = PutScatterGatherList;
    operations.CalculateScatterGatherList = CalculateScatterGatherList;
    operations.BuildScatterGatherList = BuildScatterGatherList;
    operations.BuildMdlFromScatterGatherList = BuildMdlFromScatterGatherList;
    return operations;
}

constinit DMA_OPERATIONS g_Operations = MakeOperations();
constinit DMA_ADAPTER g_Adapter = {1, sizeof(DMA_ADAPTER), &g_Operations};

}  // namespace

PDMA_ADAPTER GetEmulatedDmaAdapter(PVOID context, PDEVICE_DESCRIPTION description,
                                   PULONG numberOfMapRegisters) {
    UNREFERENCED_PARAMETER(context);
    if (numberOfMapRegisters != nullptr) {
        ULONG pages = 1;
        if (description != nullptr && description->MaximumLength > kMapRegisterBytes)
            pages = description->MaximumLength / kMapRegisterBytes +
                    (description->MaximumLength % kMapRegisterBytes != 0 ? 1 : 0);
        *numberOfMapRegisters = pages;
    }
    return &g_Adapter;
}

PVOID EmulatedDmaAdapterLastBuffer() {
    KIRQL irql;
    KeAcquireSpinLock(&g_Remembered.lock, &irql);
    PVOID buffer = g_Remembered.buffer;
    KeReleaseSpinLock(&g_Remembered.lock, irql);
    return buffer;
}

}  // namespace q407
