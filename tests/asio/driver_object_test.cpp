// The driver object's operations at their edges, on one unit (or none): what is refused before
// init, the queries, rate changes, channel names, where createBuffers places the halves and what
// it undoes when it refuses, another ASIO client holding the device, and the control panel.
#include <filesystem>
#include <string>

#include "asio/driver_identity.h"
#include "asio_test_host.h"
#include "platform/user/device_access.h"
#include "usbdriver/control/client_attachment.h"
#include "usbdriver/control/device_facade.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407::testing {
namespace {

class DriverObjectTest : public AsioFixture {
  protected:
    StreamEngine& Engine() { return *rig_->Facade()->engine; }
    uint64_t HalfAddress(int direction, int channel, int half) {
        return Engine().m_ClientBuffers[2][direction][channel][half].address;
    }
};

TEST_F(DriverObjectTest, WithoutAUnitInitFailsAndEverythingElseIsNotPresent) {
    StartRig();
    rig_->Unplug(0);
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    host.Run([&] {
        IASIO* d = host.Driver();
        EXPECT_EQ(d->init(nullptr), ASIOFalse);
        char text[124] = {};
        d->getErrorMessage(text);
        EXPECT_STREQ(text, "ZEL Q407LX ASIO DRIVERASIO Open Fails");
        long a = 7;
        long b = 7;
        long c = 7;
        long g = 7;
        EXPECT_EQ(d->getChannels(&a, &b), ASE_NotPresent);
        EXPECT_EQ(d->getLatencies(&a, &b), ASE_NotPresent);
        EXPECT_EQ(d->getBufferSize(&a, &b, &c, &g), ASE_NotPresent);
        EXPECT_EQ(a, 7);
        EXPECT_EQ(d->canSampleRate(48000.0), ASE_NotPresent);
        ASIOSampleRate rate = 0;
        EXPECT_EQ(d->getSampleRate(&rate), ASE_NotPresent);
        EXPECT_EQ(d->setSampleRate(48000.0), ASE_NotPresent);
        ASIOChannelInfo info{};
        EXPECT_EQ(d->getChannelInfo(&info), ASE_NotPresent);
        ASIOBufferInfo buffers[1] = {{ASIOTrue, 0, {}}};
        ASIOCallbacks callbacks{};
        EXPECT_EQ(d->createBuffers(buffers, 1, 256, &callbacks), ASE_NotPresent);
        EXPECT_EQ(d->disposeBuffers(), ASE_NotPresent);
        EXPECT_EQ(d->start(), ASE_NotPresent);
        EXPECT_EQ(d->stop(), ASE_OK);
        ASIOSamples position{1, 1};
        ASIOTimeStamp stamp{1, 1};
        EXPECT_EQ(d->getSamplePosition(&position, &stamp), ASE_OK);
        EXPECT_EQ(position.hi + position.lo + stamp.hi + stamp.lo, 0u);
        EXPECT_EQ(d->outputReady(), ASE_OK);
        EXPECT_EQ(d->future(kAsioSetInputMonitor, nullptr), ASE_NotPresent);
        EXPECT_EQ(d->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
        EXPECT_EQ(d->future(kAsioCanTimeCode, nullptr), ASE_SUCCESS);
        EXPECT_EQ(d->future(kAsioDisableTimeCodeRead, nullptr), ASE_SUCCESS);
        EXPECT_EQ(d->future(99, nullptr), ASE_NotPresent);
    });
    EXPECT_EQ(host.Process().HandleCount(), 0u);
}

TEST_F(DriverObjectTest, QueriesOfOneUnit) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    host.Run([&] {
        IASIO* d = host.Driver();
        ASSERT_EQ(d->init(nullptr), ASIOTrue);
        long inputs = 0;
        long outputs = 0;
        EXPECT_EQ(d->getChannels(&inputs, &outputs), ASE_OK);
        EXPECT_EQ(inputs, 16);
        EXPECT_EQ(outputs, 8);
        long minimum = 0;
        long maximum = 0;
        long preferred = 0;
        long granularity = 5;
        EXPECT_EQ(d->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
        EXPECT_EQ(minimum, 256);
        EXPECT_EQ(maximum, 256);
        EXPECT_EQ(preferred, 256);
        EXPECT_EQ(granularity, 0);
        long in = 0;
        long out = 0;
        EXPECT_EQ(d->getLatencies(&in, &out), ASE_OK);
        // Each direction holds at least its buffer.
        EXPECT_GE(in, 256);
        EXPECT_GE(out, 256);
        EXPECT_EQ(d->canSampleRate(48000.0), ASE_OK);
        EXPECT_EQ(d->canSampleRate(96000.0), ASE_OK);
        EXPECT_EQ(d->canSampleRate(22050.0), ASE_NoClock);
        EXPECT_EQ(d->canSampleRate(48000.5), ASE_NoClock);
        EXPECT_EQ(d->setSampleRate(22050.0), ASE_NoClock);
        ASIOSampleRate rate = 0;
        EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, 44100.0);

        for (long c = 0; c < 16; ++c) {
            ASIOChannelInfo info{};
            info.channel = c;
            info.isInput = ASIOTrue;
            ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
            const std::string expected = "In ZEL Q407LX " + std::to_string(c / 2 * 2 + 1) + "/" +
                                         std::to_string(c / 2 * 2 + 2) + (c % 2 ? ":R" : ":L");
            EXPECT_EQ(std::string(info.name), expected);
            EXPECT_EQ(info.type, ASIOSTInt32LSB);
            EXPECT_EQ(info.isActive, ASIOTrue);
            EXPECT_EQ(info.channelGroup, 0);
        }
        ASIOChannelInfo last{};
        last.channel = 7;
        last.isInput = ASIOFalse;
        EXPECT_EQ(d->getChannelInfo(&last), ASE_OK);
        EXPECT_STREQ(last.name, "Out ZEL Q407LX 7/8:R");
        ASIOChannelInfo beyond{};
        beyond.channel = 8;
        beyond.isInput = ASIOFalse;
        EXPECT_EQ(d->getChannelInfo(&beyond), ASE_InvalidParameter);
        beyond.channel = 16;
        beyond.isInput = ASIOTrue;
        EXPECT_EQ(d->getChannelInfo(&beyond), ASE_InvalidParameter);
        beyond.channel = -1;
        EXPECT_EQ(d->getChannelInfo(&beyond), ASE_InvalidParameter);

        ASIOClockSource clocks[2] = {};
        long count = 0;
        EXPECT_EQ(d->getClockSources(clocks, &count), ASE_OK);
        EXPECT_EQ(count, 1);
        EXPECT_STREQ(clocks[0].name, "ZEL Q407LX Clock");
        EXPECT_EQ(clocks[0].associatedChannel, -1);
        EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
        EXPECT_EQ(d->setClockSource(1), ASE_NotPresent);
        EXPECT_EQ(d->setClockSource(0), ASE_OK);
        // start needs buffers; disposing without any is refused.
        EXPECT_EQ(d->start(), ASE_NotPresent);
        EXPECT_EQ(d->disposeBuffers(), ASE_InvalidMode);
    });
}

TEST_F(DriverObjectTest, RateChangesReachTheDeviceAndTheHostOnlyWhenTheyChangeSomething) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    host.Run([&] {
        EXPECT_EQ(host.Driver()->setSampleRate(44100.0), ASE_OK);
        EXPECT_EQ(host.Driver()->setSampleRate(48000.0), ASE_OK);
    });
    // One sampleRateDidChange (recorded as -1), for the second call only.
    const std::vector<long> messages = host.Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), -1L), 1);
    EXPECT_EQ(Engine().CurrentSampleRate(), 48000u);
    ASIOSampleRate rate = 0;
    host.Run([&] { EXPECT_EQ(host.Driver()->getSampleRate(&rate), ASE_OK); });
    EXPECT_EQ(rate, 48000.0);
}

