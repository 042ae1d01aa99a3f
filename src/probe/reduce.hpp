// The prober's streams reduced to the flat stream record.
#pragma once

#include "module/function.hpp"

namespace avwatch {

// Which elementary streams count.  A UDP probe keeps only those whose id
// matches the video or the audio id; any other source keeps all.
struct StreamFilter {
    bool is_udp_stream;
    Borrowed video_id;
    Borrowed audio_id;
};

// A new record with the seven keys, in the order they are published.
Owned default_stream_record();

// Applies the stream rules to each entry of `streams` in order (later
// streams overwrite earlier values), then sets "vresolution" and "bitrate".
// `to_int` and `get_bit_depth` are the module's globals at each use.
// Malformed values raise as the conversions do.
void reduce_streams(const Call& call, Borrowed streams, const StreamFilter& filter, Borrowed record);

}  // namespace avwatch
