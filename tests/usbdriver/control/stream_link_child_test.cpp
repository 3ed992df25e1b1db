// The link as the WDM audio driver gets it: query-interface requests on the child device, and the
// audio driver's stand-in (tests/support/link_test_driver) loaded on the child, streaming, moving
// MIDI both ways and using every link function while the device streams, then removed with
// nothing left behind.
//
#include <cstring>

#include "control_fixture.h"
#include "shared/stream_link.h"
#include "sim/host/io_manager.h"
#include "tests/support/link_test_driver.h"
#include "usbdriver/control/emulated_dma_adapter.h"
#include "usbdriver/control/link_interface.h"
#include "usbdriver/control/stream_link.h"

namespace q407::testing {
namespace {

class StreamLinkChildTest : public ControlFixture {
  protected:
    void SetUp() override {
        ControlFixture::SetUp();
        const DeviceExtension* parent = ExtensionOf(rig_.FunctionalDevice());
        ASSERT_EQ(parent->childCount, 1u);
        child_ = parent->children[0];
    }

    void TearDown() override {
        if (wdmLoaded_) RemoveStandIn();
        EXPECT_EQ(
            sim::Pool::LeakReport({kCommonBufferPoolTag, kMapRegisterPoolTag, kLinkTestPoolTag}),
            "");
        ControlFixture::TearDown();
    }

    LONG References() const {
        return InterlockedCompareExchange(
            &ExtensionOf(rig_.FunctionalDevice())->interfaceReferences, 0, 0);
    }

    NTSTATUS Pnp(UCHAR minor) {
        return sim::SendSystemRequest(
            child_, IRP_MJ_PNP, minor, [](PIO_STACK_LOCATION) {}, STATUS_NOT_SUPPORTED);
    }

    // The audio driver as the system loads it on the child: entry, add-device, start.
    LinkTestDevice* LoadStandIn() {
        EXPECT_EQ(sim::LoadDriver(kLinkTestServiceName, LinkTestDriverEntry), STATUS_SUCCESS);
        wdmLoaded_ = true;
        EXPECT_EQ(sim::CallAddDevice(sim::FindDriver(kLinkTestServiceName), child_),
                  STATUS_SUCCESS);
        EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        return FindLinkTestDevice();
    }

    void RemoveStandIn() {
        EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(sim::UnloadDriver(kLinkTestServiceName), STATUS_SUCCESS);
        wdmLoaded_ = false;
    }

    // One query-interface request to the child, answered by the child alone.
    NTSTATUS Query(const GUID& type, USHORT size, USHORT version, PVOID record) {
        return sim::SendSystemRequest(
            child_, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE,
            [&](PIO_STACK_LOCATION stack) {
                stack->Parameters.QueryInterface.InterfaceType = &type;
                stack->Parameters.QueryInterface.Size = size;
                stack->Parameters.QueryInterface.Version = version;
                stack->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(record);
            },
            STATUS_NOT_SUPPORTED);
    }

    static const GUID& LinkGuid() { return *reinterpret_cast<const GUID*>(&GUID_Q407_STREAM_LINK); }

