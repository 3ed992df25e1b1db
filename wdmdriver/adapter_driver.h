// Q407WDM's adapter: the driver entry, the add-device routine and the start routine that binds to
// the USB driver through the stream link and registers the subdevices: nine wave/mixer pairs
// ("ZEL_Wave1".."ZEL_Wave9", "ZEL_Mixer1".."ZEL_Mixer9") with their physical connections, and
// one MIDI subdevice ("ZEL_Midi1").
#pragma once

#include "platform/portcls/portcls.h"
#include "shared/stream_link.h"

namespace q407::wdm {

inline constexpr ULONG kMaxSubdevices = 19;
inline constexpr ULONG kWaveMixerPairs = 9;

// The adapter's device extension: the port-class driver's part, then the stream link record.
struct AdapterExtension {
    UCHAR portClass[PORT_CLASS_DEVICE_EXTENSION_SIZE];
    StreamLinkInterface link;
};
inline constexpr ULONG kAdapterExtensionSize = 568;
static_assert(sizeof(AdapterExtension) == kAdapterExtensionSize);
static_assert(offsetof(AdapterExtension, link) == 512);

// The bench loads the driver through this entry; the Windows image's DriverEntry calls it.
NTSTATUS WdmDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// The add-device and start routines the entry hands to the port-class driver.
NTSTATUS WdmAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
NTSTATUS WdmStartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resourceList);

}  // namespace q407::wdm
