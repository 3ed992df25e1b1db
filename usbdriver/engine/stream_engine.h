// The streaming engine of one Q407 LX: the context that moves audio and MIDI between the device's
// pipes and the clients, its shared records, and every operation the device facade calls.
//
// Control operations run at PASSIVE_LEVEL; the pipe completions run at DISPATCH_LEVEL under the
// playback, capture and MIDI input spin locks, never nested. A control operation that changes
// what a completion uses while the pipes may run takes that pipe's lock for the change (one lock at
// a time), or acts from a ring's reading side, as the reader would.
#pragma once

#include "platform/kernel/wdk.h"
#include "platform/usb/usb.h"
#include "shared/client_kinds.h"
#include "shared/engine_status.h"
#include "shared/mixer_settings.h"
#include "usbdriver/driver_pool.h"
#include "usbdriver/engine/engine_notifications.h"
#include "usbdriver/engine/pipe_group.h"
#include "usbdriver/engine/ring_buffer.h"
#include "usbdriver/engine/sample_converters.h"
#include "usbdriver/engine/sample_runs.h"

namespace q407 {

// --- Pool tags ---------------------------------------------------------------------------------
inline constexpr ULONG kEnginePoolTag = POOL_TAG("Zel6");  // engine context and its storage
inline constexpr ULONG kPipePoolTag = POOL_TAG("Zel5");    // pipe groups, transfers, URBs
inline constexpr ULONG kSharedPoolTag = POOL_TAG("Zel2");  // the shared block (facade)

// --- The shared block, carved at initialisation ------------------------------------------------
inline constexpr ULONG kSharedBlockBytes = 0xA8060;  // 688,224
inline constexpr ULONG kPlaybackBufferBytes = 32 * 1024;
inline constexpr ULONG kCaptureBufferBytes = 64 * 1024;
inline constexpr ULONG kSharedPlaybackOffset = 0x00000;
inline constexpr ULONG kSharedCaptureOffset = 0x28000;
inline constexpr ULONG kSharedStagingOffset = 0x78000;  // two 32 KiB output staging halves
inline constexpr ULONG kStagingHalfBytes = 32 * 1024;
inline constexpr ULONG kStagingHalfFrames = kStagingHalfBytes / 32;
inline constexpr ULONG kSharedInputHalvesOffset = 0x88000;  // two 64 KiB halves, carved only
inline constexpr ULONG kInputHalfBytes = 64 * 1024;
inline constexpr ULONG kSharedStatusOffset = 0xA8000;
static_assert(kSharedPlaybackOffset + kMaxTransfersPerPipe * kPlaybackBufferBytes ==
              kSharedCaptureOffset);
static_assert(kSharedCaptureOffset + kMaxTransfersPerPipe * kCaptureBufferBytes ==
              kSharedStagingOffset);
static_assert(kSharedStagingOffset + 2 * kStagingHalfBytes == kSharedInputHalvesOffset);
static_assert(kSharedInputHalvesOffset + 2 * kInputHalfBytes == kSharedStatusOffset);
static_assert(kSharedStatusOffset + kEngineStatusSize == kSharedBlockBytes);

// --- Stream parameters ---------------------------------------------------------------------------
inline constexpr LONG kMinUsbBufferCount = 2;
inline constexpr LONG kMaxUsbBufferCount = 5;
inline constexpr LONG kDefaultUsbBufferCount = 4;
inline constexpr LONG kMinLatency = 32;
inline constexpr LONG kMaxLatency = 1024;
inline constexpr LONG kFallbackLatency = 1024;  // replaces a stored latency out of range
inline constexpr LONG kLatencyWithoutStatus = 128;
inline constexpr ULONG kSampleRates[4] = {44100, 48000, 88200, 96000};
inline constexpr ULONG kDefaultSampleRate = 44100;
inline constexpr ULONG kAudioSlotBytes = 1024;  // one unit's worth in either audio ring
inline constexpr ULONG kMidiInTransferBytes = 5;
inline constexpr ULONG kZeroBufferBytes = 16 * 1024;

inline constexpr ULONG kMaxPipes = 30;
inline constexpr ULONG kMaxStaleGroups = 6;
inline constexpr ULONG kMaxInterfaces = 16;
inline constexpr ULONG kDeviceInfoBytes = 8;

// --- Device protocol values ----------------------------------------------------------------------
inline constexpr UCHAR kMidiIdleByte = 0xFD;
inline constexpr UCHAR kCommandIdleByte = 0xFF;
inline constexpr UCHAR kControlByteInternalClock = 0xB2;
inline constexpr UCHAR kControlByteAutoClock = 0x32;
inline constexpr UCHAR kStatusByteFallback = 0xB2;  // used when the status byte cannot be read
inline constexpr UCHAR kStatusDigitalRate = 0x04;   // the clock follows the digital input
inline constexpr ULONG kFirmwareBlockBytes = 64;
inline constexpr ULONG kFirmwareBlockCount = 96;

// --- Ring sizes ---------------------------------------------------------------------------------
inline constexpr LONG kAsioRingElements = 262144;  // 4-byte samples, 8 channels
inline constexpr LONG kMidiOutRingBytes = 2048;
inline constexpr LONG kCommandRingBytes = 1024;
inline constexpr LONG kMidiInRingBytes = 512;
inline constexpr LONG kInAudioRingBytes = 262144;
inline constexpr LONG kOutAudioRingBytes = 262144;
inline constexpr ULONG kOutAudioRingAllocation = 1024 * 1024;  // only the first 256 KiB used
inline constexpr LONG kRoutingRingElements = 4096;             // 4-byte samples
inline constexpr ULONG kRoutingRingCount = 32;                 // MME 0..15, then ASIO 0..15
inline constexpr ULONG kRoutingPoolBytes = 512 * 1024;

// Diagnostics the engine keeps for inspection; nothing in the streaming path depends on them.
struct EngineCounters {
    ULONG64 playbackCompletions;
    ULONG64 captureCompletions;
    ULONG64 midiInCompletions;
    ULONG64 captureUnitsConverted;
    ULONG64 captureUnitsDropped;
    ULONG64 inputPeriods;
    ULONG64 outputPeriods;
    ULONG64 midiOutBytes;
    ULONG64 commandBytes;
    ULONG64 midiInBytes;
    ULONG64 retiredTransfers;
};

// Errors on the streaming pipes since initialisation: transfers that failed for a reason other
// than cancellation or removal, pipe restarts after them, and pipes given up after repeated failed
// restarts. Read by the facade for its clients (GetPipeErrorCounts).
struct PipeErrorCounts {
    ULONG transferErrors;
    ULONG restarts;
    ULONG pipesGivenUp;
};

// A client's sample buffer for one channel half: interleaved or not, addressed by stride.
struct ClientBuffer {
    ULONG64 address;
    ULONG stride;  // in samples
};

// The capture side's copy of the routing fields it reads, published under the capture lock so
// that a settings change never shows it a half-written record.
struct CaptureRoute {
    LONG routeIn;      // field 1 of the record
    LONG inputSource;  // field 6: device input 0..15, or -1
};

// What the audio paths count for inspection; the paths themselves never read these.
struct AudioPathCounters {
    ULONG64 mixes;
    ULONG64 asioUnderruns;        // a running ASIO stream found fewer than a mix's frames
    ULONG64 asioHalvesDropped;    // no room in the ASIO ring for a whole half
    ULONG64 clientRingUnderruns;  // a WDM ring held less than a mix's frames
    ULONG64 routeOverflows;       // a routing ring had no room for a period
    ULONG64 routeShortReads;      // a routing ring held less than an input period
    ULONG64 distributedPeriods;
};

// One FlexPATH destination's alignment with the mix that feeds its routing ring. The capture side
// owns request and state, the playback side answered and the anchor; each side writes only its
// own fields, under its own lock.
struct RouteAlignment {
    volatile LONG request;   // bumped by the capture side when the destination starts afresh
    volatile LONG answered;  // the last request the mix has marked an anchor for
    int32_t anchorIndex;     // ring write index where the first period after the request starts
    ULONG64 anchorFrame;     // that period's first frame, counted in m_MixedFrames
    LONG state;              // capture side: RouteWaiting, RouteAnchored or RouteFlowing
};
enum RouteAlignmentState : LONG { RouteWaiting = 0, RouteAnchored = 1, RouteFlowing = 2 };

// A 32-bit field of the status record as the kernel's ULONG, for the ordered-access calls.
static_assert(sizeof(ULONG) == sizeof(uint32_t));
inline volatile ULONG* StatusWord(uint32_t* field) {
    return reinterpret_cast<volatile ULONG*>(field);
}

// Largest interleaved channel count taken from a client ring; it only bounds the arithmetic.
inline constexpr LONG kMaxClientRingChannels = 64;
// Playback periods a routing ring must have received before its destination reads it.
inline constexpr LONG64 kRoutePeriodsBeforeRead = 2;

class StreamEngine {
  public:
    // Clears the members, stores the links, selects the sample converters. The facade allocates
    // the context zeroed from pool "Zel6" (see AllocateStreamEngine).
    StreamEngine(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT lowerDevice,
                 const EngineNotifications* facade);
    StreamEngine(const StreamEngine&) = delete;
    StreamEngine& operator=(const StreamEngine&) = delete;
    // Constructed only in pool memory (AllocateStreamEngine); kernel code has no <new>.
    static void* operator new(SIZE_T, void* where) noexcept { return where; }
    static void operator delete(void*, void*) noexcept {}

