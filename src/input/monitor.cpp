// ffmpeg_input_bitrate: while the channel is live, probe its input every
// period and publish the stream record under the input status key.
//
// Nothing is caught: any error ends the monitor with the status key left as
// it was.  The interpreter lock is held throughout except where time.sleep,
// the Redis client and the probe's child-process wait release it.

#include "input/probe_request.hpp"
#include "module/bodies.hpp"
#include "store/keys.hpp"
#include "store/records.hpp"

namespace avwatch {
namespace {

constexpr long long period_seconds = 3;

void pause(const Call& call) {
    Owned seconds = integer(period_seconds);
    call_method(call.global("time"), "sleep", {seconds});
}

// {**result}: a plain dict with the result's items in its order.
Owned copy_as_mapping(Borrowed result) {
    Owned copy = Owned::steal(PyDict_New());
    if (PyDict_Merge(copy.get(), result.get(), 1) < 0) {
        // As the interpreter's unpacking words it (a missing keys() surfaces
        // from the merge as AttributeError).
        if (error_matches(PyExc_AttributeError))
            PyErr_Format(PyExc_TypeError, "'%s' object is not a mapping", Py_TYPE(result.get())->tp_name);
        throw ErrorSet{};
    }
    return copy;
}

void probe_and_publish(const Call& call, Borrowed broker, const ChannelKeys& keys, const ProbeRequest& request) {
    Owned probe = call.global("get_ffprobe_info");
    Owned result = avwatch::call(probe, {request.uri, request.program_id, request.video_id, request.audio_id});
    Owned record = copy_as_mapping(result);
    write_record(call, broker, keys.input_status, record);
}

}  // namespace

Owned ffmpeg_input_bitrate(const Call& call) {
    Borrowed broker = call.arg(2);
    ChannelKeys keys = channel_keys(call.arg(0), call.arg(1));

    Owned channel = read_record(call, broker, keys.channel);
    while (is_live(channel)) {
        Owned source = read_record(call, broker, keys.input_source);
        if (!has_input_uri(source)) {
            // Re-read before the pause too, so a channel that stops while it
            // has no input is seen to stop within one period.
            channel = read_record(call, broker, keys.channel);
            pause(call);
            continue;
        }
        probe_and_publish(call, broker, keys, probe_request(source));
        channel = read_record(call, broker, keys.channel);
        pause(call);
    }
    delete_key(broker, keys.input_status);
    return none();
}

}  // namespace avwatch
