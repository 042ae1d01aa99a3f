// Where the media server writes a channel's HLS output.
#pragma once

#include "module/api.hpp"

namespace avwatch {

struct OutputPaths {
    Owned segment_folder;  // <html>/<ch_uid>/<pipe_name>
    Owned playlist;        // <html>/<ch_uid>/a/playlist.m3u8
};

// ch_uid and pipe_name enter as format(value, "") renders them.
OutputPaths output_paths(Borrowed ch_uid, Borrowed pipe_name);

// os.path.join(folder, name) for a bare name: one slash between them, none
// added when the folder already ends in one.
Owned join_path(Borrowed folder, Borrowed name);

}  // namespace avwatch
