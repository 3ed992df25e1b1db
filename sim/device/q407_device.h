// The virtual Q407 LX: the device's behaviour behind its USB endpoints, free of the kernel API.
// The bus glue (UsbBus) drives it with control requests and transfers; tests may drive it
// directly. All methods are thread-safe; completions are reported through the callbacks, never
// while the device's lock is held.
//
// Timing: the sample clock runs while interface 0 has alternate setting 1 selected. Playback
// unit k (964 bytes) starts playing at frame 20k, capture unit k (1,024 bytes) is complete at
// frame 16(k+1); one scheduler event per unit. An OUT transfer completes when its last unit has
// finished playing (n units: n x 20 frames after its first unit started), an IN transfer when its
// last unit has been captured. A unit slot with no OUT transfer waiting plays silence (underrun);
// a captured unit with no IN transfer waiting is lost (overrun).
//
// Loopback: an input set to Loopback(o) carries in capture frame f exactly the sample output o
// played in frame f (after the output's level), i.e. kLoopbackDelayFrames = 0 frames of delay on
// the device's common sample clock. Frames count from the start of streaming for both
// directions.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/device/codec_registers.h"
#include "sim/device/codec_serial_decoder.h"
#include "sim/device/device_descriptors.h"
#include "sim/device/output_sink.h"
#include "sim/device/sample_clock.h"
#include "sim/device/scheduler.h"
#include "sim/device/signal_source.h"
#include "sim/device/unit_format.h"

namespace q407::sim {

constexpr int kLoopbackDelayFrames = 0;
constexpr int kFirmwareBlocks = 96;
constexpr int kFirmwareBlockBytes = 64;
constexpr ClockTicks kMidiByteTicks = 3200;  // 10 bits at 31,250 baud
constexpr std::size_t kMidiInFifoBytes = 256;

// Device status byte bits.
constexpr std::uint8_t kStatusSpdifSignal = 0x01;
constexpr std::uint8_t kStatusClockFromSpdif = 0x04;
constexpr std::uint8_t kStatusStreaming = 0x10;
constexpr std::uint8_t kStatusSpdifInputs = 0x80;
// Control byte bit: inputs 15/16 from S/PDIF (only with the automatic clock, mode 0).
constexpr std::uint8_t kControlSpdifInputs = 0x80;

enum class TransferStatus {
    Success,
    Stall,        // endpoint halted
    NoResponse,   // the device did not answer
    CrcError,     // corrupted on the bus
    Babble,       // the device sent more than the buffer holds
    ShortPacket,  // a short packet without short transfers allowed
    Canceled,
    Gone,
};

struct TransferResult {
    TransferStatus status = TransferStatus::Success;
    std::uint32_t actualLength = 0;
};

using TransferId = std::uint64_t;
using TransferCallback = std::function<void(const TransferResult&)>;

struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

enum class ControlOutcome { Ack, Stall, NoResponse };

struct ControlReply {
    ControlOutcome outcome = ControlOutcome::Ack;
    std::uint32_t length = 0;  // data stage bytes moved
};

struct RequestRecord {
    ClockTicks time;
    SetupPacket setup;
    std::vector<std::uint8_t> data;  // OUT: what the host sent; IN: what the device answered
    ControlOutcome outcome;
};

struct MidiOutByte {
    std::uint8_t value;
    std::uint64_t frame;  // output frame at which it left the unit
};

struct CodecWriteRecord {
    CodecWord word;
    std::uint64_t frame;  // output frame from which it applies
};

struct DeviceCounters {
    std::uint64_t playbackUnits = 0;  // unit slots played, data or silence
    std::uint64_t underruns = 0;
    std::uint64_t shortPlaybackPackets = 0;  // OUT data that was not a whole unit
    std::uint64_t strayBits = 0;             // set bits on unused playback lines
    std::uint64_t captureUnits = 0;          // units captured, delivered or lost
    std::uint64_t overruns = 0;
    std::uint64_t failedTransfers = 0;
    std::uint64_t midiOutBytes = 0;
    std::uint64_t midiInBytesSent = 0;
    std::uint64_t midiInPackets = 0;
    std::uint64_t midiInDropped = 0;  // FIFO full, or the padding value 0xFD on the wire
    std::uint64_t invalidCodecWords = 0;
};

// Requests matching every given field (-1: any) get `outcome` instead of an answer, `count`
// times (-1: always).
struct ControlFault {
    int bmRequestType = -1;
    int bRequest = -1;
    int wValue = -1;
    int wIndex = -1;
    ControlOutcome outcome = ControlOutcome::Stall;
    int count = -1;
};

// GET_DESCRIPTOR of `type` answers at most maxLength bytes and/or reports wTotalLength as
// totalLength (configuration descriptor), `count` times (-1: always).
struct DescriptorFault {
    std::uint8_t type = 2;
    int maxLength = -1;
    int totalLength = -1;
    int count = -1;
};

class Q407Device {
  public:
    explicit Q407Device(Scheduler& scheduler);
    ~Q407Device();
    Q407Device(const Q407Device&) = delete;
    Q407Device& operator=(const Q407Device&) = delete;