    // --- Life (stream_engine.cpp) ---
    NTSTATUS InitDevice(PUCHAR sharedBlock, EngineStatus* status);
    // Steps of InitDevice: take the shared block and status record (initialised from the
    // validated settings), and point the transfer buffers and staging halves into the block.
    void AdoptSharedBlock(PUCHAR sharedBlock, EngineStatus* status);
    void CarveSharedBlock();
    NTSTATUS ReleaseDevice();
    NTSTATUS EnableStreaming(LONG enable);
    NTSTATUS UsbStopStreaming();
    LONG GetLatency() const;
    ULONG GetSampleRate(ULONG fallback) const;
    void SetStatusWord(ULONG value);
    void SetRateChangeFlag(LONG value);

    // --- Settings (engine_settings.cpp) ---
    NTSTATUS LoadSettings();
    void ValidateSettings();
    void ComputeInputSources();
    NTSTATUS SaveSettings(const void* block, ULONG length);

    // --- Parameter changes (stream_parameters.cpp) ---
    NTSTATUS SetLatency(LONG latency);
    NTSTATUS SetUsbBufferCount(LONG count);
    // The two halves of every change that talks to the device: the pipes stopped (the output
    // silenced first when asked), and afterwards the clock mode written, the stream state reset,
    // the streaming interfaces selected and the pipes started. Each returns its first failure
    // and traces it with the operation's name.
    NTSTATUS StopForChange(const char* operation, BOOLEAN silence);
    NTSTATUS RestartAfterChange(const char* operation);

