// The DirectMusic port with a small fake miniport: render streams fed with event chains (inline
// and pointer data), the capture stream pulled into our sink on Notify, allocator exhaustion, and
// removal while streams run.
#include "sim/host/portcls/port_dmus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shared/mixer_settings.h"
#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/dmus_allocator.h"
#include "sim/host/portcls/port_factories.h"
#include "sim/host/verifier.h"
#include "tests/sim/host/portcls/fake_adapter_driver.h"
#include "tests/sim/host/portcls/fake_dmus_miniport.h"
#include "tools/device_rig.h"

namespace q407::testing {
namespace {

using sim::portcls::DmusAllocator;
using sim::portcls::DmusPin;
using sim::portcls::PortDMus;

std::string PortPoolLeft() {
    std::string left;
    for (const sim::PoolTagUsage& u : sim::Pool::Outstanding()) {
        const std::string tag = sim::TagText(u.tag);
        if (tag == "ZPdm" || tag == "ZPwp" || tag == "ZPpc" || tag == "ZPsg" || tag == "Tfdm" ||
            tag == "Tfwm")
            left += tag + " ";
    }
    return left;
}

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

class DmusPort : public ::testing::Test {
  protected:
    void SetUp() override {
        tools::DeviceRigOptions options;
        options.childDriver = FakeAdapterDriverEntry;
        rig_ = std::make_unique<tools::DeviceRig>(options);
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(*rig_, DefaultMixerSettings(), &error)) << error;
        base_ = sim::portcls::ReferenceSubdevicePort(kFakeMidiName);
        dmus_ = PortDMus::FromBase(base_);
        ASSERT_NE(dmus_, nullptr);
        miniport_ = FakeAdapterMidiMiniport();
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
        EXPECT_EQ(PortPoolLeft(), "") << "the port, its pins, events or the miniport leaked";
    }

    DmusPin* Open(bool capture) {
        DmusPin* pin = nullptr;
        EXPECT_EQ(dmus_->OpenPin(capture, &pin), STATUS_SUCCESS);
        if (pin != nullptr) pins_.push_back(pin);
        return pin;
    }
    sim::ClockTicks Now() const { return sim::MachineClock::Instance().Now(); }

    std::unique_ptr<tools::DeviceRig> rig_;
    bool reset_ = (ResetFakeAdapter(), true);  // before the log is looked up
    FakeMidiLog& log_ = FakeAdapterMidiLog();
    PUNKNOWN miniport_ = nullptr;
    sim::portcls::PortBase* base_ = nullptr;
    PortDMus* dmus_ = nullptr;
    std::vector<DmusPin*> pins_;
};

TEST_F(DmusPort, RenderEventsCarryShortMessagesInlineAndLongOnesThroughBuffers) {
    DmusPin* render = Open(false);
    ASSERT_NE(render, nullptr);
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const std::vector<uint8_t> noteOn = {0x90, 0x3C, 0x64};
    const std::vector<uint8_t> sysex = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40,
                                        0x00, 0x7F, 0x00, 0x41, 0x00, 0xF7};
    const auto bulk = Bytes(600, 1);
    size_t sent = 0;
    EXPECT_EQ(render->Send(noteOn.data(), noteOn.size(), &sent), STATUS_SUCCESS);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(render->Send(sysex.data(), sysex.size(), &sent), STATUS_SUCCESS);
    EXPECT_EQ(render->Send(bulk.data(), bulk.size(), &sent), STATUS_SUCCESS);
    EXPECT_EQ(sent, 600u);

