// The prober's command line.
#pragma once

#include "module/ref.hpp"

namespace avwatch {

// A new list: ffprobe at niceness +5 under a 60 % processor cap, JSON of the
// eleven stream members we read.  A UDP source is restricted to one program.
Owned probe_command(Borrowed uri, Borrowed program_id, bool is_udp_stream);

}  // namespace avwatch
