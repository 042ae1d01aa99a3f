// get_bitrate_from_playlist: the bandwidth an HLS playlist advertises for
// the variant whose URI line names the pipe.
#include "module/bodies.hpp"
#include "output/attribute_list.hpp"
#include "module/with_block.hpp"

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
    Owned value;
    // Read by attribute only what strip() gave as a str (a replaced file's
    // lines may be anything); the rest goes the older way.
    if (PyUnicode_Check(stripped.get())) {
        value = attribute_value(stripped, "BANDWIDTH");
        if (!value)
            value = attribute_value(stripped, "AVERAGE-BANDWIDTH");
    }
    if (!value)
        value = second_equals_piece(stripped);
    return Owned::steal(PyNumber_Long(value.get()));
}

}  // namespace

Owned get_bitrate_from_playlist(const Call& call) {
    Borrowed playlist = call.arg(0);
    Borrowed pipe_name = call.arg(1);
    Owned mode = text("r");
    Owned opened = avwatch::call(call.global("open"), {playlist, mode});
    Owned bandwidth = with_block(opened, [&](Borrowed file) {
        // Whatever readlines() gives is iterated, as a loop over it would.
        Owned lines = Owned::steal(PyObject_GetIter(call_method(file, "readlines").get()));
        Owned bandwidth_tag = text("BANDWIDTH");
        Owned previous;  // the line before, from the second line on
        while (PyObject* next = PyIter_Next(lines.get())) {
            Owned line = Owned::steal(next);
            if (contains(line, pipe_name) && previous && contains(previous, bandwidth_tag))
                return tag_bandwidth(previous);
            previous = std::move(line);
        }
        if (PyErr_Occurred())
            throw ErrorSet{};
        return integer(0);
    });
    // An __exit__ that swallowed an error leaves the function past the block.
    return bandwidth ? bandwidth : integer(0);
}

}  // namespace avwatch
