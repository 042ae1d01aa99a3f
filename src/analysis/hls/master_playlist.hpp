// The variants a master playlist lists, with their declared bandwidth.
#pragma once

#include "analysis/hls/playlist_text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace avwatch::hls {

inline constexpr std::size_t max_variants = 1000;

struct Variant {
    std::string uri;
    std::optional<std::int64_t> bandwidth;          // BANDWIDTH, b/s (peak)
    std::optional<std::int64_t> average_bandwidth;  // AVERAGE-BANDWIDTH
};

struct MasterPlaylist {
    bool has_header = false;
    std::vector<Variant> variants;
    ErrorList errors;
};

// `text` must already be known to be playlist text (is_playlist_text).
MasterPlaylist parse_master_playlist(std::string_view text);

}  // namespace avwatch::hls
