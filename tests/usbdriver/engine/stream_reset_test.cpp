// Stream resets while the pipes run, as the streaming gate does at every ASIO start: a reset that
// lands on another processor in the middle of a completion must leave every ring consistent, and
// bytes queued for the device (MIDI, codec commands) go out whole and in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace q407::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The capture completion's input notice comes after a period is handed out and before the input
// ring is advanced past it. Armed, it lets a second processor reset the stream at exactly that
// point, and waits (a bounded while: a reset that correctly waits for the capture lock cannot
// finish until the completion has let go of it).
struct ResetProbe {
    StreamEngine* engine = nullptr;
    std::atomic<uint64_t> periods{0};
    std::atomic<bool> armed{false};
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};

    static void OnInputPeriod(PVOID context) {
        auto* probe = static_cast<ResetProbe*>(context);
        probe->periods.fetch_add(1);
        if (!probe->armed.exchange(false)) return;
        probe->go = true;
        const auto until = steady_clock::now() + milliseconds(300);
        while (!probe->done && steady_clock::now() < until) std::this_thread::yield();
    }
    // The other processor: a control thread running the reset.
    void ResetWhenAsked() {
        const auto until = steady_clock::now() + std::chrono::seconds(20);
        while (!go && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
        if (go) (void)engine->EnableStreaming(1);
        done = true;
    }
};

class StreamReset : public EngineTest {
  protected:
    // Streaming restarted with the probe's notification table, one MME capture channel open.
    void StartProbed() {
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        probe_.engine = &Engine();
        table_.context = &probe_;
        table_.NotifyInputPeriod = ResetProbe::OnInputPeriod;
        (void)Engine().EnableStreaming(0);
        previous_ = Engine().m_Facade;
        Engine().m_Facade = &table_;
        (void)Engine().OpenClientChannel(int(ClientKind::MME), int(Direction::Input), 0, 1);
        ASSERT_TRUE(Engine().IsStreaming());
    }
    void TearDown() override {
        if (rig_->Started()) {
            (void)Engine().EnableStreaming(0);
            Engine().m_Facade = previous_;
        }
        EngineTest::TearDown();
    }
    ResetProbe probe_;
    EngineNotifications table_{};
    const EngineNotifications* previous_ = nullptr;
};

TEST_F(StreamReset, ResetBetweenHandingOutAPeriodAndAdvancingHandsOutNothingStale) {
    StartProbed();
    RunMs(50);
    std::thread otherProcessor([this] { probe_.ResetWhenAsked(); });
    probe_.armed = true;
    RunMs(100);
    otherProcessor.join();
    ASSERT_TRUE(probe_.go.load());
    RunMs(100);
    // Every period handed out was captured first: never more periods than whole L-frame runs of
    // the frames the capture pipe brought in (the reset discards some of them).
    const uint64_t captured = Engine().m_Counters.captureUnitsConverted * 16;
    EXPECT_LE(probe_.periods.load(), captured / Engine().PeriodFrames());
    EXPECT_GT(probe_.periods.load(), 0u);
}

}  // namespace
}  // namespace q407::test
