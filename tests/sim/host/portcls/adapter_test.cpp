// The port-class emulation driven by a fake adapter driver on the rig's child device: subdevices
// registered under their categories and names, the port-events check, physical connections,
// property requests and basic support against the miniport's tables, the mixer lines and mute
// through the audio client, power changes reaching the miniports, and every way the adapter can
// end (removal, stop, surprise removal, a failed start) leaving nothing behind.
#include "sim/host/portcls/adapter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "sim/host/device_interfaces.h"
#include "sim/host/pnp_manager.h"
#include "sim/host/pool.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/host/portcls/property_requests.h"
#include "sim/host/portcls/resource_list.h"
#include "sim/host/portcls/service_group.h"
#include "tests/sim/host/portcls/fake_adapter_driver.h"
#include "tools/device_rig.h"

namespace q407::testing {
namespace {

using sim::portcls::PortBase;
using sim::portcls::PropertyRequest;

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class PortClassAdapterTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetFakeAdapter(); }

    void Boot() {
        tools::DeviceRigOptions options;
        options.childDriver = FakeAdapterDriverEntry;
        rig_ = std::make_unique<tools::DeviceRig>(options);
        ASSERT_EQ(rig_->Start(), STATUS_SUCCESS);
        ASSERT_NE(rig_->ChildDevice(), nullptr);
    }

    // Everything the emulation and the driver allocated for the adapter is gone.
    void ExpectNothingLeft() {
        EXPECT_EQ(sim::Pool::LeakReport({kFakeMiniportTag, sim::portcls::kPortClassPoolTag,
                                         sim::portcls::kServiceGroupPoolTag,
                                         sim::portcls::kResourceListPoolTag}),
                  "");
        EXPECT_EQ(FakeLog().liveMiniports.load(), 0);
        EXPECT_TRUE(sim::portcls::RegisteredSubdevices().empty());
        EXPECT_TRUE(sim::portcls::AdapterPhysicalDevices().empty());
        EXPECT_TRUE(sim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).empty());
    }

    NTSTATUS Submit(const wchar_t* name, PropertyRequest* request) {
        PortBase* port = sim::portcls::ReferenceSubdevicePort(name);
        if (port == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        const NTSTATUS status = sim::portcls::SubmitPropertyRequest(port, request);
        port->ReleasePortReference();
        return status;
    }

    std::unique_ptr<tools::DeviceRig> rig_;
};

TEST_F(PortClassAdapterTest, RegistersSubdevicesUnderTheirCategoriesWithTheNameAsReference) {
    Boot();
    EXPECT_EQ(FakeLog().startStatus, STATUS_SUCCESS);
    const auto list = sim::audio::ListSubdevices();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, kFakeWaveName);
    EXPECT_EQ(list[0].kind, sim::audio::SubdeviceKind::Wave);
    EXPECT_TRUE(list[0].playback);
    EXPECT_TRUE(list[0].recording);
    EXPECT_EQ(list[0].unit, 0);
    EXPECT_TRUE(EndsWith(list[0].symbolicLink, L"\\TST_Wave1"))
        << std::string(list[0].symbolicLink.begin(), list[0].symbolicLink.end());
    EXPECT_EQ(list[1].name, kFakeMixerName);
    EXPECT_EQ(list[1].kind, sim::audio::SubdeviceKind::Topology);
    EXPECT_FALSE(list[1].playback || list[1].recording);

    // The wave filter streams both ways; the mixer has bridge pins only.
    const auto render = sim::EnabledDeviceInterfaces(KSCATEGORY_RENDER);
    const auto capture = sim::EnabledDeviceInterfaces(KSCATEGORY_CAPTURE);
    const auto topology = sim::EnabledDeviceInterfaces(KSCATEGORY_TOPOLOGY);
    ASSERT_EQ(render.size(), 1u);
    ASSERT_EQ(capture.size(), 1u);
    ASSERT_EQ(topology.size(), 1u);
    EXPECT_TRUE(EndsWith(render[0], L"\\TST_Wave1"));
    EXPECT_TRUE(EndsWith(capture[0], L"\\TST_Wave1"));
    EXPECT_TRUE(EndsWith(topology[0], L"\\TST_Mixer1"));
    const auto records = sim::portcls::SubdevicesOf(rig_->ChildDevice());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, sim::portcls::PortKind::WaveCyclic);
    EXPECT_EQ(records[0].symbolicLinks.size(), 3u);  // audio, render, capture
    EXPECT_EQ(records[1].symbolicLinks.size(), 2u);  // audio, topology

    // Ports answer the events interface, and other classes are refused.
    EXPECT_EQ(FakeLog().portEventsQuery, STATUS_SUCCESS);
    EXPECT_EQ(FakeLog().unknownClass, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(rig_->Remove(), STATUS_SUCCESS);
    ExpectNothingLeft();
}

