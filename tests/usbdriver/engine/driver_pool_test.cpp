// The driver's pool follows the system version its entry reads: every allocation of the engine,
// from start-up through streaming to release, comes from the pool that system has. The emulated
// kernel bug checks a request for the no-execute pool below Windows 8, so a single stray one fails
// the Windows 7 run.
#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "tools/path_clients.h"

namespace q407::test {
namespace {

class DriverPool : public EngineTest {
  protected:
    void Reboot(sim::WindowsVersion version) {
        rig_.reset();
        tools::EngineRigOptions options;
        options.windowsVersion = version;
        rig_ = std::make_unique<tools::EngineRig>(options);
    }
    static POOL_TYPE TypeOf(const void* p) {
        sim::PoolRange range;
        EXPECT_TRUE(sim::Pool::Locate(p, 1, &range));
        return range.type;
    }
    // Streams ASIO through the loopback and checks every kind of engine allocation.
    void StreamAndCheck(POOL_TYPE expected) {
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        EXPECT_EQ(DriverPoolType(), expected);
        Device().LoopbackAllInputs();
        {
            tools::PathClients clients(*rig_);
            ASSERT_EQ(clients.StartAsio(tools::TestSignal), STATUS_SUCCESS);
            RunSeconds(0.3);
            EXPECT_TRUE(clients.AsioCheck(0).BitExact());
            StreamEngine& e = Engine();
            EXPECT_EQ(TypeOf(&e), expected);
            EXPECT_EQ(TypeOf(e.m_InAudioStorage), expected);
            EXPECT_EQ(TypeOf(e.m_RoutingStorage), expected);
            EXPECT_EQ(TypeOf(e.m_ConfigurationDescriptor), expected);
            ASSERT_NE(e.m_PlaybackGroup, nullptr);
            EXPECT_EQ(TypeOf(e.m_PlaybackGroup), expected);
            EXPECT_EQ(TypeOf(e.m_PlaybackGroup->transfers[0]), expected);
            EXPECT_EQ(TypeOf(e.m_PlaybackGroup->transfers[0]->urb), expected);
            EXPECT_EQ(TypeOf(e.m_SharedBlock), expected);
        }
        // A parameter change rebuilds the pipes from the same pool.
        EXPECT_EQ(Engine().SetLatency(128), STATUS_SUCCESS);
        ASSERT_NE(Engine().m_CaptureGroup, nullptr);
        EXPECT_EQ(TypeOf(Engine().m_CaptureGroup), expected);
    }
};

TEST_F(DriverPool, Windows7TakesThePlainNonPagedPool) {
    Reboot(sim::WindowsVersion{6, 1, 7601});
    StreamAndCheck(NonPagedPool);
}

TEST_F(DriverPool, Windows8AndLaterTakeTheNoExecutePool) {
    Reboot(sim::WindowsVersion{6, 2, 9200});
    StreamAndCheck(NonPagedPoolNx);
    rig_->Release();
    Reboot(sim::WindowsVersion{10, 0, 19045});
    StreamAndCheck(NonPagedPoolNx);
}

}  // namespace
}  // namespace q407::test
