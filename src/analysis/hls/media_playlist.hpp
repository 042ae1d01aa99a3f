// A media playlist as a player reads it: the segments with their sequence
// numbers and durations, and what could not be read.
#pragma once

#include "analysis/hls/playlist_text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace avwatch::hls {

// More are ignored (and said so): live playlists list a handful.
inline constexpr std::size_t max_segments = 10000;
// Sequence numbers above this are refused: every listed segment's number
// then fits in 63 bits.
inline constexpr std::int64_t max_sequence = INT64_MAX - static_cast<std::int64_t>(max_segments);
// EXTINF above this (11.6 days) is refused: durations add up to no infinity.
inline constexpr double max_segment_duration = 1e6;

struct MediaSegment {
    std::string uri;
    double duration = 0;        // EXTINF, seconds
    std::int64_t sequence = 0;  // media sequence number
    bool discontinuity = false; // EXT-X-DISCONTINUITY before it
};

struct MediaPlaylist {
    bool has_header = false;    // the first line is #EXTM3U
    bool is_master = false;     // it lists variants, not segments
    bool ended = false;         // EXT-X-ENDLIST
    bool fragmented_mp4 = false;  // EXT-X-MAP: segments are not MPEG-TS
    std::optional<std::int64_t> target_duration;
    std::int64_t media_sequence = 0;
    std::int64_t discontinuity_sequence = 0;
    std::vector<MediaSegment> segments;
    ErrorList errors;

    // The sequence number the next segment will carry.
    std::int64_t next_sequence() const {
        return saturating_add(media_sequence, static_cast<std::int64_t>(segments.size()));
    }
};

// `text` must already be known to be playlist text (is_playlist_text).
MediaPlaylist parse_media_playlist(std::string_view text);

}  // namespace avwatch::hls
