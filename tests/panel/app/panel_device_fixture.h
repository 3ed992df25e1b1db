// A started machine with virtual devices and the panel's own emulated process; every device is
// removed at the end and nothing may be left in the driver's pools.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "tools/device_rig.h"

namespace q407::panel {

class PanelDeviceTest : public ::testing::Test {
  protected:
    explicit PanelDeviceTest(int units = 1) : rig_(Options(units)) {}

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(rig_, DefaultMixerSettings(), &error)) << error;
    }

    void TearDown() override {
        panel_.End();
        for (int unit = 0; unit < rig_.Units(); ++unit) {
            rig_.BeginRemove(unit);
            rig_.FinishRemove(unit);
        }
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel9"), POOL_TAG("Zel6"), POOL_TAG("Zel5"),
                                         POOL_TAG("Zel2"), POOL_TAG("None"), POOL_TAG("Mdl "),
                                         POOL_TAG("Even"), POOL_TAG("Thre")}),
                  "");
    }

    static tools::DeviceRigOptions Options(int units) {
        tools::DeviceRigOptions options;
        options.units = units;
        return options;
    }

    tools::DeviceRig rig_;
    sim::Process panel_{"Q407Pan"};
};

}  // namespace q407::panel