TEST_F(PortClassAdapterTest, RecordsPhysicalConnectionsAndRefusesWrongOnes) {
    Boot();
    const auto connections = sim::portcls::PhysicalConnectionsOf(rig_->ChildDevice());
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0].fromName, kFakeWaveName);
    EXPECT_EQ(connections[0].fromPin, 1u);
    EXPECT_EQ(connections[0].toName, kFakeMixerName);
    EXPECT_EQ(connections[0].toPin, 0u);
    EXPECT_EQ(connections[1].fromName, kFakeMixerName);
    EXPECT_EQ(connections[1].fromPin, 3u);
    EXPECT_EQ(connections[1].toName, kFakeWaveName);
    EXPECT_EQ(connections[1].toPin, 3u);
    // From the wave filter's render input: not a way out of the filter.
    EXPECT_EQ(FakeLog().wrongDirection, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FakeLog().pinOutOfRange, STATUS_INVALID_PARAMETER);
}

TEST_F(PortClassAdapterTest, RefusesBadRegistrations) {
    FakeKnobs().tryBadRegistrations = true;
    Boot();
    EXPECT_EQ(FakeLog().duplicateName, STATUS_OBJECT_NAME_COLLISION);  // names ignore case
    EXPECT_EQ(FakeLog().badName, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FakeLog().uninitialisedPort, STATUS_INVALID_DEVICE_REQUEST);
    // Four objects: wave, mixer and two extras fit, the third extra does not.
    EXPECT_EQ(FakeLog().beyondMaxObjects, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::portcls::SubdevicesOf(rig_->ChildDevice()).size(), kFakeMaxObjects);
    // The unregistered ports are still bound to their miniports until the adapter ends them.
    EXPECT_GT(sim::portcls::BoundPortsOf(rig_->ChildDevice()), kFakeMaxObjects);
    ASSERT_EQ(rig_->Remove(), STATUS_SUCCESS);
    ExpectNothingLeft();
}

