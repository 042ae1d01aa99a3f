// The bodies of the public functions, one per subsystem file.
#pragma once

#include "module/function.hpp"

namespace avwatch {

Owned ffmpeg_output_bitrate(const Call& call);   // output/monitor.cpp
Owned is_ts_file_recent(const Call& call);       // output/freshness.cpp
Owned get_bitrate_from_playlist(const Call& call);  // output/playlist.cpp
Owned get_srs_fragment_time(const Call& call);   // output/fragment_time.cpp
Owned ffmpeg_input_bitrate(const Call& call);    // input/monitor.cpp
Owned get_bit_depth(const Call& call);           // probe/convert.cpp
Owned get_ffprobe_info(const Call& call);        // probe/probe.cpp
Owned to_int(const Call& call);                  // probe/convert.cpp

}  // namespace avwatch
