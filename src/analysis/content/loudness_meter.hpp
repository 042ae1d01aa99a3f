// EBU R128 loudness of one audio stream (libebur128 in histogram mode, so
// its memory stays constant however long the stream runs).  The meter is
// made anew when the stream's channels or sample rate change.
#pragma once

#include <cstdint>
#include <optional>

#include <ebur128.h>

extern "C" {
struct AVChannelLayout;
}

namespace avwatch::content {

// What a meter reads for digital silence (libebur128 says -inf, which JSON
// cannot carry): the momentary, short-term and peak floor, and the
// integrated loudness when no block passed the gate.
inline constexpr double loudness_floor = -120.7;
inline constexpr double integrated_floor = -70.0;

class LoudnessMeter {
public:
    LoudnessMeter() = default;
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // Interleaved floats; the layout names the channels (LFE unweighted,
    // surrounds weighted as R128 says).  False when the meter cannot be made.
    bool add(const float* samples, std::size_t frames, const AVChannelLayout& layout, int sample_rate);

    std::optional<double> momentary() const;   // once 0.4 s were metered
    std::optional<double> short_term() const;  // once 3 s were metered
    std::optional<double> integrated() const;  // once 0.4 s were metered
    // The highest sample magnitude since the previous call, in dBFS.
    std::optional<double> take_sample_peak();

private:
    bool ready(const AVChannelLayout& layout, int sample_rate);

    ebur128_state* state_ = nullptr;
    int channels_ = 0;
    int sample_rate_ = 0;
    std::uint64_t metered_ = 0;  // sample frames since the meter was made
    std::optional<double> peak_; // linear, since the last take
};

}  // namespace avwatch::content
