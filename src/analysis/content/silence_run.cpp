#include "analysis/content/silence_run.hpp"

#include <cmath>

namespace avwatch::content {

void SilenceRun::add(const float* samples, std::size_t frames, int channels, int sample_rate, double start) {
    const auto width = static_cast<std::size_t>(channels);
    // Only the last loud sample and the first silent one after it matter.
    std::optional<std::size_t> first_silent = begun_ ? std::optional<std::size_t>(0) : std::nullopt;
    bool ended = false;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const float* sample = samples + frame * width;
        bool quiet = true;
        for (std::size_t channel = 0; channel < width; ++channel) {
            if (!(std::fabs(sample[channel]) < silence_threshold)) {  // NaN is no silence
                quiet = false;
                break;
            }
        }
        if (!quiet) {
            first_silent.reset();
            ended = true;
        } else if (!first_silent) {
            first_silent = frame;
        }
    }
    if (!first_silent) {
        begun_.reset();
    } else if (ended || !begun_) {
        begun_ = start + static_cast<double>(*first_silent) / sample_rate;
    }
}

}  // namespace avwatch::content
