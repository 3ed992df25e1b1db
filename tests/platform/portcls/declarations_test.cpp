// The port-class declarations: records keep the kit's layouts (the driver's tables and the
// requests the port hands it are read byte for byte by the other side), and a miniport written
// the way drivers write them compiles and lives correctly in pool through the standard unknown.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/portcls/portcls.h"
#include "sim/host/machine.h"
#include "sim/host/pool.h"

using namespace q407::sim;

namespace {

// --- Layouts (compile-time) ---------------------------------------------------------------------
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is packed");
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20);
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(alignof(KSDATAFORMAT) == 8);
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80);
static_assert(sizeof(KSDATARANGE_MUSIC) == 96);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82);
// The wave miniport's intersection answer: KSDATAFORMAT followed by WAVEFORMATEXTENSIBLE.
static_assert(sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) == 104);
static_assert(sizeof(DMUS_KERNEL_EVENT) == 40);
static_assert(offsetof(DMUS_KERNEL_EVENT, usChannelGroup) == 4);
static_assert(offsetof(DMUS_KERNEL_EVENT, ullBytePosition) == 16);
static_assert(sizeof(DMUS_KERNEL_EVENT::uData) == sizeof(PBYTE));
static_assert(sizeof(PCPROPERTY_REQUEST) == 72);
static_assert(offsetof(PCPROPERTY_REQUEST, MinorTarget) == 8);
static_assert(offsetof(PCPROPERTY_REQUEST, PropertyItem) == 24);
static_assert(offsetof(PCPROPERTY_REQUEST, InstanceSize) == 36);
static_assert(offsetof(PCPROPERTY_REQUEST, Value) == 56);
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40);
static_assert(offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) == 32);
static_assert(sizeof(KSCOMPONENTID) == 72);
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);
static_assert(sizeof(SYNTHCAPS) == 296);
static_assert(sizeof(SYNTH_PORTPARAMS) == 28);
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Pins) == 24);
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);
static_assert(PORT_CLASS_DEVICE_EXTENSION_SIZE == 512);
static_assert(KSSTATE_RUN == 3 && KSPIN_DATAFLOW_OUT == 2 && KSPIN_COMMUNICATION_BRIDGE == 4);
static_assert(KSPROPERTY_SYNTH_CAPS == 2 && KSPROPERTY_SYNTH_LATENCYCLOCK == 6);
static_assert(DMUS_STREAM_MIDI_CAPTURE == 1 && DMUS_STREAM_WAVE_SINK == 2);
static_assert(KSAUDIO_SPEAKER_7POINT1 == 0xFF && KSAUDIO_SPEAKER_7POINT1_SURROUND == 0x63F);
static_assert(KSAUDIO_SPEAKER_5POINT1 == 0x3F && KSAUDIO_SPEAKER_5POINT1_SURROUND == 0x60F);

// A GUID's textual form, to compare against the values the kit documents.
std::string Text(const GUID& g) {
    char s[40];
    snprintf(s, sizeof(s), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
             g.Data4[6], g.Data4[7]);
    return s;
}

// A static data range as drivers write them: GUIDs by their numbers, so no constructor runs.
const KSDATARANGE_AUDIO kRange = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)},
    8,
    16,
    32,
    44100,
    96000};
const PKSDATARANGE kRanges[] = {PKSDATARANGE(&kRange)};
const PCPIN_DESCRIPTOR kPins[] = {{1,
                                   1,
                                   0,
                                   nullptr,
                                   {0,
                                    nullptr,
                                    0,
                                    nullptr,
                                    SIZEOF_ARRAY(kRanges),
                                    kRanges,
                                    KSPIN_DATAFLOW_IN,
                                    KSPIN_COMMUNICATION_SINK,
                                    &KSCATEGORY_AUDIO,
                                    &KSAUDFNAME_PC_SPEAKER,
                                    {0}}}};
const PCFILTER_DESCRIPTOR kFilter = {0,
                                     nullptr,
                                     sizeof(PCPIN_DESCRIPTOR),
                                     SIZEOF_ARRAY(kPins),
                                     kPins,
                                     sizeof(PCNODE_DESCRIPTOR),
                                     0,
                                     nullptr,
                                     0,
                                     nullptr,
                                     0,
                                     nullptr};

constexpr ULONG kTag = POOL_TAG("Tmin");

// A wave-PCI miniport shaped as drivers write one: CUnknown for the counting, the miniport
// interface plus power notification, created by STD_CREATE_BODY from pool.
class TestMiniport : public IMiniportWavePci, public IPowerNotify, public CUnknown {
  public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(TestMiniport);
    ~TestMiniport() override { ++destroyed; }

    IMP_IMiniport;
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTWAVEPCI, PSERVICEGROUP*) override {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVEPCISTREAM*, PUNKNOWN, POOL_TYPE, PPORTWAVEPCISTREAM, ULONG, BOOLEAN,
              PKSDATAFORMAT, PDMACHANNEL*, PSERVICEGROUP*) override {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    STDMETHODIMP_(void) Service() override {}
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override {
        lastState = state.DeviceState;
    }

    static int destroyed;
    DEVICE_POWER_STATE lastState = PowerDeviceUnspecified;
};
int TestMiniport::destroyed = 0;

