// The Redis keys of a channel and pipe.
#pragma once

#include "module/api.hpp"

namespace avwatch {

struct ChannelKeys {
    Owned channel;        // ch:<ch_uid>
    Owned input_source;   // ch:<ch_uid>:input:<pipe_name>
    Owned input_status;   // ch:<ch_uid>:in:<pipe_name>
    Owned output_status;  // ch:<ch_uid>:out:<pipe_name>
};

// ch_uid and pipe_name enter as format(value, "") renders them.
ChannelKeys channel_keys(Borrowed ch_uid, Borrowed pipe_name);

}  // namespace avwatch
