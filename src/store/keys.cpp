#include "store/keys.hpp"

namespace avwatch {

ChannelKeys channel_keys(Borrowed ch_uid, Borrowed pipe_name) {
    Owned channel = concat({text("ch:"), formatted(ch_uid)});
    Owned pipe = formatted(pipe_name);
    return ChannelKeys{
        .channel = channel,
        .input_source = concat({channel, text(":input:"), pipe}),
        .input_status = concat({channel, text(":in:"), pipe}),
        .output_status = concat({channel, text(":out:"), pipe}),
    };
}

}  // namespace avwatch
