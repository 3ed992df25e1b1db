// The port-class driver beside a running ASIO stream: a WDM recording that asks for another rate
// than the ASIO stream runs at is refused (the device cannot run two rates), one at the same rate
// is accepted, and once the ASIO stream has stopped the rate may change again.
#include <gtest/gtest.h>

#include <string>

#include "tools/asio_device_session.h"
#include "tools/device_rig.h"
#include "tools/wave_streams.h"
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wshadow"
#endif
#include "sim/host/process.h"
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

namespace q407::tools {
namespace {

constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001U);

TEST(EndToEndAsioConflict, WdmRecordingAtAnotherRateIsRefusedWhileAsioRuns) {
    DeviceSession session;
    DeviceSessionOptions options;
    options.rate = 44100;
    options.wdmDriver = true;
    std::string error;
    ASSERT_TRUE(session.Boot(options, &error)) << error;

    AsioSessionRequest request;
    request.outputs = {0, 1};
    request.inputs = {0, 1};
    request.frames = 4410;
    int32_t otherRate = 0, sameRate = -1, otherPlayback = 0;
    int calls = 0;
    request.started = [&] {
        if (calls++ != 0) return;
        CaptureStream other;
        otherRate = other.Open(L"ZEL_Wave2", PinFormat(48000, 2, 16, false));
        other.Close();
        CaptureStream same;
        sameRate = same.Open(L"ZEL_Wave2", PinFormat(44100, 2, 16, false));
        same.Close();
        PlaybackStream play;
        otherPlayback = play.Open(L"ZEL_Wave3", PinFormat(96000, 2, 16, false), {});
        play.Close();
    };
    DeviceSessionResult result;
    ASSERT_EQ(session.Run(request, &result, &error), AsioSessionFailure::None) << error;
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(otherRate, kStatusUnsuccessful);
    EXPECT_EQ(sameRate, 0);
    EXPECT_LT(otherPlayback, 0) << "a playback stream at another rate while channels are open";

    // The ASIO stream has stopped: nothing holds the rate any more.
    sim::Process client("after asio");
    sim::Process::Scope scope(client);
    CaptureStream later;
    EXPECT_EQ(later.Open(L"ZEL_Wave2", PinFormat(48000, 2, 16, false)), 0);
    later.Close();
}

}  // namespace
}  // namespace q407::tools
