// The panel's output volumes heard at the device's outputs: a square wave of known amplitude
// played on all eight outputs through the audio driver, each output set to its own level by the
// panel's codec writes, and the amplitude each output plays measured against the level's gain
// (127 is full level, each step below half a decibel less).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/device_rig.h"
#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

// After the emulated kernel's declarations, whose names would otherwise shadow the Win32 ones.
#include "panel/app/usb_device.h"
#include "panel/app/zel_controller.h"

namespace q407::panel {
namespace {

constexpr uint32_t kRate = 48000;
constexpr uint64_t kFrames = kRate / 20;
constexpr int32_t kAmplitude = 0x40000000;  // half scale, 16-bit samples in the upper half
constexpr uint32_t kLevels[8] = {127, 121, 115, 107, 97, 87, 67, 0};

// Alternating +A and -A every 12 frames: every sample is at full amplitude.
std::vector<std::vector<int32_t>> Square(int channels) {
    std::vector<std::vector<int32_t>> out(static_cast<size_t>(channels),
                                          std::vector<int32_t>(kFrames));
    for (auto& channel : out)
        for (uint64_t f = 0; f < kFrames; ++f)
            channel[f] = (f / 12) % 2 == 0 ? kAmplitude : -kAmplitude;
    return out;
}

int32_t Peak(const std::vector<int32_t>& samples) {
    int32_t peak = 0;
    for (int32_t s : samples) peak = std::max(peak, std::abs(s));
    return peak;
}

TEST(OutputVolumeTest, EachOutputPlaysAtItsOwnLevel) {
    tools::WdmMachine machine;
    tools::WdmMachineOptions options;
    options.rate = kRate;
    options.keepOutputs = true;
    std::string error;
    ASSERT_TRUE(machine.Boot(options, &error)) << error;
    tools::ClientScope scope(machine);

    USBDevice device;
    ASSERT_TRUE(device.open());
    ZELController controller;
    controller.setSink(&SendCodecBytesToDevice, &device);
    for (uint32_t channel = 0; channel < 8; ++channel)
        ASSERT_TRUE(controller.setOutVolume(channel, kLevels[channel]));
    machine.Advance(0.1);

    std::vector<tools::PlaybackStream> plays(4);
    for (int pair = 0; pair < 4; ++pair) {
        ASSERT_EQ(plays[size_t(pair)].Open(L"ZEL_Wave" + std::to_wstring(pair + 1),
                                           tools::PinFormat(kRate, 2, 16, false),
                                           tools::PackSamples(Square(2), 16)),
                  0);
    }
    for (auto& p : plays) ASSERT_EQ(p.Start(), 0);
    bool busy = true;
    for (double t = 0; busy && t < 2.0; t += 0.005) {
        busy = false;
        for (auto& p : plays) busy = p.Pump() || busy;
        machine.Advance(0.005);
    }
    ASSERT_FALSE(busy);
    machine.Advance(0.2);
    for (auto& p : plays) p.Close();

    const double full = tools::DeviceSampleOf(kAmplitude);
    for (int channel = 0; channel < 8; ++channel) {
        const double gainDb = -(127.0 - kLevels[channel]) * 0.5;
        const double expected = full * std::pow(10.0, gainDb / 20.0);
        const int32_t peak = Peak(machine.Output(channel));
        // Within a part in a thousand (and a sample step) of the level's gain.
        EXPECT_NEAR(peak, expected, expected * 1e-3 + 1.0)
            << "output " << channel << " at level " << kLevels[channel];
    }
    EXPECT_EQ(Peak(machine.Output(0)), static_cast<int32_t>(full));  // full level is exact

    controller.setSink(nullptr, nullptr);
    device.closeAll();
}

}  // namespace
}  // namespace q407::panel
