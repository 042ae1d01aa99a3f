#include "module/bodies.hpp"
#include "module/not_implemented.hpp"

namespace avwatch {

Owned ffmpeg_input_bitrate(const Call&) { not_implemented("ffmpeg_input_bitrate"); }

}  // namespace avwatch
