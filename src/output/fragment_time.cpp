#include "module/bodies.hpp"
#include "module/not_implemented.hpp"

namespace avwatch {

Owned get_srs_fragment_time(const Call&) { not_implemented("get_srs_fragment_time"); }

}  // namespace avwatch
