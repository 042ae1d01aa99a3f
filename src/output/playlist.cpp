#include "module/bodies.hpp"
#include "module/not_implemented.hpp"

namespace avwatch {

Owned get_bitrate_from_playlist(const Call&) { not_implemented("get_bitrate_from_playlist"); }

}  // namespace avwatch
