// An ASIO-like and a panel-like client process on one streaming device, both written as Win32
// code through platform/user: one event per period with the half index alternating in the mapped
// status, the same status bytes in both processes, and nothing left behind when the ASIO process
// ends in the middle of the stream.
#include <atomic>
#include <cstring>

#include "control_fixture.h"
#include "win32_clients.h"

namespace q407::testing {
namespace {

class AsioSessionTest : public ControlFixture {};

TEST_F(AsioSessionTest, OneEventPerPeriodWithAlternatingHalvesBesideAPanel) {
    sim::Process asio("asio host");
    sim::Process panel("panel");
    AsioLikeClient asioClient;
    PanelLikeClient panelClient;
    std::string failure;
    {
        sim::Process::Scope scope(panel);
        ASSERT_TRUE(panelClient.Start(&failure)) << failure;
    }
    std::vector<uint32_t> halves;
    std::atomic<bool> done{false};
    std::atomic<bool> ok{false};
    const uint64_t signalsBefore = Engine().m_Counters.inputPeriods;
    asio.StartThread([&] {
        std::string why;
        if (asioClient.Start(&why)) ok = asioClient.WaitPeriods(20, 1000, &halves);
        done = true;
    });
    // 20 periods of 256 frames at 44.1 kHz take 116 ms; the stream needs its pre-roll too.
    for (int i = 0; i < 50 && !done; ++i) rig_.RunForSeconds(0.02);
    ASSERT_TRUE(done);
    ASSERT_TRUE(ok);
    ASSERT_EQ(halves.size(), 20u);
    // The event is registered before the channels run, so the first wake-up may come from a
    // period distributed before the start; from then on every period flips the half.
    for (size_t i = 2; i < halves.size(); ++i) {
        EXPECT_LE(halves[i], 1u);
        EXPECT_NE(halves[i], halves[i - 1]) << "period " << i;
    }
    EXPECT_GE(Engine().m_Counters.inputPeriods - signalsBefore, 20u);

    // Both processes see the status record, at different addresses, with the same bytes.
    ASSERT_NE(panelClient.Status(), nullptr);
    ASSERT_NE(asioClient.Status(), nullptr);
    EXPECT_NE(static_cast<const void*>(panelClient.Status()),
              static_cast<const void*>(asioClient.Status()));
    EXPECT_EQ(panelClient.Status()->latency, 256u);
    EXPECT_EQ(std::memcmp(&panelClient.Status()->latency, &asioClient.Status()->latency, 0x18), 0);

    {
        sim::Process::Scope scope(asio);
        asioClient.Stop();
    }
    EXPECT_EQ(asio.ViewCount(), 0u);
    EXPECT_EQ(SharedBufferCount(), 0);
    {
        sim::Process::Scope scope(panel);
        EXPECT_FALSE(panelClient.RemovalSignalled());
        panelClient.Close();
    }
    asio.End();
    panel.End();
}

TEST_F(AsioSessionTest, ProcessEndingMidStreamLeavesNothingBehind) {
    const auto poolBefore = sim::Pool::Usage(POOL_TAG("Mdl ")).allocations;
    auto asio = std::make_unique<sim::Process>("asio host");
    AsioLikeClient client;
    std::atomic<int> periods{0};
    std::atomic<bool> started{false};
    asio->StartThread([&] {
        std::string why;
        if (!client.Start(&why)) return;
        started = true;
        std::vector<uint32_t> halves;
        while (client.WaitPeriods(1, 0xFFFFFFFF, &halves)) ++periods;
    });
    for (int i = 0; i < 50 && periods < 10; ++i) rig_.RunForSeconds(0.02);
    ASSERT_TRUE(started);
    ASSERT_GE(periods.load(), 10);
    EXPECT_EQ(SharedBufferCount(), 1);
    EXPECT_NE(Facade()->eventSlots[kAsioEventSlot], nullptr);

    asio->End();  // the host dies while its channels run
    EXPECT_EQ(asio->ViewCount(), 0u);
    EXPECT_EQ(SharedBufferCount(), 0);
    EXPECT_EQ(Facade()->eventSlots[kAsioEventSlot], nullptr);
    EXPECT_EQ(Facade()->asioMappingMdl, nullptr);
    EXPECT_EQ(Engine().m_ClientBuffers[2][1][0][0].address, 0u);
    EXPECT_EQ(sim::Pool::Usage(POOL_TAG("Zel2")).allocations, 0u);
    EXPECT_EQ(sim::Pool::Usage(POOL_TAG("Mdl ")).allocations, poolBefore);
    EXPECT_EQ(sim::Pool::Usage(POOL_TAG("Even")).allocations, 0u);
    // The stream goes on for the other clients.
    rig_.RunForSeconds(0.05);
    EXPECT_TRUE(rig_.Device().Streaming());
}

}  // namespace
}  // namespace q407::testing
