#include "tools/panel_meter_signal.h"

#include <cmath>
#include <numbers>

namespace q407::tools {

AudioClip MeterSignalClip(uint32_t rate, int channels, int seconds) {
    AudioClip clip;
    clip.rate = rate;
    if (rate == 0 || channels <= 0 || seconds <= 0) return clip;
    const auto frames = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
    const double twoPi = 2 * std::numbers::pi;
    clip.channels.resize(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        std::vector<int32_t>& samples = clip.channels[static_cast<size_t>(c)];
        samples.resize(frames);
        // A whole number of cycles per second keeps the loop seamless.
        const double tone = 200.0 + 40.0 * c;
        const double lag = static_cast<double>(c) / channels;
        for (size_t f = 0; f < frames; ++f) {
            const double t = static_cast<double>(f) / rate;
            const double swell = 0.5 - 0.5 * std::cos(twoPi * (t / seconds - lag));
            const double db =
                kMeterSignalFloorDb + (kMeterSignalTopDb - kMeterSignalFloorDb) * swell;
            const double value = std::pow(10.0, db / 20) * std::sin(twoPi * tone * t);
            // Full scale of the 32-bit samples, the low byte clear as the converters keep it.
            samples[f] = static_cast<int32_t>(std::lround(value * 0x7FFFFF)) * 256;
        }
    }
    return clip;
}

}  // namespace q407::tools
