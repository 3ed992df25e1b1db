// Property handlers of the wave filters: the filter's component ID and the converter nodes'
// channel configuration. Called by the port at PASSIVE_LEVEL.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {

inline constexpr GUID kComponentManufacturer = {
    0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kComponentProduct = {
    0xE64F2B7F, 0xA073, 0x4B3D, {0x9F, 0x1B, 0x51, 0x49, 0x98, 0x69, 0xA4, 0x01}};
inline constexpr GUID kComponentName = {
    0xB9A541A2, 0xF146, 0x4678, {0x9E, 0xDA, 0x23, 0x2E, 0x07, 0x89, 0x6E, 0x70}};
inline constexpr ULONG kComponentVersion = 1;
inline constexpr ULONG kComponentRevision = 2;

// Get: the component ID. A zero-sized value asks for the size (STATUS_BUFFER_OVERFLOW).
NTSTATUS NTAPI PropertyHandlerComponentId(PPCPROPERTY_REQUEST request);

// Set only: a speaker mask the device has a layout for is stored in the miniport with its channel
// count; any other mask, a get, or a value under 4 bytes is STATUS_INVALID_PARAMETER.
NTSTATUS NTAPI PropertyHandlerChannelConfig(PPCPROPERTY_REQUEST request);

// The channel count of an accepted speaker mask, 0 for a mask that is not accepted.
ULONG SpeakerMaskChannels(ULONG mask);

}  // namespace q407::wdm
