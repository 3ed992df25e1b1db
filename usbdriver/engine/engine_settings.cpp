// The MixerSettings block: its registry storage under the device's driver key and the range
// checks applied to a stored block before the engine adopts it.
#include <cstddef>

#include "usbdriver/engine/settings_ranges.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr SIZE_T kValueNameChars = 32;
constexpr ULONG kSettingsKeyType = PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE;

// "MixerQ407" followed by the interface version 1.4: "MixerQ40714".
NTSTATUS BuildValueName(WCHAR (&buffer)[kValueNameChars], UNICODE_STRING* name) {
    const NTSTATUS status =
        RtlStringCchPrintfW(buffer, kValueNameChars, L"%ls%d%d", L"MixerQ407", 1, 4);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(name, buffer);
    return STATUS_SUCCESS;
}

// The driver key belongs to the physical device, which the engine's device sits directly on.
PDEVICE_OBJECT RegistryDevice(const StreamEngine& engine) {
    return engine.m_LowerDevice != nullptr ? engine.m_LowerDevice : engine.m_FunctionalDevice;
}

BOOLEAN IsValidLatency(LONG latency) {
    return latency >= kMinLatency && latency <= kMaxLatency;
}

}  // namespace

NTSTATUS StreamEngine::LoadSettings() {
    WCHAR nameBuffer[kValueNameChars];
    UNICODE_STRING name;
    NTSTATUS status = BuildValueName(nameBuffer, &name);
    if (!NT_SUCCESS(status)) return status;

    HANDLE key = nullptr;
    status = IoOpenDeviceRegistryKey(RegistryDevice(*this), kSettingsKeyType, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;

    const ULONG infoBytes =
        static_cast<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) + kMixerSettingsSize;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(DriverPoolType(), infoBytes, kEnginePoolTag));
    if (info == nullptr) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(info, infoBytes);
    ULONG needed = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, infoBytes, &needed);
    if (status == STATUS_BUFFER_OVERFLOW ||
        (NT_SUCCESS(status) && info->DataLength > kMixerSettingsSize)) {
        // A longer value is not ours to interpret: keep the defaults.
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (NT_SUCCESS(status)) {
        RtlCopyMemory(&m_Settings, info->Data, info->DataLength);
    }
    ExFreePoolWithTag(info, kEnginePoolTag);
    ZwClose(key);
    return status;
}

void StreamEngine::ValidateSettings() {
    BringMapAndRoutesIntoRange(m_Settings);
    ComputeInputSources();
    if (!IsValidSampleRate(static_cast<ULONG>(m_Settings.sampleRate)))
        m_Settings.sampleRate = static_cast<LONG>(kDefaultSampleRate);
    if (!IsValidLatency(m_Settings.latency)) m_Settings.latency = kFallbackLatency;
    if (m_Settings.usbBufferCount < kMinUsbBufferCount ||
        m_Settings.usbBufferCount > kMaxUsbBufferCount)
        m_Settings.usbBufferCount = kDefaultUsbBufferCount;
}

// Which device input feeds each capture destination comes from the INPUT records alone; a stored
// or client-sent value is never used, because it indexes the device inputs.
void StreamEngine::ComputeInputSources() {
    RouteRecord* records = m_Settings.routeTable.records;
    for (LONG i = 0; i < kRouteRecordCount; ++i) records[i].inputSource = kRouteNoInputSource;
    for (LONG d = 0; d < kRouteChannelsPerKind; ++d) {
        const RouteRecord& source = records[RouteRecordIndex(ClientKind::INPUT, d)];
        if (source.routeOut == 0) continue;
        if (source.targetKind < 0 || source.targetKind > kRouteMaxTargetKind) continue;
        if (source.targetChannel < 0 || source.targetChannel >= kRouteChannelsPerKind) continue;
        records[RouteRecordIndex(source.targetKind, source.targetChannel)].inputSource = d;
    }
}

NTSTATUS StreamEngine::SaveSettings(const void* block, ULONG length) {
    if (block == nullptr || length == 0 || length > kMixerSettingsSize)
        return STATUS_INVALID_PARAMETER;
    WCHAR nameBuffer[kValueNameChars];
    UNICODE_STRING name;
    NTSTATUS status = BuildValueName(nameBuffer, &name);
    if (!NT_SUCCESS(status)) return status;

    HANDLE key = nullptr;
    status = IoOpenDeviceRegistryKey(RegistryDevice(*this), kSettingsKeyType, KEY_WRITE, &key);
    if (!NT_SUCCESS(status)) return status;
    status = ZwSetValueKey(key, &name, 0, REG_BINARY, const_cast<void*>(block), length);
    ZwClose(key);
    return status;
}

}  // namespace q407