TEST_F(DriverObjectTest, HalvesFollowTheInfoOrderBackToBack) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    std::vector<ASIOBufferInfo> infos = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(host.OpenAndCreate(infos), ASE_OK);
    // The host's copy of the infos holds the addresses.
    std::vector<ASIOBufferInfo> placed;
    host.Run([&] {
        // A second createBuffers would move the buffers under the engine: refused.
        ASIOCallbacks callbacks{};
        EXPECT_EQ(host.Driver()->createBuffers(infos.data(), 3, 256, &callbacks), ASE_InvalidMode);
    });
    EXPECT_NE(HalfAddress(1, 0, 0), 0u);
    EXPECT_NE(HalfAddress(1, 1, 1), 0u);
    EXPECT_NE(HalfAddress(0, 0, 1), 0u);
    // Kernel addresses of the same buffer keep the client's offsets.
    const uint64_t start = HalfAddress(1, 0, 0);
    EXPECT_EQ(HalfAddress(1, 0, 1) - start, 1024u);
    EXPECT_EQ(HalfAddress(1, 1, 0) - start, 2048u);
    EXPECT_EQ(HalfAddress(1, 1, 1) - start, 3072u);
    EXPECT_EQ(HalfAddress(0, 0, 0) - start, 4096u);
    EXPECT_EQ(HalfAddress(0, 0, 1) - start, 5120u);
    EXPECT_EQ(SharedBufferCount(), 1);
    host.Close();
    EXPECT_EQ(HalfAddress(1, 0, 0), 0u);
    EXPECT_EQ(HalfAddress(0, 0, 1), 0u);
    EXPECT_EQ(SharedBufferCount(), 0);
}