    PDEVICE_OBJECT child_ = nullptr;
    bool wdmLoaded_ = false;
};

TEST_F(StreamLinkChildTest, PrivateQueryFillsTheRecordAndCountsOneReferenceOnlyWhenValid) {
    StreamLinkInterface link;
    std::memset(&link, 0xCC, sizeof(link));
    EXPECT_EQ(Query(LinkGuid(), kStreamLinkSize, kStreamLinkVersion, &link), STATUS_SUCCESS);
    EXPECT_EQ(References(), 1);
    EXPECT_EQ(link.size, kStreamLinkSize);
    EXPECT_EQ(link.version, kStreamLinkVersion);
    EXPECT_EQ(link.context, ExtensionOf(rig_.FunctionalDevice()));
    EXPECT_EQ(link.deviceContext, Facade());
    EXPECT_EQ(link.index, 1u);
    EXPECT_EQ(link.dispatch, &StreamLinkDispatch);
    link.reference(link.context);
    EXPECT_EQ(References(), 2);
    link.dereference(link.context);
    link.dereference(link.context);
    EXPECT_EQ(References(), 0);

    // Size 40 fails and counts nothing; version 0 keeps the preset status and fills nothing.
    std::memset(&link, 0xCC, sizeof(link));
    EXPECT_EQ(Query(LinkGuid(), 40, kStreamLinkVersion, &link), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_INVALID_PARAMETER), 0xC000000Du);
    EXPECT_EQ(Query(LinkGuid(), kStreamLinkSize, 0, &link), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Query(LinkGuid(), kStreamLinkSize, kStreamLinkVersion, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(References(), 0);
    EXPECT_EQ(link.size, 0xCCCC);

    // Another GUID is not the link's to answer.
    GUID other = LinkGuid();
    other.Data4[7] ^= 1;
    EXPECT_EQ(Query(other, kStreamLinkSize, kStreamLinkVersion, &link), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(References(), 0);
    EXPECT_EQ(link.size, 0xCCCC);
}

TEST_F(StreamLinkChildTest, BusInterfaceGivesTheEmulatedAdapterAndLeavesOtherMembers) {
    BUS_INTERFACE_STANDARD bus;
    std::memset(&bus, 0, sizeof(bus));
    auto translate = reinterpret_cast<PTRANSLATE_BUS_ADDRESS>(0x1234);
    bus.TranslateBusAddress = translate;
    EXPECT_EQ(Query(GUID_BUS_INTERFACE_STANDARD, sizeof(bus), 1, &bus), STATUS_SUCCESS);
    EXPECT_EQ(bus.Size, 64);
    EXPECT_EQ(bus.Version, 1);
    EXPECT_EQ(bus.Context, child_);
    EXPECT_EQ(bus.TranslateBusAddress, translate);
    EXPECT_EQ(bus.SetBusData, nullptr);
    ASSERT_NE(bus.GetDmaAdapter, nullptr);
    DEVICE_DESCRIPTION description{};
    ULONG mapRegisters = 0;
    PDMA_ADAPTER adapter = bus.GetDmaAdapter(bus.Context, &description, &mapRegisters);
    EXPECT_EQ(adapter, GetEmulatedDmaAdapter(nullptr, nullptr, nullptr));
    bus.InterfaceReference(bus.Context);
    bus.InterfaceDereference(bus.Context);
    EXPECT_EQ(References(), 0);  // the bus interface is not counted on the link

    // A record too small for the interface is not written.
    BUS_INTERFACE_STANDARD small;
    std::memset(&small, 0xCC, sizeof(small));
    EXPECT_EQ(Query(GUID_BUS_INTERFACE_STANDARD, 32, 1, &small), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(small.Size, 0xCCCC);
}

TEST_F(StreamLinkChildTest, StandInStreamsMovesMidiUsesEveryFunctionAndReleasesAtRemoval) {
    rig_.Device().LoopbackAllInputs();
    rig_.Device().SetMidiLoopback(true);
    LinkTestDevice* wdm = LoadStandIn();
    ASSERT_NE(wdm, nullptr);
    ASSERT_EQ(wdm->queryStatus, STATUS_SUCCESS);
    EXPECT_EQ(References(), 1);
    EXPECT_EQ(sim::Pool::Usage(kCommonBufferPoolTag).allocations, 1u);

    PrepareStreams(wdm);
    EXPECT_EQ(Facade()->statusBlock->sampleRate, kLinkTestRate);
    EXPECT_EQ(wdm->latency, Engine().CurrentLatency());
    RunStreams(wdm);
    OpenMidi(wdm);
    const uint64_t renderedAtStart = wdm->counters->framesRendered.load();
    rig_.RunForSeconds(0.2);

    // About 48 periods of each kind in 200 ms at 48 kHz with the default latency; the ring was
    // refilled as the engine took from it, and the square wave came back through the loopback.
    const double periods = 0.2 * kLinkTestRate / static_cast<double>(Engine().PeriodFrames());
    EXPECT_GT(static_cast<double>(wdm->counters->outputPeriods.load()), periods * 0.5);
    EXPECT_GT(static_cast<double>(wdm->counters->inputPeriods.load()), periods * 0.5);
    EXPECT_GT(wdm->counters->framesRendered.load(), renderedAtStart);
    EXPECT_EQ(Engine().m_PathCounters.clientRingUnderruns, 0u);
    EXPECT_GT(wdm->counters->capturePeak.load(), 0x01000000);

    const std::vector<uint8_t> sent = {0x90, 0x40, 0x7F, 0x80, 0x40, 0x00};
    EXPECT_EQ(SendMidi(wdm, sent), sent.size());
    rig_.RunForSeconds(0.05);
    EXPECT_GT(wdm->counters->midiNotices.load(), 0u);
    EXPECT_EQ(ReadMidi(wdm), sent);

    SetTopologyMute(wdm, 0, 1);
    EXPECT_TRUE(QueryRemainingFunctions(wdm));
    rig_.RunForSeconds(0.02);
    StopStreams(wdm);
    CloseMidi(wdm);
    PowerDownStreams(wdm);
    EXPECT_TRUE(UsedAllFunctions(wdm));
    EXPECT_EQ(AnyChannelOpen(Facade()), 0);
    EXPECT_FALSE(Engine().IsStreaming());
    EXPECT_EQ(
        Engine().GetSettings()->routeTable.records[RouteRecordIndex(ClientKind::MME, 0)].kindMute,
        1);

    RemoveStandIn();
    EXPECT_EQ(References(), 0);
}

TEST_F(StreamLinkChildTest, AfterTheRemovalNoticeTheStandInLeavesTheFacadeAlone) {
    LinkTestDevice* wdm = LoadStandIn();
    ASSERT_NE(wdm, nullptr);
    PrepareStreams(wdm);
    RunStreams(wdm);
    OpenMidi(wdm);
    rig_.RunForSeconds(0.05);
    EXPECT_GT(wdm->counters->outputPeriods.load(), 0u);

    // A stop is refused while the audio driver holds the interface: the facade stays.
    DeviceFacade* facade = Facade();
    rig_.Stop();
    EXPECT_EQ(Facade(), facade);
    EXPECT_EQ(wdm->counters->removalNotices.load(), 0u);

    // Pulled out under the audio driver (the function device's surprise removal, before the
    // system gets to the children): the MIDI callback is told, the facade goes, and the
    // stand-in's stop no longer reaches it.
    EXPECT_EQ(sim::SendSystemRequest(
                  rig_.FunctionalDevice(), IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL,
                  [](PIO_STACK_LOCATION) {}, STATUS_NOT_SUPPORTED),
              STATUS_SUCCESS);
    EXPECT_EQ(wdm->counters->removalNotices.load(), 1u);
    const LONG used = wdm->functionsUsed;
    StopStreams(wdm);
    CloseMidi(wdm);
    EXPECT_EQ(wdm->functionsUsed, used);
    EXPECT_EQ(References(), 1);
    RemoveStandIn();
    EXPECT_EQ(References(), 0);
}

}  // namespace
}  // namespace q407::testing
