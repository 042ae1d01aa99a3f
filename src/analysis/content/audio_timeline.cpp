#include "analysis/content/audio_timeline.hpp"

#include <cmath>

namespace avwatch::content {
namespace {

constexpr double ticks_per_second = 90000.0;
constexpr double pts_modulus = 8589934592.0;  // 2^33
// Timestamp differences below this are the rounding of the encoder's clock.
constexpr double smallest_gap = 0.005;
// Past this a timestamp jump is a discontinuity, not lost sound.
constexpr double largest_gap = 10.0;

// `pts - expected` on the 33-bit circle, in (-2^32, 2^32].
double wrapped_difference(double pts, double expected) {
    double difference = std::fmod(pts - expected, pts_modulus);
    if (difference > pts_modulus / 2)
        difference -= pts_modulus;
    else if (difference <= -pts_modulus / 2)
        difference += pts_modulus;
    return difference;
}

}  // namespace

double AudioTimeline::place(std::optional<std::int64_t> pts, int samples, int sample_rate) {
    double start_ticks = expected_.value_or(0.0);
    if (pts) {
        const double stamp = static_cast<double>(*pts);
        if (expected_) {
            const double gap = wrapped_difference(stamp, *expected_) / ticks_per_second;
            if (gap > smallest_gap && gap < largest_gap)
                position_ += gap;
        }
        start_ticks = stamp;
    }
    const double start = position_;
    const double length = sample_rate > 0 ? static_cast<double>(samples) / sample_rate : 0.0;
    position_ += length;
    expected_ = std::fmod(start_ticks + length * ticks_per_second, pts_modulus);
    return start;
}

}  // namespace avwatch::content
