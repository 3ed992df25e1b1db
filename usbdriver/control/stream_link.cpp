// The stream link's dispatch routine: one small handler per function, each checking the values
// that index the engine's and the facade's tables before anything is touched.
#include "usbdriver/control/stream_link.h"

#include "usbdriver/engine/engine_trace.h"

namespace q407 {
namespace {

constexpr LONG kChannelCountInput = 16;
constexpr LONG kChannelCountOutput = 8;
constexpr ULONG kReservedAnswer20 = 32;
constexpr LONG kQueriedOutputChannels = 8;  // function 23 with direction 0 asks channels 0..7

// The channels a (direction, group, count) names: a slot and a first channel.
struct ChannelRange {
    LONG kind;
    LONG direction;
    LONG first;
    LONG count;
};

BOOLEAN ResolveChannels(uint32_t direction, uint32_t group, uint32_t count, ChannelRange* range) {
    if (direction >= static_cast<uint32_t>(kDirectionCount) || group > kLinkDolbyGroup)
        return FALSE;
    const BOOLEAN dolby = group == kLinkDolbyGroup;
    const uint32_t first = dolby ? 0u : 2u * group;
    if (count > static_cast<uint32_t>(kChannelSlotCount) - first) return FALSE;
    range->kind = static_cast<LONG>(dolby ? ClientKind::DOLBY : ClientKind::MME);
    range->direction = static_cast<LONG>(direction);
    range->first = static_cast<LONG>(first);
    range->count = static_cast<LONG>(count);
    return TRUE;
}

BOOLEAN IsMidiPort(uint32_t port) {
    return port < static_cast<uint32_t>(kMidiPortCount) ? TRUE : FALSE;
}

template <typename Routine>
Routine RoutineFrom(uint64_t value) {
    return reinterpret_cast<Routine>(static_cast<ULONG_PTR>(value));
}

PVOID PointerFrom(uint64_t value) {
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(value));
}

void TraceFailure(const char* operation, NTSTATUS status) {
    if (!NT_SUCCESS(status)) ENGINE_TRACE("StreamLink %s 0x%08X\n", operation, status);
}

// --- 0, 1: notification registration ---------------------------------------------------------

void RegisterStreamNotify(DeviceFacade* facade, const LinkStreamNotifyBlock* block) {
    if (block->direction >= static_cast<uint32_t>(kDirectionCount) ||
        block->subdevice >= static_cast<uint32_t>(kNotifyStreamCount) ||
        block->pin >= static_cast<uint32_t>(kNotifyCodeCount)) {
        TraceFailure("RegisterStreamNotify", STATUS_INVALID_PARAMETER);
        return;
    }
    const NTSTATUS status = RegisterStreamNotification(
        facade, static_cast<LONG>(block->direction), static_cast<LONG>(block->subdevice),
        static_cast<LONG>(block->pin), RoutineFrom<StreamNotifyCallback>(block->callback),
        PointerFrom(block->context));
    TraceFailure("RegisterStreamNotify", status);
}

void RegisterMidiInNotify(DeviceFacade* facade, const LinkMidiInNotifyBlock* block) {
    if (!IsMidiPort(block->port)) {
        TraceFailure("RegisterMidiInNotify", STATUS_INVALID_PARAMETER);
        return;
    }
    const NTSTATUS status = RegisterMidiInNotification(
        facade, static_cast<LONG>(block->port), RoutineFrom<MidiInNotifyCallback>(block->callback),
        PointerFrom(block->context));
    TraceFailure("RegisterMidiInNotify", status);
}

// --- 2, 3, 4, 22: channels of a group -----------------------------------------------------------

void SetStreamBuffer(StreamEngine* engine, const LinkStreamBufferBlock* block) {
    ChannelRange range;
    if (!ResolveChannels(block->direction, block->group, block->count, &range)) return;
    for (LONG i = 0; i < range.count; ++i) {
        const ULONG64 address =
            block->buffer != 0 ? block->buffer + 4u * static_cast<ULONG64>(i) : 0;
        // The engine refuses a stride it cannot step through; that channel keeps its buffer.
        TraceFailure("SetStreamBuffer",
                     engine->SetClientBuffer(range.kind, range.direction, range.first + i, 0,
                                             address, block->stride));
    }
}

void OpenStreamChannels(StreamEngine* engine, const LinkStreamChannelsBlock* block) {
    ChannelRange range;
    if (!ResolveChannels(block->direction, block->group, block->count, &range)) return;
    for (LONG i = 0; i < range.count; ++i) {
        // The answer is the current output half, which only ASIO clients use.
        ULONG half = engine->OpenClientChannel(range.kind, range.direction, range.first + i, 1);
        UNREFERENCED_PARAMETER(half);
    }
}

void CloseStreamChannels(StreamEngine* engine, const LinkStreamChannelsBlock* block) {
    if (block->direction == kLinkStopStreamingDirection) {
        TraceFailure("CloseStreamChannels", engine->EnableStreaming(0));
        return;
    }
    ChannelRange range;
    if (!ResolveChannels(block->direction, block->group, block->count, &range)) return;
    engine->ClearMeters();
    for (LONG i = 0; i < range.count; ++i) {
        ULONG half = engine->OpenClientChannel(range.kind, range.direction, range.first + i, 0);
        UNREFERENCED_PARAMETER(half);  // as when opening
    }
}

void SetStreamRing(StreamEngine* engine, const LinkStreamRingBlock* block) {
    ChannelRange range;
    if (!ResolveChannels(block->direction, block->group, block->count, &range)) return;
    auto* ring = static_cast<RingBuffer*>(PointerFrom(block->ring));
    for (LONG i = 0; i < range.count; ++i)
        TraceFailure("SetStreamRing",
                     engine->SetClientRing(range.kind, range.direction, range.first + i, ring));
}

// --- 5, 6, 12: format, rate, latency ------------------------------------------------------------

void SetStreamFormat(StreamEngine* engine, LinkStreamFormatBlock* block) {
    engine->SetRateChangeFlag(static_cast<LONG>(block->compressed));
    // A rate the device does not have is refused by the engine and the rate stays.
    TraceFailure("SetStreamFormat", engine->SetSampleRate(block->rate));
    engine->SetStatusWord(block->bitsPerSample);
    block->result = 0;
}

void GetStreamRate(StreamEngine* engine, LinkStreamRateBlock* block) {
    block->rate = engine->GetSampleRate(block->fallback);
}

void GetLatency(StreamEngine* engine, LinkLatencyBlock* block) {
    // The status record's latency is writable by client processes; the WDM side sizes its
    // periods by this, so it gets the engine's bounded value.
    block->latency = engine != nullptr ? engine->CurrentLatency() : 0;
}

// --- 9, 10, 11: MIDI -------------------------------------------------------------------------

void WriteMidiByte(StreamEngine* engine, LinkMidiByteBlock* block) {
    if (!IsMidiPort(block->port)) {
        block->result = 0;
        return;
    }
    block->result = static_cast<uint32_t>(engine->WriteMidiOutByte(block->port, block->value));
}

void ReadMidiByte(StreamEngine* engine, LinkMidiByteBlock* block) {
    if (!IsMidiPort(block->port)) {
        block->result = kLinkNoMidiByte;
        return;
    }
    block->result = engine->ReadMidiInByte(block->port) & 0xFFFFu;
}

void OpenMidiInput(StreamEngine* engine, const LinkMidiInputBlock* block) {
    if (!IsMidiPort(block->port)) return;
    if (block->action == 1)
        engine->OpenMidiPort(block->port, static_cast<LONG>(block->input));
    else if (block->action == 0)
        engine->CloseMidiPort(block->port, static_cast<LONG>(block->input));
}

// --- 23: channel query ---------------------------------------------------------------------

void QueryChannelsOpen(DeviceFacade* facade, StreamEngine* engine, LinkChannelsOpenBlock* block) {
    if (block->slot < 0 || block->direction < 0) {
        block->result = static_cast<uint32_t>(AnyChannelOpen(facade));
        return;
    }
    if (block->slot >= kClientKindCount || block->direction >= kDirectionCount) {
        block->result = 0;
        return;
    }
    const LONG channels = block->direction != 0 ? kChannelSlotCount : kQueriedOutputChannels;
    uint32_t open = 0;
    for (LONG channel = 0; channel < channels && open == 0; ++channel)
        open = engine->IsClientChannelOpen(block->slot, block->direction, channel) != 0 ? 1u : 0u;
    block->result = open;
}

}  // namespace

