// The variants a master playlist lists, with their declared bandwidth.
#pragma once

#include "analysis/hls/playlist_text.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace avwatch::hls {

// Kept by a parse that selects none: the rest are counted.
inline constexpr std::size_t max_variants = 1000;

struct Variant {
    std::string uri;
    std::optional<std::int64_t> bandwidth;          // BANDWIDTH, b/s (peak)
    std::optional<std::int64_t> average_bandwidth;  // AVERAGE-BANDWIDTH
};

struct MasterPlaylist {
    bool has_header = false;
    std::vector<Variant> variants;
    std::size_t variant_count = 0;  // listed, kept or not
    ErrorList errors;
};

// `text` must already be known to be playlist text (is_playlist_text).
// With `select`, every variant whose URI it accepts is kept (and no other),
// wherever it is listed; without, the first max_variants.
MasterPlaylist parse_master_playlist(std::string_view text,
                                     const std::function<bool(std::string_view uri)>& select = {});

}  // namespace avwatch::hls
