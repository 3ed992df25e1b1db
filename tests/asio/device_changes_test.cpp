// What happens to a running host when the device changes under it: a latency or rate change made
// by another process (the control panel's requests), and the device unplugged mid-stream and
// plugged in again.
#include <algorithm>

#include "asio_test_host.h"
#include "platform/user/device_access.h"
#include "tools/device_client.h"

namespace q407::testing {
namespace {

class DeviceChangesTest : public AsioFixture {
  protected:
    // A second process sends one control message to the device, as the control panel does.
    bool SendFromPanel(ControlMessage* message) {
        sim::Process panel("panel");
        bool ok = false;
        {
            sim::Process::Scope scope(panel);
            tools::DeviceConnection connection;
            if (tools::OpenQ407Device(&connection)) {
                ok = tools::SendControlMessage(connection.handle, message);
                tools::CloseQ407Device(&connection);
            }
        }
        panel.End();
        return ok;
    }
};

// The messages after the first reset request, cut into the groups the thread sends per period.
std::vector<std::vector<long>> GroupsFromFirstReset(const std::vector<long>& messages) {
    std::vector<std::vector<long>> groups;
    auto it = std::find(messages.begin(), messages.end(), kAsioResetRequest);
    for (; it != messages.end(); ++it) {
        if (*it == kAsioResetRequest) groups.emplace_back();
        groups.back().push_back(*it);
    }
    return groups;
}

TEST_F(DeviceChangesTest, LatencyChangedByThePanelAsksForAResetEveryPeriod) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    host.Run([&] { ASSERT_EQ(host.Driver()->start(), ASE_OK); });
    RunFor(0.05);
    EXPECT_TRUE(GroupsFromFirstReset(host.Messages()).empty());

    ControlMessage latency = MakeControlMessage(SettingsAndPanelType::SetLatency);
    SetU32(latency, cm::kLatency, 128);
    SetU32(latency, cm::kForce, 1);
    ASSERT_TRUE(SendFromPanel(&latency));
    const uint64_t switchesBefore = host.Switches();
    RunFor(0.1);
    const uint64_t switches = host.Switches() - switchesBefore;
    const auto groups = GroupsFromFirstReset(host.Messages());
    host.Close();

    ASSERT_GT(switches, 10u);
    // One group per period from the first one after the change, each in this order.
    EXPECT_GE(groups.size() + 1, switches);
    EXPECT_LE(groups.size(), switches);
    const std::vector<long> expected = {kAsioResetRequest, kAsioLatenciesChanged,
                                        kAsioBufferSizeChange, kAsioResyncRequest};
    for (size_t g = 0; g < groups.size(); ++g) EXPECT_EQ(groups[g], expected) << "period " << g;

    // Reopened, the driver offers the new size, and the requests stop.
    TestHost again;
    ASSERT_TRUE(again.CreateDriver());
    ASSERT_EQ(again.OpenAndCreate(), ASE_OK);
    EXPECT_EQ(again.BufferFrames(), 128);
    again.Run([&] { ASSERT_EQ(again.Driver()->start(), ASE_OK); });
    RunFor(0.05);
    again.Close();
    EXPECT_GT(again.Switches(), 10u);
    EXPECT_TRUE(GroupsFromFirstReset(again.Messages()).empty());
}

TEST_F(DeviceChangesTest, RateChangedUnderneathAsksForTheResetAlone) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    host.Run([&] { ASSERT_EQ(host.Driver()->start(), ASE_OK); });
    RunFor(0.03);
    ControlMessage rate = MakeControlMessage(AsioStreamingType::SetSampleRate);
    SetU32(rate, cm::kSampleRate, 48000);
    ASSERT_TRUE(SendFromPanel(&rate));
    RunFor(0.1);
    const auto groups = GroupsFromFirstReset(host.Messages());
    host.Close();
    ASSERT_GT(groups.size(), 5u);
    for (const auto& group : groups) EXPECT_EQ(group, std::vector<long>{kAsioResetRequest});
}

TEST_F(DeviceChangesTest, UnplugMidStreamAsksOnceForAResetAndAReopenAfterReplugStreams) {
    StartRig();
    {
        TestHost host;
        ASSERT_TRUE(host.CreateDriver());
        ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
        host.Run([&] { ASSERT_EQ(host.Driver()->start(), ASE_OK); });
        RunFor(0.05);
        ASSERT_GT(host.Switches(), 5u);
        rig_->Unplug(0);
        const uint64_t switches = host.Switches();
        // Well past the thread's bound for a missing period.
        RunFor(2.0);
        EXPECT_LE(host.Switches(), switches + 1);
        const std::vector<long> messages = host.Messages();
        EXPECT_EQ(std::count(messages.begin(), messages.end(), kAsioResetRequest), 1);
        // The host tears down as after any reset request; nothing waits for the gone device.
        host.Close();
        host.EndProcess();
    }
    ASSERT_EQ(rig_->Replug(0), STATUS_SUCCESS);
    rig_->Device().LoopbackAllInputs();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    host.Run([&] { ASSERT_EQ(host.Driver()->start(), ASE_OK); });
    RunFor(0.2);
    host.Close();
    EXPECT_GT(host.Switches(), 20u);
    for (const LoopCheck& check : host.Checks()) EXPECT_TRUE(check.BitExact());
}

TEST_F(DeviceChangesTest, HostReleasingTheDriverInsideTheResetRequestIsNotCalledAgain) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    host.SetCloseOnReset(true);
    host.Run([&] { ASSERT_EQ(host.Driver()->start(), ASE_OK); });
    RunFor(0.05);
    rig_->Unplug(0);
    RunFor(2.0);
    const std::vector<long> messages = host.Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), kAsioResetRequest), 1);
    EXPECT_EQ(host.Driver(), nullptr);  // released from the callback
    const uint64_t switches = host.Switches();
    RunFor(0.5);
    EXPECT_EQ(host.Switches(), switches);
    EXPECT_EQ(host.Messages().size(), messages.size());
    host.EndProcess();
}

}  // namespace
}  // namespace q407::testing