void StreamLinkDispatch(PVOID deviceContext, uint32_t function, PVOID block) {
    auto* facade = static_cast<DeviceFacade*>(deviceContext);
    if (facade == nullptr || block == nullptr) return;
    StreamEngine* engine = facade->engine;
    // Between start and stop the facade always has its engine; the latency has an answer without.
    if (engine == nullptr && function != kLinkGetLatency) return;

    switch (function) {
        case kLinkRegisterStreamNotify:
            RegisterStreamNotify(facade, static_cast<const LinkStreamNotifyBlock*>(block));
            break;
        case kLinkRegisterMidiInNotify:
            RegisterMidiInNotify(facade, static_cast<const LinkMidiInNotifyBlock*>(block));
            break;
        case kLinkSetStreamBuffer:
            SetStreamBuffer(engine, static_cast<const LinkStreamBufferBlock*>(block));
            break;
        case kLinkOpenStreamChannels:
            OpenStreamChannels(engine, static_cast<const LinkStreamChannelsBlock*>(block));
            break;
        case kLinkCloseStreamChannels:
            CloseStreamChannels(engine, static_cast<const LinkStreamChannelsBlock*>(block));
            break;
        case kLinkSetStreamFormat:
            SetStreamFormat(engine, static_cast<LinkStreamFormatBlock*>(block));
            break;
        case kLinkGetStreamRate:
            GetStreamRate(engine, static_cast<LinkStreamRateBlock*>(block));
            break;
        case kLinkReserved7:
            static_cast<LinkReservedBlock*>(block)->word0 = 0;
            break;
        case kLinkReserved8:
            break;
        case kLinkWriteMidiByte:
            WriteMidiByte(engine, static_cast<LinkMidiByteBlock*>(block));
            break;
        case kLinkReadMidiByte:
            ReadMidiByte(engine, static_cast<LinkMidiByteBlock*>(block));
            break;
        case kLinkOpenMidiInput:
            OpenMidiInput(engine, static_cast<const LinkMidiInputBlock*>(block));
            break;
        case kLinkGetLatency:
            GetLatency(engine, static_cast<LinkLatencyBlock*>(block));
            break;
        case kLinkApplyTopologyChange: {
            const auto* change = static_cast<const LinkTopologyChangeBlock*>(block);
            // Controls that stand for no settings field change nothing (EnterTopologyControl).
            StartSettingsApply(facade, change->subdevice, change->control, change->value,
                               change->value2);
            break;
        }
        case kLinkReserved18:
            static_cast<LinkReservedBlock*>(block)->word2 = 0;
            break;
        case kLinkQueryChannelCounts: {
            auto* counts = static_cast<LinkChannelCountsBlock*>(block);
            counts->inputs = kChannelCountInput;
            counts->outputs = kChannelCountOutput;
            break;
        }
        case kLinkReserved20: {
            auto* reserved = static_cast<LinkReservedBlock*>(block);
            reserved->word0 = kReservedAnswer20;
            reserved->word1 = kReservedAnswer20;
            break;
        }
        case kLinkSetStreamRing:
            SetStreamRing(engine, static_cast<const LinkStreamRingBlock*>(block));
            break;
        case kLinkQueryChannelsOpen:
            QueryChannelsOpen(facade, engine, static_cast<LinkChannelsOpenBlock*>(block));
            break;
        default:
            break;  // 13 to 16, 21 and above 23
    }
}

}  // namespace q407
