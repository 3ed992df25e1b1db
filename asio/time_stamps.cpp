#include "asio/time_stamps.h"

#include <cmath>

namespace q407::asio {
namespace {

constexpr double kTwoTo32 = 4294967296.0;

}  // namespace

ASIOTimeStamp NanosecondStamp(uint32_t milliseconds) {
    const double t = static_cast<double>(milliseconds) * 1000000.0;
    const double hi = std::trunc(t / kTwoTo32);
    ASIOTimeStamp stamp{};
    stamp.hi = static_cast<unsigned long>(hi);
    stamp.lo = static_cast<unsigned long>(static_cast<uint64_t>(t - hi * kTwoTo32) & 0xFFFFFFFFu);
    return stamp;
}

ASIOSamples SamplePosition(double frames) {
    ASIOSamples position{};
    if (frames >= kTwoTo32) {
        const double hi = std::trunc(frames / kTwoTo32);
        position.hi = static_cast<unsigned long>(static_cast<uint64_t>(hi) & 0xFFFFFFFFu);
        position.lo = static_cast<unsigned long>(static_cast<uint64_t>(frames - hi * kTwoTo32));
    } else {
        position.hi = 0;
        position.lo = static_cast<unsigned long>(static_cast<uint64_t>(frames));
    }
    return position;
}

}  // namespace q407::asio