    // --- Control requests (usb_call_sync.cpp) ---
    NTSTATUS UsbCallSync(URB* urb, ULONG controlCode, BOOLEAN allowedDuringFirmwareUpdate);
    // Sends one URB to the lower driver and waits for it, without UsbCallSync's checks: for the
    // pipe requests of a restart, which run while the other pipes stream.
    NTSTATUS SendUrbSync(URB* urb, ULONG controlCode);

    // --- Configuration (device_config.cpp) ---
    NTSTATUS ReadDescriptors();
    NTSTATUS GetDescriptor(LONG recipient, UCHAR type, UCHAR index, USHORT language, LONG attempts,
                           ULONG length, PVOID* buffer);
    NTSTATUS SelectConfiguration();
    NTSTATUS SelectInterface(UCHAR interfaceNumber, UCHAR alternateSetting);
    NTSTATUS SelectStreamingInterfaces();
    NTSTATUS Deconfigure();
    NTSTATUS ResetPipe(USBD_PIPE_HANDLE pipeHandle);
    void RebuildPipeList();
    void FreeInterfaces();

    // --- Vendor requests (device_requests.cpp) ---
    // One vendor or class request on the default pipe. data may be null when length is 0; for
    // IN requests up to length bytes are copied back and transferred receives their count.
    NTSTATUS ControlRequest(USHORT function, BOOLEAN in, UCHAR request, USHORT value, USHORT index,
                            PVOID data, ULONG length, BOOLEAN allowedDuringUpdate,
                            PULONG transferred);
    NTSTATUS ReadDeviceStatus(PUCHAR statusByte);
    NTSTATUS WriteDeviceControl(UCHAR controlByte);
    NTSTATUS SetDeviceMode(ULONG mode);
    NTSTATUS ReadDeviceInfo(PUCHAR info, LONG keep);

