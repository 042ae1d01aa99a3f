// get_ffprobe_info: probe a stream URI or a media file once and reduce the
// prober's JSON answer to the flat stream record.
//
// A prober that times out, fails or prints nothing usable gives the default
// record; data it does print but that breaks the stream rules raises.

#include "module/bodies.hpp"
#include "module/catching.hpp"
#include "probe/answer.hpp"
#include "probe/command.hpp"
#include "probe/reduce.hpp"

namespace avwatch {
namespace {

// json.loads(answer); nothing when it is not JSON.
std::optional<Owned> parse(const Call& call, Borrowed answer) {
    Owned loads = attr(call.global("json"), "loads");
    PyObject* document = PyObject_CallOneArg(loads.get(), answer.get());
    if (document != nullptr)
        return Owned::steal(document);
    if (catch_error([&] { return attr(call.global("json"), "JSONDecodeError"); }))
        return std::nullopt;
    throw ErrorSet{};
}

}  // namespace

Owned get_ffprobe_info(const Call& call) {
    Borrowed uri = call.arg(0);
    bool is_udp_stream = truthy(call_method(uri, "startswith", {text("udp")}));
    Owned record = default_stream_record();
    Owned command = probe_command(uri, call.arg(1), is_udp_stream);

    std::optional<Owned> answer = prober_answer(call, command);
    if (!answer)
        return record;
    std::optional<Owned> document = parse(call, *answer);
    if (!document)
        return record;
    Owned streams = item_or_none(*document, "streams");
    if (!truthy(streams))
        return record;

    reduce_streams(call, streams, StreamFilter{is_udp_stream, call.arg(2), call.arg(3)}, record);
    return record;
}

}  // namespace avwatch
