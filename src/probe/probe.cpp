#include "module/bodies.hpp"
#include "module/not_implemented.hpp"

namespace avwatch {

Owned get_ffprobe_info(const Call&) { not_implemented("get_ffprobe_info"); }

}  // namespace avwatch