TEST_F(PortClassAdapterTest, MixerLinesAndMuteThroughTheAudioClient) {
    Boot();
    std::vector<sim::audio::MixerLine> lines;
    ASSERT_EQ(sim::audio::ListMixerLines(kFakeMixerName, &lines), STATUS_SUCCESS);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].node, 1);
    EXPECT_TRUE(lines[0].playbackPath);  // starts at the pin the wave filter feeds
    EXPECT_EQ(lines[1].node, 3);
    EXPECT_FALSE(lines[1].playbackPath);
    EXPECT_TRUE(lines[0].hasMute && lines[1].hasMute);
    EXPECT_FALSE(lines[0].muted || lines[1].muted);

    ASSERT_EQ(sim::audio::SetMute(kFakeMixerName, 3, true), STATUS_SUCCESS);
    EXPECT_TRUE(FakeMuted(3));
    EXPECT_FALSE(FakeMuted(1));
    bool muted = false;
    ASSERT_EQ(sim::audio::GetMute(kFakeMixerName, 3, &muted), STATUS_SUCCESS);
    EXPECT_TRUE(muted);
    ASSERT_EQ(sim::audio::ListMixerLines(kFakeMixerName, &lines), STATUS_SUCCESS);
    EXPECT_FALSE(lines[0].muted);
    EXPECT_TRUE(lines[1].muted);
    // The request as the miniport saw it: channel instance, a BOOL, at PASSIVE_LEVEL, the
    // miniport as major target.
    EXPECT_EQ(FakeLog().lastInstanceSize, 8u);
    EXPECT_EQ(FakeLog().lastValueSize, sizeof(BOOL));
    EXPECT_EQ(FakeLog().lastNode, 3u);
    EXPECT_EQ(FakeLog().lastHandlerIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(FakeLog().lastMajorTargetIsMiniport);

    // A node without the property, a filter that is not a mixer, a name nobody registered.
    EXPECT_EQ(sim::audio::SetMute(kFakeMixerName, 0, true), STATUS_NOT_FOUND);
    EXPECT_EQ(sim::audio::SetMute(kFakeMixerName, 9, true), STATUS_NOT_FOUND);
    EXPECT_EQ(sim::audio::SetMute(kFakeWaveName, 1, true), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sim::audio::GetMute(L"TST_Mixer2", 1, &muted), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::audio::ListMixerLines(L"TST_Mixer2", &lines), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(lines.empty());
}

TEST_F(PortClassAdapterTest, PropertyRequestsFollowTheAutomationTables) {
    Boot();
    // The port answers basic support for node 3's item, which leaves it out.
    KSPROPERTY_DESCRIPTION description{};
    PropertyRequest basic;
    basic.node = 3;
    basic.set = KSPROPSETID_Audio;
    basic.id = KSPROPERTY_AUDIO_MUTE;
    basic.verb = KSPROPERTY_TYPE_BASICSUPPORT;
    basic.value = &description;
    basic.valueSize = 0;
    EXPECT_EQ(Submit(kFakeMixerName, &basic), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(basic.valueSize, sizeof(KSPROPERTY_DESCRIPTION));
    basic.valueSize = 2;
    EXPECT_EQ(Submit(kFakeMixerName, &basic), STATUS_BUFFER_TOO_SMALL);
    basic.valueSize = sizeof(ULONG);
    ASSERT_EQ(Submit(kFakeMixerName, &basic), STATUS_SUCCESS);
    EXPECT_EQ(basic.valueSize, sizeof(ULONG));
    EXPECT_EQ(description.AccessFlags,
              ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    basic.valueSize = sizeof(description);
    ASSERT_EQ(Submit(kFakeMixerName, &basic), STATUS_SUCCESS);
    EXPECT_EQ(description.DescriptionSize, sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(description.MembersListCount, 0u);

    // Node 1's item answers it itself: the handler sees the verb and the buffer size.
    ULONG access = 0;
    basic.node = 1;
    basic.value = &access;
    basic.valueSize = sizeof(access);
    ASSERT_EQ(Submit(kFakeMixerName, &basic), STATUS_SUCCESS);
    EXPECT_EQ(FakeLog().lastVerb, ULONG(KSPROPERTY_TYPE_BASICSUPPORT));
    EXPECT_EQ(FakeLog().lastNode, 1u);
    EXPECT_EQ(access,
              ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));

    // Filter properties: the component ID can be read, not written.
    KSCOMPONENTID id{};
    PropertyRequest component;
    component.set = KSPROPSETID_General;
    component.id = KSPROPERTY_GENERAL_COMPONENTID;
    component.value = &id;
    component.valueSize = sizeof(id);
    ASSERT_EQ(Submit(kFakeMixerName, &component), STATUS_SUCCESS);
    EXPECT_EQ(id.Revision, 2u);
    component.verb = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(Submit(kFakeMixerName, &component), STATUS_INVALID_DEVICE_REQUEST);
    // Unknown items, and a filter without an automation table.
    component.verb = KSPROPERTY_TYPE_GET;
    component.id = 7;
    EXPECT_EQ(Submit(kFakeMixerName, &component), STATUS_NOT_FOUND);
    component.id = KSPROPERTY_GENERAL_COMPONENTID;
    EXPECT_EQ(Submit(kFakeWaveName, &component), STATUS_NOT_FOUND);
    // The handler's own checks see the instance as given: a missing channel is refused.
    BOOL value = TRUE;
    PropertyRequest bare;
    bare.node = 1;
    bare.set = KSPROPSETID_Audio;
    bare.id = KSPROPERTY_AUDIO_MUTE;
    bare.verb = KSPROPERTY_TYPE_SET;
    bare.value = &value;
    bare.valueSize = sizeof(value);
    EXPECT_EQ(Submit(kFakeMixerName, &bare), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FakeLog().lastInstanceSize, 0u);
    EXPECT_FALSE(FakeMuted(1));
}

TEST_F(PortClassAdapterTest, RemovalUnregistersEverythingAndLeaksNothing) {
    Boot();
    sim::DeviceInterfaceSubscription notices(KSCATEGORY_AUDIO);
    ASSERT_EQ(rig_->Remove(), STATUS_SUCCESS);
    ExpectNothingLeft();
    // Each interface's removal reached user mode.
    int removals = 0;
    sim::DeviceInterfaceNotice notice;
    while (notices.Next(&notice))
        if (notice.kind == sim::DeviceInterfaceNotice::Kind::Removal) ++removals;
    EXPECT_EQ(removals, 2);
    EXPECT_EQ(sim::audio::SetMute(kFakeMixerName, 1, true), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PortClassAdapterTest, StopEndsTheSubdevicesAndRestartRegistersThemAgain) {
    Boot();
    PDEVICE_OBJECT child = rig_->ChildDevice();
    ASSERT_EQ(rig_->Pnp().Stop(child), STATUS_SUCCESS);
    EXPECT_TRUE(sim::audio::ListSubdevices().empty());
    EXPECT_EQ(FakeLog().liveMiniports.load(), 0);
    EXPECT_EQ(sim::Pool::Usage(sim::portcls::kPortClassPoolTag).allocations, 0u);
    ASSERT_EQ(rig_->Pnp().Restart(child), STATUS_SUCCESS);
    EXPECT_EQ(FakeLog().starts.load(), 2);
    EXPECT_EQ(sim::audio::ListSubdevices().size(), 2u);
    EXPECT_EQ(sim::portcls::PhysicalConnectionsOf(rig_->ChildDevice()).size(), 2u);
    ASSERT_EQ(rig_->Remove(), STATUS_SUCCESS);
    ExpectNothingLeft();
}

TEST_F(PortClassAdapterTest, SleepAndWakeReachTheMiniportsThatAnswerPowerNotification) {
    Boot();
    ASSERT_EQ(rig_->Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(rig_->Wake(), STATUS_SUCCESS);
    const std::vector<DEVICE_POWER_STATE> expected{PowerDeviceD3, PowerDeviceD0};
    EXPECT_EQ(FakeLog().wavePower, expected);
    EXPECT_EQ(FakeLog().mixerPower, expected);
    EXPECT_EQ(sim::audio::ListSubdevices().size(), 2u);
}

TEST_F(PortClassAdapterTest, SurpriseRemovalHidesTheSubdevicesAtOnce) {
    Boot();
    rig_->Unplug();
    rig_->FinishRemove();
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).empty());
    EXPECT_TRUE(sim::audio::ListSubdevices().empty());
    EXPECT_EQ(sim::audio::SetMute(kFakeMixerName, 1, true), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectNothingLeft();
}

TEST_F(PortClassAdapterTest, AFailingMiniportInitFailsTheStartAndReleasesEverything) {
    FakeKnobs().mixerInitStatus = STATUS_DEVICE_DATA_ERROR;
    tools::DeviceRigOptions options;
    options.childDriver = FakeAdapterDriverEntry;
    rig_ = std::make_unique<tools::DeviceRig>(options);
    (void)rig_->Start();  // the child's failure only marks the child
    EXPECT_EQ(FakeLog().startStatus, STATUS_DEVICE_DATA_ERROR);
    ExpectNothingLeft();
}

TEST_F(PortClassAdapterTest, CatchesDriversThatBreakThePortClassRules) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            FakeKnobs().scribbleOnPortClassArea = true;
            Boot();
        },
        "belong to the port-class driver");
    EXPECT_DEATH(
        {
            FakeKnobs().initWaveTwice = true;
            Boot();
        },
        "IPort::Init: the wave-cyclic port was initialised before");
}

TEST_F(PortClassAdapterTest, TimeIntervalsRunOnTheMachineClock) {
    Boot();
    const ULONGLONG start = PcGetTimeInterval(0);
    rig_->RunFor(3 * sim::kTicksPerMillisecond);
    const ULONGLONG elapsed = PcGetTimeInterval(start);
    EXPECT_GE(elapsed, 30000u);  // 100-nanosecond units
    EXPECT_LT(elapsed, 40000u);
}

// A sink that counts the services and the IRQL they came at.
class CountingSink : public IServiceSink {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--refs); }
    STDMETHODIMP_(void) RequestService() override {
        ++services;
        irql = KeGetCurrentIrql();
    }
    int refs = 1;
    int services = 0;
    KIRQL irql = PASSIVE_LEVEL;
};

