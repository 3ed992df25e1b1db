// The three command classes of the control message protocol. Each command is a thin call into
// the facade, the client attachment or the engine; results go into the message in place.
#include "usbdriver/control/control_dispatch.h"

#include "usbdriver/control/client_attachment.h"
#include "usbdriver/engine/engine_trace.h"

namespace q407 {
namespace {

// Fields by byte offset. The offsets are the protocol's constants, checked at compile time.
template <ULONG Offset>
ULONG Word(const ControlMessage& m) {
    static_assert(Offset % 4 == 0 && Offset + 4 <= kControlMessageSize);
    ULONG value;
    RtlCopyMemory(&value, reinterpret_cast<const UCHAR*>(&m) + Offset, sizeof(value));
    return value;
}
template <ULONG Offset>
ULONG64 Quad(const ControlMessage& m) {
    static_assert(Offset % 8 == 0 && Offset + 8 <= kControlMessageSize);
    ULONG64 value;
    RtlCopyMemory(&value, reinterpret_cast<const UCHAR*>(&m) + Offset, sizeof(value));
    return value;
}
template <ULONG Offset>
UCHAR Byte(const ControlMessage& m) {
    return static_cast<UCHAR>(Word<Offset>(m) & 0xFFu);
}
template <ULONG Offset>
void SetWord(ControlMessage& m, ULONG value) {
    static_assert(Offset % 4 == 0 && Offset + 4 <= kControlMessageSize);
    RtlCopyMemory(reinterpret_cast<UCHAR*>(&m) + Offset, &value, sizeof(value));
}
template <ULONG Offset>
void SetQuad(ControlMessage& m, ULONG64 value) {
    static_assert(Offset % 8 == 0 && Offset + 8 <= kControlMessageSize);
    RtlCopyMemory(reinterpret_cast<UCHAR*>(&m) + Offset, &value, sizeof(value));
}

PVOID ClientPointer(ULONG64 address) {
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address));
}

const WCHAR kWdmServiceKey[] =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q407WDM_01";

// --- Class 1: device and driver services ------------------------------------------------------

NTSTATUS SendCodecBytes(StreamEngine* engine, const ControlMessage& m) {
    ULONG count = Word<cm::kCodecByteCount>(m);
    if (count == 0) return STATUS_SUCCESS;
    // Bytes beyond the command ring's size could never fit: they are dropped unread.
    if (count > static_cast<ULONG>(kCommandRingBytes))
        count = static_cast<ULONG>(kCommandRingBytes);
    UCHAR bytes[kCommandRingBytes];
    const NTSTATUS status =
        ProbeAndReadUserBuffer(bytes, ClientPointer(Quad<cm::kCodecBytesAddress>(m)), count);
    if (!NT_SUCCESS(status)) return status;
    const LONG written = engine->WriteCommandBytes(static_cast<LONG>(count), bytes);
    (void)written;  // what does not fit in the ring is dropped without notice
    return STATUS_SUCCESS;
}

NTSTATUS WriteFirmwareBlock(StreamEngine* engine, ControlMessage& m) {
    const ULONG length = Word<cm::kFirmwareLength>(m);
    UCHAR block[kFirmwareBlockBytes] = {};
    if (length == kFirmwareBlockBytes) {
        const NTSTATUS status = ProbeAndReadUserBuffer(
            block, ClientPointer(Quad<cm::kFirmwareBlockAddress>(m)), kFirmwareBlockBytes);
        if (!NT_SUCCESS(status)) return status;
    }
    // A wrong length reaches the engine too: it ends a running download.
    const NTSTATUS written =
        engine->WriteFirmwareBlock(length, block, Word<cm::kFirmwareBlockNumber>(m));
    SetWord<cm::kVerifyResult>(m, NT_SUCCESS(written) ? 1u : 0u);
    return STATUS_SUCCESS;
}

