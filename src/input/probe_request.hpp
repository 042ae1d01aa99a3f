// What the input monitor passes to the probe, derived from the input source
// record afresh at every pass.
#pragma once

#include "module/api.hpp"

namespace avwatch {

struct ProbeRequest {
    Owned uri;         // a udp URI gains "?localaddr=<interface>"
    Owned program_id;  // str() of "pid", or "" when not set
    Owned video_id;    // likewise from "vpid"
    Owned audio_id;    // likewise from "apid"
};

// source.get("uri") is set (present and true).
bool has_input_uri(Borrowed source);
// Fields are read in the order miface, pid, vpid, apid, then uri.
ProbeRequest probe_request(Borrowed source);

}  // namespace avwatch
