// The engine on a virtual device, with the checks every engine test shares: nothing of the
// engine's pool left once the device is released.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/host/pool.h"
#include "sim/host/trace_log.h"
#include "tools/engine_rig.h"

namespace q407::test {

inline constexpr ULONG kTagShared = POOL_TAG("Zel2");
inline constexpr ULONG kTagPipes = POOL_TAG("Zel5");
inline constexpr ULONG kTagEngine = POOL_TAG("Zel6");

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig_ = std::make_unique<tools::EngineRig>();
        sim::TraceLog::Instance().Clear();
    }
    void TearDown() override {
        if (rig_->Started()) rig_->Release();
        EXPECT_EQ(sim::Pool::LeakReport({kTagShared, kTagPipes, kTagEngine}), "");
        rig_.reset();
    }

    NTSTATUS Start() { return rig_->Start(); }
    StreamEngine& Engine() { return rig_->Engine(); }
    EngineStatus& Status() { return rig_->Status(); }
    sim::Q407Device& Device() { return rig_->Device(); }
    void RunSeconds(double seconds) { rig_->RunForSeconds(seconds); }
    void RunMs(int64_t ms) { rig_->RunFor(ms * sim::kTicksPerMillisecond); }
    static bool Traced(const char* text) { return sim::TraceLog::Instance().Contains(text); }
    static size_t TraceCount(const char* text) { return sim::TraceLog::Instance().Count(text); }

    std::unique_ptr<tools::EngineRig> rig_;
};

}  // namespace q407::test