    // --- USB side --------------------------------------------------------------------------
    // Answers a control request at once; data holds wLength bytes (the OUT data, or room for
    // the IN answer).
    ControlReply HandleControl(const SetupPacket& setup, std::uint8_t* data);
    // The same after the bus delay; false (no callback) when the device is gone.
    bool SubmitControl(TransferId id, const SetupPacket& setup, std::uint8_t* data,
                       TransferCallback done);
    // A transfer on a streaming endpoint; false (no callback) when the device is gone.
    bool SubmitTransfer(TransferId id, std::uint8_t endpoint, std::uint8_t* data,
                        std::uint32_t length, bool shortOk, TransferCallback done);
    // True if the request was still pending; it is then dropped without a callback.
    bool CancelTransfer(TransferId id);
    // Drops every transfer pending on the endpoint; returns their ids (no callbacks).
    std::vector<TransferId> AbortEndpoint(std::uint8_t endpoint);
    // The device leaves the bus: every pending request is dropped and returned (no callbacks);
    // later submissions fail.
    std::vector<TransferId> Disconnect();
    bool Connected() const;
    void SetBusDelay(ClockTicks delay);
    ClockTicks BusDelay() const;

    // --- Inspection ----------------------------------------------------------------------------
    std::uint8_t StatusByte() const;
    std::uint8_t ControlByte() const;
    int Mode() const;
    std::array<std::uint8_t, 8> InfoBytes() const;
    std::array<std::uint8_t, kFirmwareBlockBytes> FirmwareBlock(int block) const;
    std::uint32_t EndpointRate(std::uint8_t endpoint) const;  // 0 until set
    std::uint32_t ClockRate() const;                          // the rate the sample clock runs at
    int Configuration() const;
    int AlternateSetting(int interfaceNumber) const;
    bool Streaming() const;
    bool EndpointHalted(std::uint8_t endpoint) const;
    std::vector<RequestRecord> Requests() const;
    void ClearRequests();
    DeviceCounters Counters() const;
    std::uint64_t OutputFramesPlayed() const;
    std::uint64_t InputFramesCaptured() const;
    std::vector<MidiOutByte> MidiOut() const;
    std::vector<CodecWriteRecord> CodecWrites() const;
    std::uint8_t CodecRegister(CodecChip chip, std::uint8_t address) const;
    double OutputGainDb(int channel) const;
    std::uint8_t DigitalFormat() const;
    bool InputsFromSpdif() const;

    // --- Stimuli and outputs -------------------------------------------------------------------
    void AddOutputSink(std::shared_ptr<OutputSink> sink);
    void RemoveOutputSink(const std::shared_ptr<OutputSink>& sink);
    void SetInputSource(int channel, InputSource source);
    // Inputs 0..7 from outputs 0..7, 8..15 from outputs 0..7 again.
    void LoopbackAllInputs();
    void SetSpdif(SpdifSignal signal);
    void SetInfoBytes(const std::array<std::uint8_t, 8>& info);
    // Bytes arriving on the MIDI input wire, queued and received at the wire's rate.
    void SendMidiIn(const std::vector<std::uint8_t>& bytes);
    // MIDI output bytes are also sent back into the MIDI input.
    void SetMidiLoopback(bool on);
    // The sample clock runs ppm parts per million fast (negative: slow).
    void SetClockPpm(std::int32_t ppm);
    void SetIgnoredCaptureByteFill(std::uint8_t fill);

    // --- Faults --------------------------------------------------------------------------------
    void AddControlFault(const ControlFault& fault);
    void AddDescriptorFault(const DescriptorFault& fault);
    void ClearFaults();
    // The next `count` transfers on the endpoint end with `status` (each consuming the unit slot
    // it would have used; a stall halts the endpoint until CLEAR_FEATURE(ENDPOINT_HALT)).
    void FailTransfers(std::uint8_t endpoint, int count, TransferStatus status);
    void StopClock();
    void StartClock();
    bool ClockStopped() const;