    // --- Clock and rate (clock_and_rate.cpp) ---
    NTSTATUS ReadDeviceSampleRate(PULONG rate);
    NTSTATUS SetDeviceSampleRate(ULONG rate);
    UCHAR ApplyClockMode();
    NTSTATUS SetSampleRate(ULONG rate);
    NTSTATUS SetDigitalOptions(UCHAR options);
    NTSTATUS ResyncDevice();

    // --- Firmware (firmware.cpp) ---
    NTSTATUS WriteFirmwareBlock(ULONG length, const UCHAR* data, ULONG blockNumber);

    // --- Pipes (pipe_transfers.cpp) ---
    NTSTATUS UsbStartStream();
    NTSTATUS UsbStopStream();
    void ResetStreamState();
    NTSTATUS SilenceOutput();
    NTSTATUS StartPipe(PipeGroup** slot, const USBD_PIPE_INFORMATION& pipe, LONG role);
    NTSTATUS StartTransfers(PipeGroup* group, LONG role);
    NTSTATUS StopPipe(PipeGroup** slot);
    void ReleaseStaleGroups();
    // Builds the transfer's URB and readies its IRP for the lower driver (pipe_transfers.cpp).
    void PrepareTransfer(TransferRecord* transfer);
    // Idle contents for a transfer's buffer: silent units for playback, zeros otherwise.
    static void FillIdle(TransferRecord* transfer);

    // --- Pipe recovery (pipe_recovery.cpp) ---
    // From a completion, under the pipe's lock: holds a failed transfer (or one that came back
    // while the pipe restarts) and queues the restart if none is queued.
    void HoldForRestart(TransferRecord* transfer, BOOLEAN failed, NTSTATUS irpStatus,
                        USBD_STATUS urbStatus);
    // The restart's work at PASSIVE_LEVEL: abort, reset, resubmit, or give up.
    void RestartPipe(PipeGroup* group);
    void GetPipeErrorCounts(PipeErrorCounts* counts) const;

    // --- Client channels (client_channels.cpp) ---
    // Opens or closes one channel; returns the current output half. The first channel opened
    // restarts streaming; closing the last one silences the output and leaves the pipes running.
    ULONG OpenClientChannel(LONG kind, LONG direction, LONG channel, LONG open);
    LONG IsClientChannelOpen(LONG kind, LONG direction, LONG channel) const;
    LONG AnyClientChannelOpen() const;
    LONG IsAsioRunning() const;
    // address is a kernel address (0 detaches); the engine touches L samples at stride there.
    NTSTATUS SetClientBuffer(LONG kind, LONG direction, LONG channel, LONG half, ULONG64 address,
                             ULONG stride);
    NTSTATUS SetClientRing(LONG kind, LONG direction, LONG channel, RingBuffer* ring);
    void ClearMeters();
    LONG ChannelMask(LONG kind, LONG direction) const;

    // --- ASIO output (asio_output.cpp) ---
    void WriteAsioOutput(ULONG half, LONG enable);

    // --- Settings exchange and routing (routing_settings.cpp) ---
    NTSTATUS ApplySettings(const MixerSettings* block);
    const MixerSettings* GetSettings();
    void PublishCaptureRoutes();

    // --- Audio paths (audio_paths.cpp) ---
    // Channel's next frames samples without moving any ring; the silent source when the client
    // has not delivered them.
    SampleRuns GetClientChannelRegions(LONG kind, LONG channel, ULONG frames);
    void MixOutput(ULONG half, ULONG frames);
    void DistributeInput();
    // One capture destination's period: its device input, or its routing ring with the routed
    // device input added.
    void DeliverCapture(LONG kind, LONG channel, const ClientBuffer& buffer, ULONG frames,
                        const SampleRuns* inputs);

