// Where decoded audio lies in stream time: the PES timestamps place frames,
// the sample count carries the time between them.  A gap in the timestamps
// (lost packets) moves time on; a jump back or far ahead (a discontinuity)
// does not, so a run in stream time never goes backwards.
#pragma once

#include <cstdint>
#include <optional>

namespace avwatch::content {

class AudioTimeline {
public:
    // The start, in seconds of stream time, of a frame of `samples` at
    // `sample_rate` with the given 90 kHz timestamp (none: right after the
    // previous frame); time then moves past it.
    double place(std::optional<std::int64_t> pts, int samples, int sample_rate);

    double now() const { return position_; }

private:
    double position_ = 0;                // seconds after the first frame's start
    std::optional<double> expected_;     // 90 kHz ticks where the next frame should begin
};

}  // namespace avwatch::content
