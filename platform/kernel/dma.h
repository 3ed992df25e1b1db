// DMA adapters and the standard bus interface that hands them out: the records and routine types
// a bus driver fills and a port-class driver calls, with the layouts the 64-bit kit gives them.
#pragma once

#include "io_manager.h"
#include "nt_types.h"

using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = PHYSICAL_ADDRESS*;

// {496B8280-6F25-11D0-BEAF-08002BE2092F}
inline constexpr GUID GUID_BUS_INTERFACE_STANDARD = {
    0x496B8280u, 0x6F25u, 0x11D0u, {0xBEu, 0xAFu, 0x08u, 0x00u, 0x2Bu, 0xE2u, 0x09u, 0x2Fu}};

enum INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    VMEBus,
    NuBus,
    PCMCIABus,
    CBus,
    MPIBus,
    MPSABus,
    ProcessorInternal,
    InternalPowerBus,
    PNPISABus,
    PNPBus,
    Vmcs,
    ACPIBus,
    MaximumInterfaceType
};
enum DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, Width64Bits, WidthNoWrap, MaximumDmaWidth };
enum DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed };

#define DEVICE_DESCRIPTION_VERSION 0x0000
#define DEVICE_DESCRIPTION_VERSION1 0x0001
#define DEVICE_DESCRIPTION_VERSION2 0x0002

struct DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    INTERFACE_TYPE InterfaceType;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
};
using PDEVICE_DESCRIPTION = DEVICE_DESCRIPTION*;
static_assert(sizeof(DEVICE_DESCRIPTION) == 40);

struct SCATTER_GATHER_ELEMENT {
    PHYSICAL_ADDRESS Address;
    ULONG Length;
    ULONG_PTR Reserved;
};
struct SCATTER_GATHER_LIST {
    ULONG NumberOfElements;
    ULONG_PTR Reserved;
    SCATTER_GATHER_ELEMENT Elements[1];
};
using PSCATTER_GATHER_LIST = SCATTER_GATHER_LIST*;

enum IO_ALLOCATION_ACTION { KeepObject = 1, DeallocateObject, DeallocateObjectKeepRegisters };
using PDRIVER_CONTROL = IO_ALLOCATION_ACTION (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                 PVOID MapRegisterBase, PVOID Context);
using PDRIVER_LIST_CONTROL = void (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                      PSCATTER_GATHER_LIST ScatterGather, PVOID Context);

struct DMA_OPERATIONS;
struct DMA_ADAPTER {
    USHORT Version;
    USHORT Size;
    DMA_OPERATIONS* DmaOperations;
};
using PDMA_ADAPTER = DMA_ADAPTER*;
static_assert(sizeof(DMA_ADAPTER) == 16);

using PPUT_DMA_ADAPTER = void (*)(PDMA_ADAPTER DmaAdapter);
using PALLOCATE_COMMON_BUFFER = PVOID (*)(PDMA_ADAPTER DmaAdapter, ULONG Length,
                                          PPHYSICAL_ADDRESS LogicalAddress, BOOLEAN CacheEnabled);
using PFREE_COMMON_BUFFER = void (*)(PDMA_ADAPTER DmaAdapter, ULONG Length,
                                     PHYSICAL_ADDRESS LogicalAddress, PVOID VirtualAddress,
                                     BOOLEAN CacheEnabled);
using PALLOCATE_ADAPTER_CHANNEL = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject,
                                               ULONG NumberOfMapRegisters,
                                               PDRIVER_CONTROL ExecutionRoutine, PVOID Context);
using PFLUSH_ADAPTER_BUFFERS = BOOLEAN (*)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID MapRegisterBase,
                                           PVOID CurrentVa, ULONG Length, BOOLEAN WriteToDevice);
using PFREE_ADAPTER_CHANNEL = void (*)(PDMA_ADAPTER DmaAdapter);
using PFREE_MAP_REGISTERS = void (*)(PDMA_ADAPTER DmaAdapter, PVOID MapRegisterBase,
                                     ULONG NumberOfMapRegisters);
using PMAP_TRANSFER = PHYSICAL_ADDRESS (*)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID MapRegisterBase,
                                           PVOID CurrentVa, PULONG Length, BOOLEAN WriteToDevice);
using PGET_DMA_ALIGNMENT = ULONG (*)(PDMA_ADAPTER DmaAdapter);
using PREAD_DMA_COUNTER = ULONG (*)(PDMA_ADAPTER DmaAdapter);
using PGET_SCATTER_GATHER_LIST = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject,
                                              PMDL Mdl, PVOID CurrentVa, ULONG Length,
                                              PDRIVER_LIST_CONTROL ExecutionRoutine, PVOID Context,
                                              BOOLEAN WriteToDevice);
