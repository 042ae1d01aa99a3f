// The current run of silence of one audio stream: a sample frame is silent
// when every channel's magnitude is below -60 dBFS; a run begins at the first
// silent sample after a sound and lasts while every sample stays silent.
#pragma once

#include <cstddef>
#include <optional>

namespace avwatch::content {

inline constexpr float silence_threshold = 0.001f;  // -60 dBFS
inline constexpr double silence_seconds = 2.0;      // a run this long is silence

class SilenceRun {
public:
    // Interleaved samples starting at `start` seconds of stream time.
    void add(const float* samples, std::size_t frames, int channels, int sample_rate, double start);

    // The current run's length at `now` (the end of the newest samples); 0 outside a run.
    double seconds(double now) const { return begun_ ? now - *begun_ : 0.0; }

private:
    std::optional<double> begun_;
};

}  // namespace avwatch::content