    std::vector<uint8_t> expected = noteOn;
    expected.insert(expected.end(), sysex.begin(), sysex.end());
    expected.insert(expected.end(), bulk.begin(), bulk.end());
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.rendered, expected);
    EXPECT_EQ(log_.renderEventSizes, (std::vector<USHORT>{3, 12, 256, 256, 88}))
        << "events of at most the allocator's buffer size";
    EXPECT_EQ(log_.renderStates,
              (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
    EXPECT_EQ(log_.lowestPutIrql, DISPATCH_LEVEL);
    EXPECT_EQ(dmus_->Allocator()->EventsOut(), 0u);
    EXPECT_EQ(dmus_->Allocator()->BuffersOut(), 0u);
}

TEST_F(DmusPort, NotifyPullsTheCaptureStreamsInputIntoOurSink) {
    DmusPin* capture = Open(true);
    ASSERT_NE(capture, nullptr);
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_NE(log_.connectedSink, nullptr) << "the capture stream is connected to our sink";
        const auto input = Bytes(20, 0x20);
        log_.input.assign(input.begin(), input.end());
    }
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    dmus_->Notify(FakeDmusServiceGroup(miniport_));
    std::vector<uint8_t> got;
    EXPECT_EQ(capture->Receive(&got), 20u);
    EXPECT_EQ(got, Bytes(20, 0x20));
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.pulls, 1);
        EXPECT_EQ(log_.services, 1) << "the miniport's Service runs with the pull";
        EXPECT_EQ(log_.lowestPutIrql, DISPATCH_LEVEL);
        log_.input.assign({0xF8, 0xFA});
    }
    // Without a group the port services itself.
    dmus_->Notify(nullptr);
    got.clear();
    EXPECT_EQ(capture->Receive(&got), 2u);
    EXPECT_EQ(got, (std::vector<uint8_t>{0xF8, 0xFA}));
    EXPECT_EQ(dmus_->Services(), 2u);
    EXPECT_EQ(dmus_->Allocator()->EventsOut(), 0u) << "the sink gives captured events back";
}

TEST_F(DmusPort, AnExhaustedAllocatorMakesTheSenderWaitThenFail) {
    DmusPin* render = Open(false);
    ASSERT_NE(render, nullptr);
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    log_.holdRenderEvents = true;  // the stream keeps every event: nothing comes back
    const size_t more = size_t(DmusAllocator::kBuffers + 1) * DmusAllocator::kBufferBytes;
    const auto bytes = Bytes(more, 0);
    size_t sent = 0;
    const sim::ClockTicks before = Now();
    EXPECT_EQ(render->Send(bytes.data(), bytes.size(), &sent), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sent, size_t(DmusAllocator::kBuffers) * DmusAllocator::kBufferBytes)
        << "what the pool could carry went out";
    EXPECT_GE(Now() - before, 250 * sim::kTicksPerMillisecond) << "it waited first";
    EXPECT_GT(dmus_->Allocator()->FailedRequests(), 0u);
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.rendered, std::vector<uint8_t>(bytes.begin(), bytes.begin() + sent));
    }
    // Once the stream gives its events back the sender goes on.
    EXPECT_EQ(ReleaseHeldRenderEvents(miniport_), DmusAllocator::kBuffers);
    log_.holdRenderEvents = false;
    EXPECT_EQ(render->Send(bytes.data() + sent, bytes.size() - sent, &sent), STATUS_SUCCESS);
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.rendered, bytes);
}

TEST_F(DmusPort, OneCaptureStreamAndRemovalWhileRunningLeavesNothing) {
    DmusPin* render = Open(false);
    DmusPin* capture = Open(true);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    DmusPin* second = nullptr;
    EXPECT_EQ(dmus_->OpenPin(true, &second), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    log_.holdRenderEvents = true;  // events still in the stream at removal
    const auto bytes = Bytes(40, 0x30);
    ASSERT_EQ(render->Send(bytes.data(), bytes.size(), nullptr), STATUS_SUCCESS);
    EXPECT_GT(dmus_->Allocator()->EventsOut(), 0u);

    // The device goes while both streams run; the client holds only its pins.
    base_->ReleasePortReference();
    base_ = nullptr;
    dmus_ = nullptr;
    log_.input.assign({0x90, 0x40});  // input that nobody will pull any more
    EXPECT_EQ(rig_->Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(render->Closed());
    EXPECT_TRUE(capture->Closed());
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.streamsAlive, 0);
        EXPECT_EQ(log_.connectedSink, nullptr) << "the sink was disconnected";
        ASSERT_FALSE(log_.captureStates.empty());
        EXPECT_EQ(log_.captureStates.back(), KSSTATE_STOP);
    }
    EXPECT_EQ(render->Send(bytes.data(), bytes.size(), nullptr), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(capture->SetState(KSSTATE_RUN), STATUS_DEVICE_REMOVED);
    std::vector<uint8_t> got;
    EXPECT_EQ(capture->Receive(&got), 0u);
}

}  // namespace
}  // namespace q407::testing
