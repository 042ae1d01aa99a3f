#include "module/bodies.hpp"
#include "module/not_implemented.hpp"

namespace avwatch {

Owned is_ts_file_recent(const Call&) { not_implemented("is_ts_file_recent"); }

}  // namespace avwatch