using PPUT_SCATTER_GATHER_LIST = void (*)(PDMA_ADAPTER DmaAdapter,
                                          PSCATTER_GATHER_LIST ScatterGather,
                                          BOOLEAN WriteToDevice);
using PCALCULATE_SCATTER_GATHER_LIST_SIZE = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PMDL Mdl,
                                                         PVOID CurrentVa, ULONG Length,
                                                         PULONG ScatterGatherListSize,
                                                         PULONG pNumberOfMapRegisters);
using PBUILD_SCATTER_GATHER_LIST =
    NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject, PMDL Mdl, PVOID CurrentVa,
                 ULONG Length, PDRIVER_LIST_CONTROL ExecutionRoutine, PVOID Context,
                 BOOLEAN WriteToDevice, PVOID ScatterGatherBuffer, ULONG ScatterGatherLength);
using PBUILD_MDL_FROM_SCATTER_GATHER_LIST = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter,
                                                         PSCATTER_GATHER_LIST ScatterGather,
                                                         PMDL OriginalMdl, PMDL* TargetMdl);

// The operation table as the current kits lay it out. The emulated machine has no DMA hardware
// and calls none of the version-2 members, so they are declared by name only, untyped.
struct DMA_OPERATIONS {
    ULONG Size;
    PPUT_DMA_ADAPTER PutDmaAdapter;
    PALLOCATE_COMMON_BUFFER AllocateCommonBuffer;
    PFREE_COMMON_BUFFER FreeCommonBuffer;
    PALLOCATE_ADAPTER_CHANNEL AllocateAdapterChannel;
    PFLUSH_ADAPTER_BUFFERS FlushAdapterBuffers;
    PFREE_ADAPTER_CHANNEL FreeAdapterChannel;
    PFREE_MAP_REGISTERS FreeMapRegisters;
    PMAP_TRANSFER MapTransfer;
    PGET_DMA_ALIGNMENT GetDmaAlignment;
    PREAD_DMA_COUNTER ReadDmaCounter;
    PGET_SCATTER_GATHER_LIST GetScatterGatherList;
    PPUT_SCATTER_GATHER_LIST PutScatterGatherList;
    PCALCULATE_SCATTER_GATHER_LIST_SIZE CalculateScatterGatherList;
    PBUILD_SCATTER_GATHER_LIST BuildScatterGatherList;
    PBUILD_MDL_FROM_SCATTER_GATHER_LIST BuildMdlFromScatterGatherList;
    PVOID GetDmaAdapterInfo;
    PVOID GetDmaTransferInfo;
    PVOID InitializeDmaTransferContext;
    PVOID AllocateCommonBufferEx;
    PVOID AllocateAdapterChannelEx;
    PVOID ConfigureAdapterChannel;
    PVOID CancelAdapterChannel;
    PVOID MapTransferEx;
    PVOID GetScatterGatherListEx;
    PVOID BuildScatterGatherListEx;
    PVOID FlushAdapterBuffersEx;
    PVOID FreeAdapterObject;
    PVOID CancelMappedTransfer;
};
using PDMA_OPERATIONS = DMA_OPERATIONS*;
static_assert(sizeof(DMA_OPERATIONS) == 232);
static_assert(offsetof(DMA_OPERATIONS, AllocateCommonBuffer) == 16);
static_assert(offsetof(DMA_OPERATIONS, BuildMdlFromScatterGatherList) == 120);

// --- The standard bus interface (query-interface for GUID_BUS_INTERFACE_STANDARD) --------------
using PTRANSLATE_BUS_ADDRESS = BOOLEAN (*)(PVOID Context, PHYSICAL_ADDRESS BusAddress, ULONG Length,
                                           PULONG AddressSpace,
                                           PPHYSICAL_ADDRESS TranslatedAddress);
using PGET_DMA_ADAPTER = PDMA_ADAPTER (*)(PVOID Context, PDEVICE_DESCRIPTION DeviceDescriptor,
                                          PULONG NumberOfMapRegisters);
using PGET_SET_DEVICE_DATA = ULONG (*)(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset,
                                       ULONG Length);

struct BUS_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PTRANSLATE_BUS_ADDRESS TranslateBusAddress;
    PGET_DMA_ADAPTER GetDmaAdapter;
    PGET_SET_DEVICE_DATA SetBusData;
    PGET_SET_DEVICE_DATA GetBusData;
};
using PBUS_INTERFACE_STANDARD = BUS_INTERFACE_STANDARD*;
static_assert(sizeof(BUS_INTERFACE_STANDARD) == 64);
static_assert(offsetof(BUS_INTERFACE_STANDARD, GetDmaAdapter) == 40);