NTSTATUS DeviceServices(DeviceFacade* facade, ControlMessage& m) {
    StreamEngine* engine = facade->engine;
    switch (static_cast<DeviceServicesType>(m.type)) {
        case DeviceServicesType::QueryInterfaceVersion:
            SetWord<cm::kVersionMajor>(m, kInterfaceVersionMajor);
            SetWord<cm::kVersionMinor>(m, kInterfaceVersionMinor);
            return STATUS_SUCCESS;
        case DeviceServicesType::QueryChannelCounts:
            SetWord<cm::kInputChannels>(m, static_cast<ULONG>(kInputChannelCount));
            SetWord<cm::kOutputChannels>(m, static_cast<ULONG>(kOutputChannelCount));
            return STATUS_SUCCESS;
        case DeviceServicesType::QueryDriverVersion:
            SetWord<cm::kVersionMajor>(m, kDriverVersionMajor);
            SetWord<cm::kVersionMinor>(m, kDriverVersionMinor);
            return STATUS_SUCCESS;
        case DeviceServicesType::UnloadWdmDriver: {
            UNICODE_STRING service;
            RtlInitUnicodeString(&service, kWdmServiceKey);
            const NTSTATUS status = ZwUnloadDriver(&service);
            (void)status;  // the client is not told whether the unload happened
            return STATUS_SUCCESS;
        }
        case DeviceServicesType::SendCodecBytes:
            return SendCodecBytes(engine, m);
        case DeviceServicesType::ReadDeviceStatus: {
            UCHAR value = 0;
            if (!NT_SUCCESS(engine->ReadDeviceStatus(&value))) value = 0;
            SetWord<cm::kByteValue>(m, value);
            return STATUS_SUCCESS;
        }
        case DeviceServicesType::WriteDeviceControl: {
            const NTSTATUS status = engine->WriteDeviceControl(Byte<cm::kByteValue>(m));
            if (!NT_SUCCESS(status)) ENGINE_TRACE("WriteDeviceControl 0x%08X\n", status);
            return STATUS_SUCCESS;
        }
        case DeviceServicesType::SetDigitalOptions: {
            const NTSTATUS status = engine->SetDigitalOptions(Byte<cm::kByteValue>(m));
            if (!NT_SUCCESS(status)) ENGINE_TRACE("SetDigitalOptions 0x%08X\n", status);
            return STATUS_SUCCESS;
        }
        case DeviceServicesType::WriteFirmwareBlock:
            return WriteFirmwareBlock(engine, m);
    }
    if (m.type == 4 || m.type == 5) return STATUS_SUCCESS;  // accepted, nothing to do
    return STATUS_INVALID_PARAMETER;
}

// --- Class 2: ASIO streaming -----------------------------------------------------------------

constexpr LONG kAsio = static_cast<LONG>(ClientKind::ASIO);

// Opens or closes the channels of the masks in the ASIO slot; the result of the last operation.
ULONG OpenAsioChannels(StreamEngine* engine, ULONG outputMask, ULONG inputMask, LONG open) {
    ULONG result = 0;
    for (LONG c = 0; c < kChannelSlotCount; ++c) {
        if ((outputMask >> c) & 1u) result = engine->OpenClientChannel(kAsio, 0, c, open);
        if ((inputMask >> c) & 1u) result = engine->OpenClientChannel(kAsio, 1, c, open);
    }
    return result;
}