  private:
    struct Pending {
        TransferId id;
        std::uint8_t* data;
        std::uint32_t length;
        std::uint32_t taken;
        bool started;
        bool shortOk;
        std::optional<TransferStatus> fail;
        TransferCallback done;
    };
    struct PendingControl {
        Scheduler::EventId event;
        SetupPacket setup;
        std::uint8_t* data;
        TransferCallback done;
    };
    struct Completion {
        TransferCallback done;
        TransferResult result;
    };
    struct Life;

    ControlReply HandleLocked(const SetupPacket& s, std::uint8_t* data);
    ControlReply Standard(const SetupPacket& s, std::uint8_t* data);
    ControlReply Vendor(const SetupPacket& s, std::uint8_t* data);
    ControlReply Class(const SetupPacket& s, std::uint8_t* data);
    ControlReply Descriptor(const SetupPacket& s, std::uint8_t* data);
    std::uint8_t StatusLocked() const;
    std::uint32_t EffectiveRateLocked() const;
    bool SpdifInputsLocked() const;
    std::deque<Pending>* QueueFor(std::uint8_t endpoint);

    void StartStreamingLocked();
    void StopStreamingLocked();
    void ClockChangedLocked();
    void ScheduleChainsLocked();
    void OnPlaybackSlot(std::uint64_t generation, std::vector<Completion>& done);
    void OnCaptureUnit(std::uint64_t generation, std::vector<Completion>& done);
    void PlayUnitLocked(const std::uint8_t* unit);
    void GapLocked(std::uint8_t midi, std::uint8_t lines, std::uint64_t frame);
    std::int32_t OutputAtLocked(std::uint64_t frame, int channel) const;
    std::int32_t InputSampleLocked(const InputSource& src, std::uint64_t frame);
    void ScheduleMidiRxLocked();
    void OnMidiRx(std::vector<Completion>& done);
    void ScheduleMidiDeliveryLocked();
    void DeliverMidiLocked(std::vector<Completion>& done);
    template <class Fn>
    Scheduler::EventId At(ClockTicks due, Fn fn);
    static void Run(std::vector<Completion>& done);

    Scheduler& scheduler_;
    std::shared_ptr<Life> life_;
    mutable std::mutex mu_;
    bool connected_ = true;
    ClockTicks busDelay_ = 1250;  // 125 us

    // Configuration and control state.
    int configuration_ = 0;
    int alt_[kInterfaceCount] = {0, 0};
    std::uint8_t control_ = 0xB2;
    int mode_ = 1;
    std::array<std::uint8_t, 8> info_ = {'B', 1, 3, 2, 16, 8, 0x01, 0x00};
    std::array<std::array<std::uint8_t, kFirmwareBlockBytes>, kFirmwareBlocks> firmware_;
    std::uint32_t playbackRate_ = 0;
    std::uint32_t captureRate_ = 0;
    std::uint32_t setRate_ = 44100;
    SpdifSignal spdif_;
    std::map<std::uint8_t, bool> halted_;
    std::vector<RequestRecord> requests_;

    // Sample clock and streaming.
    SampleClock clock_;
    std::int32_t ppm_ = 0;
    bool clockStopped_ = false;
    std::uint64_t stoppedAtFrame_ = 0;
    bool streaming_ = false;
    std::uint64_t generation_ = 0;
    std::uint64_t playbackSlot_ = 0;  // next slot to play
    std::uint64_t captureUnit_ = 0;   // next unit to capture
    std::deque<Pending> out_;
    std::deque<Pending> in_;
    std::deque<Pending> midi_;
    std::map<TransferId, PendingControl> controls_;

    // Outputs.
    static constexpr std::size_t kHistoryFrames = 8192;
    std::vector<OutputFrame> history_;
    std::uint64_t outputFrames_ = 0;
    std::vector<std::shared_ptr<OutputSink>> sinks_;
    CodecSerialDecoder codecDecoder_;
    CodecRegisters codec_;
    std::vector<CodecWriteRecord> codecLog_;
    std::vector<MidiOutByte> midiOut_;
    bool midiLoopback_ = false;

    // Inputs.
    std::array<InputSource, kInputChannels> inputs_;
    std::uint8_t ignoredFill_ = 0;

    // MIDI input.
    std::deque<std::uint8_t> midiWire_;
    std::deque<std::uint8_t> midiFifo_;
    bool midiRxScheduled_ = false;
    ClockTicks midiLastRx_ = 0;
    bool midiDeliveryScheduled_ = false;

    // Faults.
    std::vector<ControlFault> controlFaults_;
    std::vector<DescriptorFault> descriptorFaults_;
    struct TransferFault {
        int count;
        TransferStatus status;
    };
    std::map<std::uint8_t, TransferFault> transferFaults_;

    DeviceCounters counters_;
};

}  // namespace q407::sim
