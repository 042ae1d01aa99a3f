// Black and frozen judged on decoded pictures' luma, in one pass over a
// subsampled plane: black as blackdetect (a pixel at most 10% up the luma
// range, 98% of them), frozen as freezedetect (the mean absolute difference
// against the first picture of the run, normalised, at most -60 dB).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

struct AVFrame;

namespace avwatch::content {

struct LumaVerdict {
    double luma = 0;            // mean, 0..255
    double black_seconds = 0;   // the current black run, 0 when this picture is not black
    double frozen_seconds = 0;  // since the run's first picture, 0 when this one differs
};

class LumaJudge {
public:
    // A picture at `time` (stream seconds) of clock epoch `epoch`: a new
    // epoch restarts the runs.
    LumaVerdict picture(const AVFrame& frame, double time, std::uint64_t epoch);

private:
    std::vector<std::uint8_t> reference_;  // the subsampled luma the frozen run began with
    std::vector<std::uint8_t> scratch_;    // the picture being judged
    int reference_width_ = 0;
    int reference_height_ = 0;
    double reference_time_ = 0;
    std::optional<double> black_since_;
    std::optional<std::uint64_t> epoch_;
};

}  // namespace avwatch::content
