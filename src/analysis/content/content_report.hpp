// What the content checks report with each window (or HLS check).
#pragma once

#include "analysis/content/audio_check.hpp"
#include "analysis/content/video_check.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace avwatch::content {

struct ContentReport {
    std::optional<VideoReport> video;  // nullopt: the program has no video stream
    std::vector<AudioReport> audio;
    std::optional<std::vector<std::uint8_t>> thumbnail;  // a JPEG made since the last report
};

}  // namespace avwatch::content
