#include "module/bodies.hpp"
#include "module/not_implemented.hpp"

namespace avwatch {

Owned ffmpeg_output_bitrate(const Call&) { not_implemented("ffmpeg_output_bitrate"); }

}  // namespace avwatch
