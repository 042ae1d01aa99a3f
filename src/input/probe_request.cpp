#include "input/probe_request.hpp"

namespace avwatch {
namespace {

// source.get(field) when set, else the empty string.
Owned field_or_empty(Borrowed source, const char* field) {
    Owned value = item_or_none(source, field);
    return truthy(value) ? value : text("");
}

// An id reaches the probe as text: str(value), or "" when not set (so the
// number 0 becomes "" while the text "0" is kept).
Owned id_text(Borrowed source, const char* field) {
    Owned value = item_or_none(source, field);
    return truthy(value) ? to_str(value) : text("");
}

// The probe binds a UDP input to the receiving interface; the suffix goes on
// whatever the URI already holds, and "udp" is matched case-sensitively.
Owned probe_uri(Borrowed source, Borrowed interface) {
    Owned uri = item(source, "uri");
    Owned prefix = text("udp");
    if (!truthy(call_method(uri, "startswith", {prefix})))
        return uri;
    return concat({formatted(uri), text("?localaddr="), formatted(interface)});
}

}  // namespace

bool has_input_uri(Borrowed source) { return truthy(item_or_none(source, "uri")); }

ProbeRequest probe_request(Borrowed source) {
    Owned interface = field_or_empty(source, "miface");
    Owned program_id = id_text(source, "pid");
    Owned video_id = id_text(source, "vpid");
    Owned audio_id = id_text(source, "apid");
    return ProbeRequest{
        .uri = probe_uri(source, interface),
        .program_id = program_id,
        .video_id = video_id,
        .audio_id = audio_id,
    };
}

}  // namespace avwatch
