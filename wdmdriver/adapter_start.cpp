// The adapter's start routine: the stream link query, the port-events check, and the subdevices
// with their physical connections.
#include "platform/kernel/wdk.h"
#include "shared/device_interface.h"
#include "wdmdriver/adapter_driver.h"
#include "wdmdriver/midi_miniport.h"
#include "wdmdriver/subdevice_table.h"
#include "wdmdriver/topology_miniport.h"
#include "wdmdriver/wave_miniport.h"
#include "wdmdriver/wdm_trace.h"

namespace q407::wdm {
namespace {

const GUID kStreamLinkGuid = {
    GUID_Q407_STREAM_LINK.Data1,
    GUID_Q407_STREAM_LINK.Data2,
    GUID_Q407_STREAM_LINK.Data3,
    {GUID_Q407_STREAM_LINK.Data4[0], GUID_Q407_STREAM_LINK.Data4[1], GUID_Q407_STREAM_LINK.Data4[2],
     GUID_Q407_STREAM_LINK.Data4[3], GUID_Q407_STREAM_LINK.Data4[4], GUID_Q407_STREAM_LINK.Data4[5],
     GUID_Q407_STREAM_LINK.Data4[6], GUID_Q407_STREAM_LINK.Data4[7]}};

AdapterExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<AdapterExtension*>(device->DeviceExtension);
}

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the request is ours to free
}

// The USB driver's child answers a query-interface request for the link with the record; the
// port-class driver passes the request down to it.
NTSTATUS QueryStreamLink(PDEVICE_OBJECT device, StreamLinkInterface* link) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &kStreamLinkGuid;
    next->Parameters.QueryInterface.Size = kStreamLinkSize;
    next->Parameters.QueryInterface.Version = kStreamLinkVersion;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(link);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        NTSTATUS waited = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        UNREFERENCED_PARAMETER(waited);  // untimed kernel-mode wait: it returns when set
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// The port-class driver of this system must offer port events.
NTSTATUS CheckPortEvents() {
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) return status;
    PVOID events = nullptr;
    status = port->QueryInterface(IID_IPortEvents, &events);
    if (NT_SUCCESS(status) && events != nullptr) static_cast<PPORTEVENTS>(events)->Release();
    port->Release();
    return NT_SUCCESS(status) && events != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

using MiniportFactory = NTSTATUS (*)(PUNKNOWN* unknown);

// Creates one port with its miniport, initialises and registers it under name, and hands back
// the port's unknown for the physical connections when asked for it.
NTSTATUS CreateSubdevice(PDEVICE_OBJECT device, PIRP irp, const GUID& portClass,
                         MiniportFactory factory, StreamLinkInterface* link,
                         PRESOURCELIST resourceList, PWCHAR name, PUNKNOWN* portUnknown) {
    if (portUnknown != nullptr) *portUnknown = nullptr;
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = nullptr;
    status = factory(&miniport);
    if (NT_SUCCESS(status))
        status = port->Init(device, irp, miniport, reinterpret_cast<PUNKNOWN>(link), resourceList);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(device, name, port);
    if (NT_SUCCESS(status) && portUnknown != nullptr) {
        PVOID unknown = nullptr;
        status = port->QueryInterface(IID_IUnknown, &unknown);
        if (NT_SUCCESS(status)) *portUnknown = static_cast<PUNKNOWN>(unknown);
    }
    if (miniport != nullptr) miniport->Release();
    port->Release();
    return status;
}

NTSTATUS FormatName(PWCHAR buffer, const WCHAR* format, ULONG number) {
    return RtlStringCchPrintfW(buffer, kSubdeviceNameChars, format, static_cast<int>(number));
}

// The pins come from the table the mixer miniport set when it described itself for the pair.
NTSTATUS ConnectPair(PDEVICE_OBJECT device, ULONG index, PUNKNOWN wave, PUNKNOWN mixer) {
    const int* pins = TopologyConnectionTable(index);
    if (pins == nullptr) return STATUS_INVALID_PARAMETER;
    const int mixerFromWave = pins[kTopologyConnectionMixerFromWave];
    const int mixerToWave = pins[kTopologyConnectionMixerToWave];
    const int waveFromMixer = pins[kTopologyConnectionWaveFromMixer];
    const int waveToMixer = pins[kTopologyConnectionWaveToMixer];
    NTSTATUS status = STATUS_SUCCESS;
    if (waveToMixer >= 0 && mixerFromWave >= 0)
        status = PcRegisterPhysicalConnection(device, wave, static_cast<ULONG>(waveToMixer), mixer,
                                              static_cast<ULONG>(mixerFromWave));
    if (mixerToWave >= 0 && waveFromMixer >= 0)
        status = PcRegisterPhysicalConnection(device, mixer, static_cast<ULONG>(mixerToWave), wave,
                                              static_cast<ULONG>(waveFromMixer));
    return status;
}

}  // namespace

NTSTATUS WdmStartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resourceList) {
    AdapterExtension* ext = ExtensionOf(device);
    StreamLinkInterface* link = &ext->link;
    // A start after a stop gives back the reference the earlier query took.
    if (link->dereference != nullptr && link->context != nullptr) link->dereference(link->context);
    RtlZeroMemory(link, sizeof(*link));
    // Every subdevice works through the link: without it the device cannot start.
    NTSTATUS status = QueryStreamLink(device, link);
    if (!NT_SUCCESS(status) || link->dispatch == nullptr) {
        WDM_TRACE("WDM StartDevice: stream link query failed 0x%08X\n",
                  static_cast<unsigned>(status));
        RtlZeroMemory(link, sizeof(*link));
        return NT_SUCCESS(status) ? STATUS_NOT_SUPPORTED : status;
    }

    status = CheckPortEvents();
    if (!NT_SUCCESS(status)) return status;

    WCHAR name[kSubdeviceNameChars];
    link->index = 0;
    for (ULONG index = 0; index < kWaveMixerPairs && NT_SUCCESS(status); ++index) {
        PUNKNOWN wave = nullptr;
        PUNKNOWN mixer = nullptr;
        status = FormatName(name, kWaveNameFormat, index + 1);
        if (NT_SUCCESS(status))
            status = CreateSubdevice(device, irp, CLSID_PortWavePci, CreateWaveMiniport, link,
                                     resourceList, name, &wave);
        if (NT_SUCCESS(status)) status = FormatName(name, kMixerNameFormat, index + 1);
        if (NT_SUCCESS(status))
            status = CreateSubdevice(device, irp, CLSID_PortTopology, CreateTopologyMiniport, link,
                                     nullptr, name, &mixer);
        if (wave != nullptr && mixer != nullptr) status = ConnectPair(device, index, wave, mixer);
        if (!NT_SUCCESS(status))
            WDM_TRACE("WDM StartDevice: pair %u failed 0x%08X\n", static_cast<unsigned>(index + 1),
                      static_cast<unsigned>(status));
        if (wave != nullptr) wave->Release();
        if (mixer != nullptr) mixer->Release();
        ++link->index;
    }

    // The MIDI subdevice is attempted whatever became of the pairs.
    link->index = 0;
    status = FormatName(name, kMidiNameFormat, 1);
    if (NT_SUCCESS(status))
        status = CreateSubdevice(device, irp, CLSID_PortDMus, CreateMidiMiniport, link, nullptr,
                                 name, nullptr);
    if (!NT_SUCCESS(status))
        WDM_TRACE("WDM StartDevice: MIDI failed 0x%08X\n", static_cast<unsigned>(status));
    return status;
}

}  // namespace q407::wdm
