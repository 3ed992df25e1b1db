// The two-word time stamps and positions hosts get, at the edges of the words.
#include "asio/time_stamps.h"

#include <gtest/gtest.h>

namespace q407::asio {
namespace {

TEST(TimeStamps, MillisecondsBecomeNanosecondWords) {
    const ASIOTimeStamp top = NanosecondStamp(4294967295u);
    EXPECT_EQ(top.hi, 999999u);
    EXPECT_EQ(top.lo, 4293967296u);
    const ASIOTimeStamp one = NanosecondStamp(1);
    EXPECT_EQ(one.hi, 0u);
    EXPECT_EQ(one.lo, 1000000u);
    // 4295 ms is the first whole millisecond past 2^32 ns.
    const ASIOTimeStamp past = NanosecondStamp(4295);
    EXPECT_EQ(past.hi, 1u);
    EXPECT_EQ(past.lo, 4295000000u - 4294967296u);
}

TEST(TimeStamps, FrameCountsSplitAtTwoToThe32) {
    EXPECT_EQ(SamplePosition(0.0).lo, 0u);
    EXPECT_EQ(SamplePosition(4294967295.0).hi, 0u);
    EXPECT_EQ(SamplePosition(4294967295.0).lo, 4294967295u);
    const ASIOSamples past = SamplePosition(4294967296.0 * 3 + 17);
    EXPECT_EQ(past.hi, 3u);
    EXPECT_EQ(past.lo, 17u);
}

}  // namespace
}  // namespace q407::asio
