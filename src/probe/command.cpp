#include "probe/command.hpp"

#include "module/api.hpp"

namespace avwatch {
namespace {

constexpr const char* base_arguments[] = {
    "nice", "-n", "5", "cpulimit", "-l", "60", "--", "ffprobe", "-v", "quiet", "-show_entries",
    "stream=codec_type,codec_name,sample_fmt,sample_rate,channels,bit_rate,width,height,bits_per_raw_sample,"
    "r_frame_rate,id",
    "-of", "json", "-i",
};

void append(Borrowed list, Borrowed item) { check(PyList_Append(list.get(), item.get())); }

// Inserts `item` directly before "-show_entries".
void insert_before_entries(Borrowed list, Borrowed item) {
    Owned marker = text("-show_entries");
    Py_ssize_t position = PySequence_Index(list.get(), marker.get());
    if (position < 0)
        throw ErrorSet{};
    check(PyList_Insert(list.get(), position, item.get()));
}

}  // namespace

Owned probe_command(Borrowed uri, Borrowed program_id, bool is_udp_stream) {
    Owned command = Owned::steal(PyList_New(0));
    for (const char* argument : base_arguments)
        append(command, text(argument));
    append(command, uri);

    if (is_udp_stream) {
        Owned program = to_str(program_id);
        insert_before_entries(command, text("-select_streams"));
        insert_before_entries(command, concat({text("p:"), program}));
    }
    // A live input is otherwise analysed for ffprobe's default 5 s, past our
    // 3 s limit, whatever it has already found; 2 s suffices for MPEG-TS.
    insert_before_entries(command, text("-analyzeduration"));
    insert_before_entries(command, text("2000000"));
    return command;
}

}  // namespace avwatch