TEST_F(DriverObjectTest, RefusedBuffersLeaveNothingAttached) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    // Input 16 does not exist on one unit: inputs 0 and 1 attached before it are detached.
    EXPECT_EQ(host.OpenAndCreate({{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOTrue, 16, {}}}),
              ASE_InvalidParameter);
    EXPECT_EQ(HalfAddress(1, 0, 0), 0u);
    EXPECT_EQ(HalfAddress(1, 1, 1), 0u);
    EXPECT_EQ(SharedBufferCount(), 0);
    host.Run([&] {
        IASIO* d = host.Driver();
        ASIOCallbacks callbacks{};
        // 97 channels of 256 frames need 198,656 bytes, more than one unit's 196,608.
        std::vector<ASIOBufferInfo> many(97, ASIOBufferInfo{ASIOTrue, 2, {}});
        EXPECT_EQ(d->createBuffers(many.data(), 97, 256, &callbacks), ASE_InvalidParameter);
        EXPECT_EQ(SharedBufferCount(), 0);
        // 96 fit, but a channel given more often than the direction has channels is refused.
        EXPECT_EQ(d->createBuffers(many.data(), 96, 256, &callbacks), ASE_InvalidParameter);
        EXPECT_EQ(SharedBufferCount(), 0);
        EXPECT_EQ(HalfAddress(1, 2, 0), 0u);
        // A size other than the device's would be overrun by the engine.
        ASIOBufferInfo one[1] = {{ASIOTrue, 0, {}}};
        EXPECT_EQ(d->createBuffers(one, 1, 128, &callbacks), ASE_InvalidParameter);
        EXPECT_EQ(d->createBuffers(one, 1, 256, nullptr), ASE_InvalidParameter);
        EXPECT_EQ(d->createBuffers(nullptr, 1, 256, &callbacks), ASE_InvalidParameter);
        EXPECT_EQ(SharedBufferCount(), 0);
        EXPECT_EQ(d->disposeBuffers(), ASE_InvalidMode);
    });
}

TEST_F(DriverObjectTest, AnotherAsioClientRunningLeavesNoHandleOpen) {
    StartRig();
    TestHost first;
    ASSERT_TRUE(first.CreateDriver());
    ASSERT_EQ(first.OpenAndCreate(), ASE_OK);
    first.Run([&] { ASSERT_EQ(first.Driver()->start(), ASE_OK); });
    RunFor(0.02);

    // A second host process has its own copy of the library, as a process would.
    const std::filesystem::path copy =
        std::filesystem::temp_directory_path() /
        ("Q407Asio-second-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         ".so");
    std::filesystem::copy_file(tools::DefaultAsioModulePath(), copy,
                               std::filesystem::copy_options::overwrite_existing);
    {
        sim::Process second("second host");
        tools::AsioModule module(copy.string());
        ASSERT_TRUE(module.Loaded()) << module.Error();
        {
            sim::Process::Scope scope(second);
            IASIO* driver = module.CreateDriver(asio::kDriverClassId);
            ASSERT_NE(driver, nullptr);
            EXPECT_EQ(driver->init(nullptr), ASIOFalse);
            EXPECT_EQ(second.HandleCount(), 0u);
            char text[124] = {};
            driver->getErrorMessage(text);
            EXPECT_STREQ(text, "ZEL Q407LX ASIO DRIVERASIO Open Fails");
            driver->Release();
        }
        second.End();
    }
    std::filesystem::remove(copy);
    // The first host streams on.
    const uint64_t switches = first.Switches();
    RunFor(0.02);
    EXPECT_GT(first.Switches(), switches);
    first.Close();
}

TEST_F(DriverObjectTest, ControlPanelShownWhenRunningStartedWhenNot) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    std::vector<std::pair<UINT, WPARAM>> posted;
    std::vector<std::wstring> started;
    auto record = [&](UINT message, WPARAM w, LPARAM l) {
        EXPECT_EQ(l, 0);
        posted.emplace_back(message, w);
    };
    // Nothing starts and no window: nothing is posted, and that is not an error.
    win32::bench::SetProgramLauncher([&](const std::wstring& file) {
        started.push_back(file);
        return false;
    });
    host.Run([&] { EXPECT_EQ(host.Driver()->controlPanel(), ASE_OK); });
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], L"Q407pan.exe");
    EXPECT_TRUE(posted.empty());

    // A panel that comes up when started is shown at once.
    HWND window = nullptr;
    win32::bench::SetProgramLauncher([&](const std::wstring& file) {
        started.push_back(file);
        window = win32::bench::AddTopLevelWindow(L"Q407 Class", record);
        return true;
    });
    host.Run([&] { EXPECT_EQ(host.Driver()->controlPanel(), ASE_OK); });
    EXPECT_EQ(started.size(), 2u);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].first, static_cast<UINT>(WM_SHOWWINDOW));
    EXPECT_EQ(posted[0].second, 9u);
    EXPECT_EQ(win32::bench::ForegroundWindow(), window);

    // Already running: shown, nothing started.
    host.Run([&] { EXPECT_EQ(host.Driver()->controlPanel(), ASE_OK); });
    EXPECT_EQ(started.size(), 2u);
    EXPECT_EQ(posted.size(), 2u);
    win32::bench::RemoveTopLevelWindow(window);
    win32::bench::SetProgramLauncher(nullptr);
}

}  // namespace
}  // namespace q407::testing