TEST_F(PortClassAdapterTest, ServiceGroupsServeTheirMembersAtDispatchLevelAndAfterADelay) {
    Boot();
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    CountingSink a;
    CountingSink b;
    ASSERT_EQ(group->AddMember(&a), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(&b), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(&a), STATUS_SUCCESS);  // once is enough
    EXPECT_EQ(a.refs, 2);
    group->RequestService();
    EXPECT_EQ(a.services, 1);
    EXPECT_EQ(b.services, 1);
    EXPECT_EQ(a.irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    group->RemoveMember(&b);
    EXPECT_EQ(b.refs, 1);

    group->SupportDelayedService();
    group->RequestDelayedService(ULONGLONG(-10 * 10000LL));  // 10 ms
    rig_->RunFor(5 * sim::kTicksPerMillisecond);
    EXPECT_EQ(a.services, 1);
    rig_->RunFor(10 * sim::kTicksPerMillisecond);
    EXPECT_EQ(a.services, 2);
    EXPECT_EQ(b.services, 1);
    // A cancelled delay serves nobody and gives its reference back.
    group->RequestDelayedService(ULONGLONG(-10 * 10000LL));
    group->CancelDelayedService();
    rig_->RunFor(20 * sim::kTicksPerMillisecond);
    EXPECT_EQ(a.services, 2);
    EXPECT_EQ(group->Release(), 0u);
    EXPECT_EQ(a.refs, 1);
    EXPECT_EQ(sim::portcls::LiveServiceGroups(), 0);
    EXPECT_EQ(sim::Pool::Usage(sim::portcls::kServiceGroupPoolTag).allocations, 0u);
}

}  // namespace
}  // namespace q407::testing