STDMETHODIMP_(NTSTATUS) TestMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PVOID(PUNKNOWN(static_cast<IMiniportWavePci*>(this)));
    } else if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWavePci)) {
        *object = PVOID(static_cast<IMiniportWavePci*>(this));
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        *object = PVOID(static_cast<IPowerNotify*>(this));
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}
STDMETHODIMP_(NTSTATUS) TestMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    *description = const_cast<PPCFILTER_DESCRIPTOR>(&kFilter);
    return STATUS_SUCCESS;
}
STDMETHODIMP_(NTSTATUS)
TestMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CreateTestMiniport(PUNKNOWN* unknown, PUNKNOWN outer) {
    STD_CREATE_BODY_WITH_TAG_(TestMiniport, unknown, outer, NonPagedPoolNx, kTag,
                              IMiniportWavePci*);
}

}  // namespace

TEST(PortClassDeclarations, GuidsCarryTheKitValues) {
    EXPECT_EQ(Text(CLSID_PortWaveCyclic), "B4C90A2A-5791-11D0-86F9-00A0C911B544");
    EXPECT_EQ(Text(CLSID_PortWavePci), "B4C90A54-5791-11D0-86F9-00A0C911B544");
    EXPECT_EQ(Text(CLSID_PortTopology), "B4C90A32-5791-11D0-86F9-00A0C911B544");
    EXPECT_EQ(Text(CLSID_PortDMus), "B7902FE9-FB0A-11D1-81B0-0060083316C1");
    EXPECT_EQ(Text(IID_IPortEvents), "A80F29C4-5498-11D2-95D9-00C04FB925D3");
    EXPECT_EQ(Text(IID_IMiniportTopology), "B4C90A31-5791-11D0-86F9-00A0C911B544");
    EXPECT_EQ(Text(IID_IMiniportDMus), "C096DF9D-FB09-11D1-81B0-0060083316C1");
    EXPECT_EQ(Text(IID_IMXF), "C096DF9E-FB09-11D1-81B0-0060083316C1");
    EXPECT_EQ(Text(IID_IPowerNotify), "3DD648B8-969F-11D1-95A9-00C04FB925D3");
    EXPECT_EQ(Text(KSDATAFORMAT_SUBTYPE_PCM), "00000001-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(Text(KSDATAFORMAT_TYPE_AUDIO), "73647561-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(Text(KSNODETYPE_SPEAKER), "DFF21CE1-F70F-11D0-B917-00A0C9223196");
    EXPECT_EQ(Text(KSNODETYPE_LEGACY_AUDIO_CONNECTOR), "DFF21FE4-F70F-11D0-B917-00A0C9223196");
    EXPECT_EQ(Text(KSNODETYPE_LINE_CONNECTOR), "DFF21FE3-F70F-11D0-B917-00A0C9223196");
    EXPECT_EQ(Text(KSNODETYPE_MICROPHONE), "DFF21BE1-F70F-11D0-B917-00A0C9223196");
    EXPECT_EQ(Text(KSNODETYPE_SYNTHESIZER), "DFF220F3-F70F-11D0-B917-00A0C9223196");
    EXPECT_EQ(Text(KSEVENTSETID_PinCapsChange), "DD4F192E-3B78-49AD-A534-2C315B822000");
    EXPECT_EQ(Text(KSPROPSETID_Synth), "FEDFAE25-E46E-11D1-AACE-0000F875AC12");
    EXPECT_EQ(Text(KSPROPTYPESETID_General), "97E99BA0-BDEA-11CF-A5D6-28DB04C10000");
    // The static table took the same values as the constants.
    EXPECT_TRUE(IsEqualGUID(kRange.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_EQ(kPins[0].KsPinDescriptor.DataRanges[0]->FormatSize, 88u);
}

TEST(PortClassDeclarations, MiniportLivesInPoolAndAnswersItsInterfaces) {
    Machine m;
    TestMiniport::destroyed = 0;
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateTestMiniport(&unknown, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Pool::Usage(kTag).allocations, 1u);

    PMINIPORTWAVEPCI miniport = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IMiniportWavePci, reinterpret_cast<PVOID*>(&miniport)),
              STATUS_SUCCESS);
    PPOWERNOTIFY power = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&power)),
              STATUS_SUCCESS);
    PVOID none = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(unknown->QueryInterface(IID_IPortEvents, &none), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);

    PPCFILTER_DESCRIPTOR filter = nullptr;
    ASSERT_EQ(miniport->GetDescription(&filter), STATUS_SUCCESS);
    EXPECT_EQ(filter->Pins[0].KsPinDescriptor.Category, &KSCATEGORY_AUDIO);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    power->PowerChangeNotify(d3);
    EXPECT_EQ(static_cast<TestMiniport*>(miniport)->lastState, PowerDeviceD3);

    // Three references: creation and two queries. The object goes back to pool with the last.
    EXPECT_EQ(power->Release(), 2u);
    EXPECT_EQ(miniport->Release(), 1u);
    EXPECT_EQ(TestMiniport::destroyed, 0);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(TestMiniport::destroyed, 1);
    EXPECT_EQ(Pool::Usage(kTag).allocations, 0u);
}

TEST(PortClassDeclarations, CreationFailsCleanlyWhenThePoolRefuses) {
    Machine m;
    Pool::FailTag(kTag);
    PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(1);
    EXPECT_EQ(CreateTestMiniport(&unknown, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Pool::Usage(kTag).allocations, 0u);
    Pool::FailTag(kTag, false);
}

TEST(PortClassDeclarations, PoolMemoryOfNewObjectsIsZeroed) {
    Machine m;
    // The kit's operator new zeroes: drivers rely on members they do not initialise being 0.
    auto* bytes = static_cast<unsigned char*>(operator new(64, NonPagedPoolNx, kTag));
    ASSERT_NE(bytes, nullptr);
    unsigned char zero[64] = {};
    EXPECT_EQ(memcmp(bytes, zero, sizeof(zero)), 0);
    ExFreePoolWithTag(bytes, kTag);
}