NTSTATUS AsioStreaming(DeviceFacade* facade, ControlMessage& m, PFILE_OBJECT requester) {
    StreamEngine* engine = facade->engine;
    switch (static_cast<AsioStreamingType>(m.type)) {
        case AsioStreamingType::SetAsioEvent:
            return SetEventSlot(facade, kAsioEventSlot, Quad<cm::kAsioEventHandle>(m), requester);
        case AsioStreamingType::SetSampleRate: {
            engine->SetRateChangeFlag(0);
            const NTSTATUS status = engine->SetSampleRate(Word<cm::kSampleRate>(m));
            (void)status;  // an unsupported rate leaves the rate as it was; clients read it back
            engine->SetStatusWord(0);
            return STATUS_SUCCESS;
        }
        case AsioStreamingType::SetAsioChannelBuffer: {
            const ULONG stride = Word<cm::kStride>(m);
            const ULONG64 address = TranslateClientAddress(Quad<cm::kSharedBufferKey>(m),
                                                           Quad<cm::kBufferAddress>(m), stride);
            const NTSTATUS status =
                engine->SetClientBuffer(kAsio, static_cast<LONG>(Word<cm::kDirection>(m)),
                                        static_cast<LONG>(Word<cm::kChannel>(m)),
                                        static_cast<LONG>(Word<cm::kHalf>(m)), address, stride);
            (void)status;  // out-of-range channel fields change nothing; the command succeeds
            return STATUS_SUCCESS;
        }
        case AsioStreamingType::SetAsioChannels: {
            const LONG flag = static_cast<LONG>(Word<cm::kChannelFlag>(m));
            const ULONG mask = Word<cm::kChannelMask>(m);
            if (flag != 0) GateStreaming(facade, 1);
            const ULONG result =
                OpenAsioChannels(engine, mask & 0xFFFFu, mask >> 16, flag != 0 ? 1 : 0);
            if (flag == 0) GateStreaming(facade, 0);
            SetWord<cm::kChannelFlag>(m, result);
            return STATUS_SUCCESS;
        }
        case AsioStreamingType::AllocSharedBuffer:
            return AllocSharedBuffer(facade, Word<cm::kSharedBufferSize>(m),
                                     Quad<cm::kSharedBufferKey>(m),
                                     Quad<cm::kSharedBufferVariable>(m), requester);
        case AsioStreamingType::RunAsioChannels: {
            const LONG flag = static_cast<LONG>(Word<cm::kChannelFlag>(m));
            GateStreaming(facade, flag);
            const ULONG result = OpenAsioChannels(engine, Word<cm::kOutputMask>(m) & 0xFFFFu,
                                                  Word<cm::kInputMask>(m) & 0xFFFFu, flag);
            SetWord<cm::kChannelFlag>(m, result);
            return STATUS_SUCCESS;
        }
        case AsioStreamingType::EnableStreaming: {
            const NTSTATUS status =
                engine->EnableStreaming(static_cast<LONG>(Word<cm::kEnable>(m)));
            if (!NT_SUCCESS(status)) ENGINE_TRACE("EnableStreaming 0x%08X\n", status);
            return STATUS_SUCCESS;
        }
        case AsioStreamingType::QueryAsioRunning: {
            const BOOLEAN channelZero = engine->IsClientChannelOpen(kAsio, 0, 0) != 0 ||
                                        engine->IsClientChannelOpen(kAsio, 1, 0) != 0;
            SetWord<cm::kAsioRunning>(m, channelZero && engine->IsAsioRunning() != 0 ? 1u : 0u);
            return STATUS_SUCCESS;
        }
        case AsioStreamingType::WriteAsioOutput:
            engine->WriteAsioOutput(Word<cm::kOutputHalf>(m),
                                    static_cast<LONG>(Word<cm::kOutputEnable>(m)));
            return STATUS_SUCCESS;
        case AsioStreamingType::ReservedQuery:
            SetWord<cm::kReservedResult>(m, 0);
            return STATUS_SUCCESS;
        case AsioStreamingType::MapStatusForAsio: {
            ULONG64 address = 0;
            ULONG64 key = 0;
            if (MapStatusBlock(facade, MappingSlot::Asio, Word<cm::kMapFlag>(m), requester,
                               &address, &key)) {
                SetQuad<cm::kStatusAddress>(m, address);
                SetQuad<cm::kMappingKey>(m, key);
            }
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

// --- Class 3: settings and panel --------------------------------------------------------------

NTSTATUS ReadSettingsBlock(const ControlMessage& m, MixerSettings* block) {
    return ProbeAndReadUserBuffer(block, ClientPointer(Quad<cm::kSettingsAddress>(m)),
                                  sizeof(*block));
}

NTSTATUS SettingsAndPanel(DeviceFacade* facade, ControlMessage& m, PFILE_OBJECT requester) {
    StreamEngine* engine = facade->engine;
    switch (static_cast<SettingsAndPanelType>(m.type)) {
        case SettingsAndPanelType::ReadSettings:
            return ProbeAndWriteUserBuffer(ClientPointer(Quad<cm::kSettingsAddress>(m)),
                                           engine->GetSettings(), sizeof(MixerSettings));
        case SettingsAndPanelType::WriteSettings:
        case SettingsAndPanelType::WriteAndSaveSettings: {
            MixerSettings block;
            NTSTATUS status = ReadSettingsBlock(m, &block);
            if (!NT_SUCCESS(status)) return status;
            status = engine->ApplySettings(&block);
            if (!NT_SUCCESS(status)) ENGINE_TRACE("ApplySettings 0x%08X\n", status);
            if (m.type == static_cast<ULONG>(SettingsAndPanelType::WriteAndSaveSettings)) {
                status = engine->SaveSettings(engine->GetSettings(), sizeof(MixerSettings));
                if (!NT_SUCCESS(status)) ENGINE_TRACE("SaveSettings 0x%08X\n", status);
            }
            return STATUS_SUCCESS;
        }
        case SettingsAndPanelType::MapStatusForPanel: {
            ULONG64 address = 0;
            ULONG64 key = 0;
            if (MapStatusBlock(facade, MappingSlot::Panel, Word<cm::kMapFlag>(m), requester,
                               &address, &key)) {
                SetQuad<cm::kStatusAddress>(m, address);
                SetQuad<cm::kMappingKey>(m, key);
            }
            return STATUS_SUCCESS;
        }
        case SettingsAndPanelType::SetLatency: {
            if (Word<cm::kForce>(m) == 0 && WdmRecordingRuns(facade) != 0)
                return STATUS_INVALID_PARAMETER;
            const NTSTATUS status = engine->SetLatency(static_cast<LONG>(Word<cm::kLatency>(m)));
            (void)status;  // a latency out of range leaves it unchanged; clients read it back
            return STATUS_SUCCESS;
        }
        case SettingsAndPanelType::GetLatency:
            SetWord<cm::kLatency>(m, static_cast<ULONG>(engine->GetLatency()));
            return STATUS_SUCCESS;
        case SettingsAndPanelType::SetPanelEvent:
            return SetEventSlot(facade, kPanelEventSlot, Quad<cm::kPanelEventHandle>(m), requester);
        case SettingsAndPanelType::ResyncDevice: {
            const NTSTATUS status = engine->ResyncDevice();
            if (!NT_SUCCESS(status)) ENGINE_TRACE("ResyncDevice 0x%08X\n", status);
            return STATUS_SUCCESS;
        }
        case SettingsAndPanelType::QueryAnyChannelOpen:
            SetWord<cm::kAnyChannelOpen>(m, static_cast<ULONG>(AnyChannelOpen(facade)));
            return STATUS_SUCCESS;
        case SettingsAndPanelType::SetRemovalEvent:
            return SetEventSlot(facade, kRemovalEventSlot, Quad<cm::kRemovalEventHandle>(m),
                                requester);
        case SettingsAndPanelType::StopStreaming: {
            const NTSTATUS status = engine->UsbStopStreaming();
            if (!NT_SUCCESS(status)) ENGINE_TRACE("UsbStopStreaming 0x%08X\n", status);
            return STATUS_SUCCESS;
        }
    }
    if (m.type == 6 || (m.type >= 17 && m.type <= 20)) return STATUS_SUCCESS;
    return STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS DispatchControlMessage(DeviceFacade* facade, ControlMessage* message,
                                PFILE_OBJECT requester) {
    if (facade == nullptr || facade->engine == nullptr) return STATUS_INVALID_PARAMETER;
    switch (static_cast<ControlClass>(message->messageClass)) {
        case ControlClass::DeviceServices:
            return DeviceServices(facade, *message);
        case ControlClass::AsioStreaming:
            return AsioStreaming(facade, *message, requester);
        case ControlClass::SettingsAndPanel:
            return SettingsAndPanel(facade, *message, requester);
    }
    return STATUS_INVALID_PARAMETER;
}

}  // namespace q407
