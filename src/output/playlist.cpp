// get_bitrate_from_playlist: the bandwidth an HLS playlist advertises for
// the variant whose URI line names the pipe.
#include "module/bodies.hpp"
#include "output/attribute_list.hpp"
#include "output/text_file.hpp"

namespace avwatch {

namespace {

// The older reading: the text between the first and second '=' of the
// stripped line.  It only works for a tag whose sole attribute is BANDWIDTH.
Owned second_equals_piece(Borrowed stripped) {
    Owned equals = text("=");
    Owned pieces = call_method(stripped, "split", {equals});
    return Owned::steal(PySequence_GetItem(pieces.get(), 1));
}

// The bandwidth of a stream-information tag.  Standard tags carry several
// attributes (CODECS even holds a quoted comma list), so the value is taken
// by name: BANDWIDTH, else AVERAGE-BANDWIDTH, else the older reading.
Owned tag_bandwidth(Borrowed tag_line) {
    Owned stripped = call_method(tag_line, "strip");
    Owned value = attribute_value(stripped, "BANDWIDTH");
    if (!value)
        value = attribute_value(stripped, "AVERAGE-BANDWIDTH");
    if (!value)
        value = second_equals_piece(stripped);
    return Owned::steal(PyNumber_Long(value.get()));
}

}  // namespace

Owned get_bitrate_from_playlist(const Call& call) {
    Borrowed playlist = call.arg(0);
    Borrowed pipe_name = call.arg(1);
    return with_text_file(playlist, [&](Borrowed file) {
        Owned lines = call_method(file, "readlines");  // a list of str
        Owned bandwidth_tag = text("BANDWIDTH");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
            Owned line = Owned::share(PyList_GET_ITEM(lines.get(), i));
            if (!contains(line, pipe_name) || i == 0)
                continue;
            Owned previous = Owned::share(PyList_GET_ITEM(lines.get(), i - 1));
            if (contains(previous, bandwidth_tag))
                return tag_bandwidth(previous);
        }
        return integer(0);
    });
}

}  // namespace avwatch