    // --- ASIO output alignment (asio_alignment.cpp) ---
    // A new ASIO stream or a new stream start: the next half written is anchored afresh.
    // Playback lock held.
    void ResetAsioAlignment();
    // The pipes start: the frame counts and first completion times of the new stream.
    void NoteStreamStart();
    // The first completion of each pipe after a start notes its time.
    void NoteFirstCompletion(volatile LONG64* time);
    // The capture side publishes each period it hands out. Capture lock held.
    void PublishAsioPeriod(ULONG64 periodEnd, ULONG half);
    // WriteAsioOutput's side: the half about to be written. False when it answers no period and
    // is to be dropped. Playback lock held.
    BOOLEAN NoteAsioHalf(ULONG half);
    // The mix's side: whether this mix takes ASIO samples, and from which frame of the mix on
    // (lead). Skips what the host delivered too late to play at its place. Playback lock held.
    BOOLEAN AsioMixWindow(ULONG frames, ULONG* lead);
    // After a mix that took `frames` ASIO frames.
    void AsioMixed(ULONG frames);

    // --- FlexPATH destination alignment (route_alignment.cpp) ---
    // A destination starts afresh: its ring is emptied from the reading side and the next period
    // the mix writes becomes its anchor. Capture lock held.
    void RestartRoute(LONG target);
    // RestartRoute for the marked destinations (all when targets is null); takes the capture lock.
    void RestartRoutes(const BOOLEAN* targets);
    // The mix's side: marks the anchor for a pending request before a period is written into the
    // ring. Playback lock held.
    void MarkRouteAnchor(LONG target, const RingBuffer* ring);
    // The distribution's side: whether the destination's ring can give this period, placed so
    // that every routed destination keeps the same delay. Capture lock held.
    BOOLEAN RouteReadable(LONG target, RingBuffer* ring, ULONG frames);
    // The period length fixed at the last stream reset; the status record's copy is mapped into
    // client processes and never sizes a copy into a client buffer.
    ULONG PeriodFrames() const;

    // --- MIDI and command bytes (midi_transport.cpp) ---
    void OpenMidiPort(LONG port, LONG input);
    void CloseMidiPort(LONG port, LONG input);
    LONG WriteMidiOutByte(LONG port, UCHAR value);
    ULONG ReadMidiInByte(LONG port);
    LONG WriteCommandBytes(LONG length, const UCHAR* data);
    void FillUnitGapBytes(PUCHAR unit);
    void ProcessMidiInput(const UCHAR* data, ULONG length);
    void SelectMidiPacing(ULONG rate);

    // --- Ring storage (engine_rings.cpp) ---
    void CreateRings();
    NTSTATUS CreateRoutingRings();
    void FreeRings();

    // --- Completion work, called by the routines in completion_routines.cpp ---
    void ProcessPlayback(TransferRecord* transfer);
    void ProcessCapture(TransferRecord* transfer, ULONG receivedBytes);

    BOOLEAN IsStreaming() const { return ReadAcquire(&m_Streaming) != 0; }
    // Clears the streaming flag once no pipe group remains.
    void ClearStreamingIfIdle();
    // The stream parameters as the completions and loops use them. The status record is mapped
    // writable into client processes, so these are bounded before anything is sized by them.
    ULONG UsbBufferCount() const;
    ULONG CurrentSampleRate() const;
    ULONG CurrentLatency() const;

    // 1. Links
    PDEVICE_OBJECT m_FunctionalDevice;
    PDEVICE_OBJECT m_LowerDevice;
    const EngineNotifications* m_Facade;

    // 2. Device configuration
    USB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor;  // whole, pool "Zel6"
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION m_Interfaces[kMaxInterfaces];  // copies, pool "Zel6"
    ULONG m_InterfaceCount;
    USBD_PIPE_INFORMATION m_Pipes[kMaxPipes];
    ULONG m_PipeCount;
    UCHAR m_StreamingAlternate[2];  // alternate settings of interfaces 0 and 1

    // 3. Pipe groups and the streaming flag
    PipeGroup* m_PlaybackGroup;
    PipeGroup* m_CaptureGroup;
    PipeGroup* m_MidiInGroup;
    volatile LONG m_Streaming;

