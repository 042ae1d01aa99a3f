#include "output/paths.hpp"

namespace avwatch {
namespace {

constexpr const char* html_root = "/usr/local/kestrel-srs/trunk/objs/nginx/html/";

}  // namespace

OutputPaths output_paths(Borrowed ch_uid, Borrowed pipe_name) {
    Owned channel_folder = concat({text(html_root), formatted(ch_uid), text("/")});
    // The playlist sits beside the segment folder, in place of its last
    // component only: a search-and-replace of the pipe name would also hit
    // the channel id or the fixed prefix ("1" in channel 12, "s" in "kestrel-srs").
    return OutputPaths{
        .segment_folder = concat({channel_folder, formatted(pipe_name)}),
        .playlist = concat({channel_folder, text("a/playlist.m3u8")}),
    };
}

Owned join_path(Borrowed folder, Borrowed name) {
    Py_ssize_t length = PyUnicode_GetLength(folder.get());
    if (length < 0)
        throw ErrorSet{};
    if (length > 0 && PyUnicode_ReadChar(folder.get(), length - 1) == '/')
        return concat({folder, name});
    return concat({folder, text("/"), name});
}

}  // namespace avwatch
