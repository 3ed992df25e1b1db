// The MIDI miniport object, as its streams and property handlers see it.
//
// Locks: the miniport's lock guards the stream counts, the capture state and the input buffer
// (with its positions and arrival time); it is taken at DISPATCH_LEVEL and nothing else is
// acquired while it is held except the link's own locking and the master clock.
#pragma once

#include "wdmdriver/midi_miniport.h"
#include "wdmdriver/miniport_link.h"

namespace q407::wdm {

class MidiMiniport : public IMiniportDMus, public IPowerNotify, public CUnknown {
  public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(MidiMiniport);
    ~MidiMiniport() override;

    // IMiniport
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                          ULONG outputBufferLength, PVOID resultantFormat,
                          PULONG resultantFormatLength) override;
    // IMiniportDMus
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTDMUS port,
         PSERVICEGROUP* serviceGroup) override;
    STDMETHODIMP_(void) Service() override;
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMXF* mxf, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG pinId,
              DMUS_STREAM_TYPE streamType, PKSDATAFORMAT dataFormat, PSERVICEGROUP* serviceGroup,
              PAllocatorMXF allocatorMxf, PMASTERCLOCK masterClock,
              PULONGLONG schedulePreFetch) override;
    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE powerState) override;

    // The miniport behind a property request's major target (its IUnknown).
    static MidiMiniport* FromUnknown(PUNKNOWN unknown);

    // For the streams.
    MiniportLink* Link() { return &link_; }
    UCHAR MidiPort() const { return UCHAR(link_.index); }
    BOOLEAN Ready() const { return ready_; }
    void StreamClosed(BOOLEAN capture);
    void SetCaptureState(KSSTATE state);
    // Reads what the engine holds into the input buffer, then hands the buffered bytes to the
    // sink in events of up to 8 bytes taken from the allocator.
    NTSTATUS PullInput(PAllocatorMXF allocator, PMXF sink);
    // The master clock's time, or STATUS_INVALID_DEVICE_REQUEST before any stream handed one.
    NTSTATUS CurrentTime(REFERENCE_TIME* time);

    // Called by Q407DRV as routine(1, 0, miniport, argument) when MIDI input arrived, and with
    // argument kMidiInputDeviceRemoved when the device is going away. DISPATCH_LEVEL.
    static void MidiInputRoutine(LONG direction, LONG code, PVOID context, LONG argument);

    ULONG InputBytesBuffered();
    DEVICE_POWER_STATE PowerState() const { return powerState_; }

  private:
    void ResetInputLocked();
    void PollInputLocked();

    MiniportLink link_{};
    PPORTDMUS port_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    PMASTERCLOCK masterClock_ = nullptr;
    BOOLEAN ready_ = FALSE;
    KSPIN_LOCK lock_ = 0;
    ULONG renderStreams_ = 0;
    ULONG captureStreams_ = 0;
    KSSTATE captureState_ = KSSTATE_STOP;
    UCHAR input_[kMidiInputBufferBytes] = {};
    ULONG inputWrite_ = 0;
    ULONG inputRead_ = 0;
    REFERENCE_TIME arrivalTime_ = 0;  // of the oldest buffered byte; 0 when none
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
    UCHAR scratch_[16][64] = {};
};

// What tests look at, through the miniport's IUnknown (the miniport's class carries no type
// information of its own, so callers built with it reach the object only through these).
ULONG MidiInputBytesBuffered(PUNKNOWN miniport);
DEVICE_POWER_STATE MidiPowerState(PUNKNOWN miniport);

// The synthesizer nodes' property handler (capabilities, port parameters, channel groups,
// latency clock).
NTSTATUS NTAPI SynthPropertyHandler(PPCPROPERTY_REQUEST request);

// Makes a render or capture stream for the miniport (midi_stream.cpp); *mxf receives one counted
// reference. The stream keeps a reference to the miniport and to the allocator.
NTSTATUS CreateMidiStream(MidiMiniport* miniport, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                          BOOLEAN capture, PAllocatorMXF allocator, PMXF* mxf);

}  // namespace q407::wdm