    // Groups whose transfers did not drain within the stop's wait: their records cannot be
    // freed while the lower driver may still complete into them, so they are kept (with their
    // IRPs) until the device is released.
    PipeGroup* m_StaleGroups[kMaxStaleGroups];

    // 4. IRP slots, allocated on first use and kept
    PIRP m_PlaybackIrps[kMaxTransfersPerPipe];
    PIRP m_CaptureIrps[kMaxTransfersPerPipe];
    PIRP m_MidiInIrp;

    // 5. The shared block, the status record and the transfer buffers inside the block
    PUCHAR m_SharedBlock;
    EngineStatus* m_Status;
    PUCHAR m_PlaybackBuffers[kMaxTransfersPerPipe];
    PUCHAR m_CaptureBuffers[kMaxTransfersPerPipe];
    LONG* m_OutputStaging[2];                 // 8 interleaved channels, kStagingHalfFrames frames
    ClientBuffer m_StagingDescriptors[2][8];  // per half and output channel, stride 8
    PUCHAR m_InputHalves[2];                  // carved, not used by the engine

    // 6. Rings and their storage (pool "Zel6")
    RingBuffer m_InAudioRingBuffer;
    RingBuffer m_OutAudioRingBuffer;
    RingBuffer m_AsioOutRingBuffer;
    RingBuffer m_MidiOutRingBuffer;
    RingBuffer m_MidiInRingBuffer;
    RingBuffer m_CommandRingBuffer;
    RingBuffer m_RoutingRings[kRoutingRingCount];
    RingBuffer* m_RoutingRingSlots[kClientKindCount * kChannelSlotCount];  // by target
    PUCHAR m_InAudioStorage;
    PUCHAR m_OutAudioStorage;
    PUCHAR m_AsioOutStorage;
    PUCHAR m_MidiOutStorage;
    PUCHAR m_MidiInStorage;
    PUCHAR m_CommandStorage;
    PUCHAR m_RoutingStorage;
    PUCHAR m_MidiInBuffer;  // the 5-byte bulk IN buffer
    LONG* m_ZeroBuffer;     // 16 KiB of silence

    // 7. Channel counts
    LONG m_OutputChannels;
    LONG m_InputChannels;

    // 8. Per-start constants (ResetStreamState)
    ULONG m_SlotSize;
    ULONG m_FramesPerPlaybackTransfer;
    ULONG m_RateFactor;
    const UCHAR* m_MidiPacingTable;
    ULONG m_MidiPacingLength;
    ULONG m_MidiInByteCount;
    ULONG64 m_MidiOutSlotCounter;
    ULONG m_PeriodFrames;  // L as the audio paths use it

    // 9. Output cycle
    ULONG m_CurrentOutputHalf;
    LONG m_HalfQueued;

    // 10. Input cycle
    ULONG m_InputHalf;
    ULONG m_PublishedHalf;

    // 11. Settings and device information
    MixerSettings m_Settings;
    UCHAR m_DeviceInfo[kDeviceInfoBytes];
    BOOLEAN m_SettingsLoaded;  // the stored block has been read, so saving it back is safe

    // 12. Firmware update and settings thread
    volatile LONG m_FirmwareUpdate;
    volatile LONG m_SettingsThreadBusy;
    MixerSettings m_PendingSettings;  // what the facade's settings-apply thread applies
    LONG m_RateChangeFlag;

    // 13. Pipe spin locks
    KSPIN_LOCK m_PlaybackLock;
    KSPIN_LOCK m_CaptureLock;
    KSPIN_LOCK m_MidiInLock;
    // Serialises the clients' side of the MIDI and command rings: several clients may send bytes
    // at once, and each ring has room for one producer and one consumer only.
    KSPIN_LOCK m_ClientRingLock;

