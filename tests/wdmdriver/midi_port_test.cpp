// The MIDI miniport under the emulated DirectMusic port, as the audio stack drives it: client bytes
// sent through a render pin reach the engine's MIDI OUT ring whole and in order although the ring
// takes a few bytes at a time, input that Q407DRV announces reaches the capture pin's client, and
// closing the pins closes the engine's MIDI port.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shared/mixer_settings.h"
#include "sim/host/machine_clock.h"
#include "sim/host/pool.h"
#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/dmus_allocator.h"
#include "sim/host/portcls/port_dmus.h"
#include "tests/wdmdriver/miniport_fakes.h"
#include "tools/device_rig.h"
#include "wdmdriver/midi_miniport.h"

namespace q407::testing {
namespace {

using sim::portcls::DmusPin;
using sim::portcls::PortDMus;

// MIDI's wire rate: 3,125 bytes per second, 320 us a byte.
constexpr LONGLONG kTicksPerMidiByte = 320 * sim::kTicksPerMicrosecond;
constexpr wchar_t kMidiName[] = L"ZEL_Midi1";

// The link the adapter below hands its miniport instead of Q407DRV's record.
FakeLink* g_link = nullptr;

// An adapter on the rig's child device with the driver's MIDI miniport as its one subdevice.
NTSTATUS StartMidiOnly(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
    (void)resources;
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortDMus);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = nullptr;
    status = wdm::CreateMidiMiniport(&miniport);
    if (NT_SUCCESS(status))
        status = port->Init(device, irp, miniport, g_link->AdapterObject(), nullptr);
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(device, const_cast<PWCHAR>(kMidiName), port);
    if (miniport != nullptr) miniport->Release();
    port->Release();
    return status;
}

NTSTATUS AddMidiOnly(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    return PcAddAdapterDevice(driver, physicalDevice, StartMidiOnly, 1, 0);
}

NTSTATUS MidiOnlyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddMidiOnly);
}

class MidiUnderPort : public ::testing::Test {
  protected:
    void SetUp() override {
        g_link = &link_;
        tools::DeviceRigOptions options;
        options.childDriver = MidiOnlyEntry;
        rig_ = std::make_unique<tools::DeviceRig>(options);
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(*rig_, DefaultMixerSettings(), &error)) << error;
        base_ = sim::portcls::ReferenceSubdevicePort(kMidiName);
        dmus_ = PortDMus::FromBase(base_);
        ASSERT_NE(dmus_, nullptr);
    }
    void TearDown() override {
        for (DmusPin* pin : pins_) {
            pin->Close();
            pin->Release();
        }
        if (base_ != nullptr) base_->ReleasePortReference();
        if (rig_ && !rig_->Removed()) {
            EXPECT_EQ(rig_->Remove(), STATUS_SUCCESS);
        }
        rig_.reset();
        g_link = nullptr;
        EXPECT_EQ(sim::Pool::LeakReport(), "");
    }
    DmusPin* Open(bool capture) {
        DmusPin* pin = nullptr;
        EXPECT_EQ(dmus_->OpenPin(capture, &pin), STATUS_SUCCESS);
        if (pin != nullptr) pins_.push_back(pin);
        return pin;
    }
    void RunFor(sim::ClockTicks ticks) { rig_->RunFor(ticks); }
    sim::ClockTicks Now() const { return sim::MachineClock::Instance().Now(); }

    FakeLink link_{0};
    std::unique_ptr<tools::DeviceRig> rig_;
    sim::portcls::PortBase* base_ = nullptr;
    PortDMus* dmus_ = nullptr;
    std::vector<DmusPin*> pins_;
};

TEST_F(MidiUnderPort, SentBytesReachTheRingWholeAndInOrderAtTheWireRate) {
    DmusPin* render = Open(false);
    ASSERT_NE(render, nullptr);
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // A ring that holds more than the 2 ms between retries drain (6.25 bytes), far less than
    // the engine's 2,048.
    link_.SetOutPacing(16, kTicksPerMidiByte);

    std::vector<uint8_t> bytes = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40,
                                  0x00, 0x7F, 0x00, 0x41, 0x00, 0xF7};
    for (int i = 0; i < 600; ++i) bytes.push_back(uint8_t(i % 128));
    const sim::ClockTicks start = Now();
    size_t sent = 0;
    ASSERT_EQ(render->Send(bytes.data(), bytes.size(), &sent), STATUS_SUCCESS);
    EXPECT_EQ(sent, bytes.size());
    // Send returns once its events are handed over; the stream finishes them on its retries.
    // The ring drains at the wire rate and the retries keep it fed: 612 bytes leave in about
    // 196 ms (less the ring's 16 bytes queued at once), and a retry every 2 ms may add 2 ms.
    const sim::ClockTicks wire = sim::ClockTicks(bytes.size()) * kTicksPerMidiByte;
    sim::ClockTicks elapsed = 0;
    while (link_.Written().size() < bytes.size() && elapsed < 2 * wire) {
        RunFor(sim::kTicksPerMillisecond / 2);
        elapsed = Now() - start;
    }
    EXPECT_EQ(link_.Written(), bytes);
    EXPECT_GE(elapsed, wire - 16 * kTicksPerMidiByte);
    EXPECT_LE(elapsed, wire + 3 * sim::kTicksPerMillisecond);
    EXPECT_GT(link_.CallsOf(kLinkWriteMidiByte).size(), bytes.size());  // refusals were retried
    RunFor(5 * sim::kTicksPerMillisecond);
    EXPECT_EQ(dmus_->Allocator()->EventsOut(), 0u);
    EXPECT_EQ(dmus_->Allocator()->BuffersOut(), 0u);
}

TEST_F(MidiUnderPort, AnnouncedInputReachesTheCapturePinsClient) {
    DmusPin* capture = Open(true);
    ASSERT_NE(capture, nullptr);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto callback = link_.RegisteredCallback();
    ASSERT_NE(callback, nullptr);

    std::vector<uint8_t> input;
    for (int i = 0; i < 100; ++i) input.push_back(uint8_t(0x80 + i % 64));
    link_.QueueIn(input);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);  // as the engine's MIDI input completion calls it
    callback(1, 0, link_.RegisteredContext(), 0);
    KeLowerIrql(irql);
    RunFor(sim::kTicksPerMillisecond);

    std::vector<uint8_t> got;
    capture->Receive(&got);
    EXPECT_EQ(got, input);
}

TEST_F(MidiUnderPort, ClosingThePinsClosesTheEnginesMidiPortAndUnregisters) {
    DmusPin* render = Open(false);
    DmusPin* capture = Open(true);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (DmusPin* pin : pins_) {
        pin->Close();
        pin->Release();
    }
    pins_.clear();
    RunFor(sim::kTicksPerMillisecond);

    int opened[2] = {0, 0};
    for (const LinkCall& call : link_.CallsOf(kLinkOpenMidiInput)) {
        const uint32_t input = call.words[2];
        ASSERT_LT(input, 2u);
        opened[input] += call.words[1] == 1 ? 1 : -1;
    }
    EXPECT_EQ(opened[0], 0);  // every open has its close
    EXPECT_EQ(opened[1], 0);
    const auto notifies = link_.CallsOf(kLinkRegisterMidiInNotify);
    ASSERT_EQ(notifies.size(), 2u);
    EXPECT_EQ(notifies[1].Word64(2), 0u);
}

}  // namespace
}  // namespace q407::testing