    // 14. Clients: channel masks, buffers, rings, routing state, meters, MIDI ports
    volatile LONG m_ChannelMask[kClientKindCount][kDirectionCount];
    ClientBuffer m_ClientBuffers[3][kDirectionCount][kChannelSlotCount][2];
    RingBuffer* m_ClientRings[2][kDirectionCount][kChannelSlotCount];
    LONG m_AsioPreRoll;
    LONG m_OutputSourceCount[kChannelSlotCount];
    LONG m_RouteSourceCount[kClientKindCount * kChannelSlotCount];
    LONG m_RouteWritten[kClientKindCount * kChannelSlotCount];
    LONG64 m_RoutePeriods[kClientKindCount * kChannelSlotCount];  // written by the mix
    RouteAlignment m_RouteAlignment[kClientKindCount * kChannelSlotCount];
    volatile LONG64 m_MixedFrames;  // frames mixed since the engine started; playback side
    ULONG64 m_DistributedFrames;    // input frames handed out since the engine started
    // Capture side: distributed minus mixed frame count of every routed sample, chosen once per
    // stream start so that each destination's routed delay is the same and stays the same.
    LONG64 m_RouteDelay;
    BOOLEAN m_RouteDelayChosen;
    ULONG m_RouteMixFrames;  // frames the mix writes per period (n x 20), as the capture side knows
                             // it
    ULONG m_RouteMargin;     // frames of slack for the two pipes' completion cadences
    volatile LONG m_MidiInOpenCount;
    volatile LONG m_MidiOutOpenCount;
    CaptureRoute m_CaptureRoutes[kRouteRecordCount];
    LONG m_AsioFlowing;  // the last mix took ASIO samples
    // ASIO output alignment: every ASIO frame plays a fixed number of device frames after the
    // input frame of the period it answered (asio_alignment.cpp). Playback side unless noted.
    LONG m_AsioAlignState;           // AsioAlignState
    LONG64 m_AsioFirstPeriodStart;   // first frame of the answered period, since the stream start
    int32_t m_AsioFirstIndex;        // ring write index before the first half
    LONG64 m_AsioAnchorMix;          // mixed frame (since the stream start) of the first half
    LONG64 m_AsioRingFrames;         // frames taken from the ring since the anchor
    BOOLEAN m_AsioTakeRing;          // this mix takes ASIO samples
    LONG64 m_StreamMixBase;          // m_MixedFrames at the stream start
    LONG64 m_StreamDistributedBase;  // m_DistributedFrames at the stream start
    volatile LONG64 m_FirstCaptureTime;   // performance counter at the first completions; 0
    volatile LONG64 m_FirstPlaybackTime;  // until they come
    volatile LONG64 m_LastAsioPeriod;     // capture side: (period end << 1) | its published half
    AudioPathCounters m_PathCounters;

    // Processor state save areas, one per audio pipe kind
    ProcessorSaveArea m_PlaybackSaveArea;
    ProcessorSaveArea m_CaptureSaveArea;

    EngineCounters m_Counters;

    // 15. Pipe errors (PipeErrorCounts), interlocked; and the gate that lets one stop at a time
    // run on this device (a synchronization event, signalled while no stop runs).
    volatile LONG m_PipeTransferErrors;
    volatile LONG m_PipeRestarts;
    volatile LONG m_PipesGivenUp;
    KEVENT m_StopGate;
};

enum AsioAlignState : LONG {
    AsioAwaitingHalf = 0,  // no half written since the anchor was reset
    AsioHalfWritten = 1,   // the first half is in the ring; the next mix anchors it
    AsioAnchored = 2,      // ring frame r plays at mixed frame m_AsioAnchorMix + r
    AsioPreRolled = 3,     // the pipes' timing is unknown: the halves play after the pre-roll
};

// The facade's allocation of an engine context: zeroed pool "Zel6", constructed in place.
StreamEngine* AllocateStreamEngine(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT lowerDevice,
                                   const EngineNotifications* facade);
void FreeStreamEngine(StreamEngine* engine);

// True for 44100, 48000, 88200 and 96000.
BOOLEAN IsValidSampleRate(ULONG rate);

// Completion routines of the three pipe kinds (completion_routines.cpp).
NTSTATUS PlaybackCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
NTSTATUS CaptureCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
NTSTATUS MidiInCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Builds a transfer URB and hands the IRP to the lower driver with the routine for its pipe
// (pipe_transfers.cpp); used at start. Completions prepare under the pipe's lock and send after.
NTSTATUS SubmitTransfer(TransferRecord* transfer);

// The work item routine of a pipe restart (pipe_recovery.cpp); the context is the PipeGroup.
void RestartPipeWork(PDEVICE_OBJECT deviceObject, PVOID context);

}  // namespace q407
