#include "analysis/hls/master_playlist.hpp"

namespace avwatch::hls {

namespace {

std::optional<std::int64_t> bandwidth_attribute(std::string_view list, std::string_view name, ErrorList& errors,
                                                std::size_t number) {
    std::optional<std::string_view> value = attribute(list, name);
    if (!value)
        return std::nullopt;
    std::optional<std::int64_t> read = decimal_integer(*value);
    if (!read)
        errors.add("line " + std::to_string(number) + ": unreadable " + std::string(name) + " " +
                   quoted_excerpt(*value));
    return read;
}

}  // namespace

MasterPlaylist parse_master_playlist(std::string_view text, const std::function<bool(std::string_view uri)>& select) {
    MasterPlaylist result;
    std::optional<Variant> pending;
    std::size_t number = 0;
    for_each_line(text, [&](std::string_view line) {
        ++number;
        if (number == 1) {
            result.has_header = line == "#EXTM3U";
            if (!result.has_header)
                result.errors.add("the first line is not #EXTM3U but " + quoted_excerpt(line));
            return;
        }
        if (line.starts_with("#EXT-X-STREAM-INF:")) {
            std::string_view list = line.substr(line.find(':') + 1);
            pending = Variant{};
            pending->bandwidth = bandwidth_attribute(list, "BANDWIDTH", result.errors, number);
            pending->average_bandwidth = bandwidth_attribute(list, "AVERAGE-BANDWIDTH", result.errors, number);
            if (!attribute(list, "BANDWIDTH"))
                result.errors.add("line " + std::to_string(number) + ": EXT-X-STREAM-INF without BANDWIDTH");
        } else if (!line.empty() && line.front() != '#' && pending) {
            ++result.variant_count;
            if (select ? select(line) : result.variants.size() < max_variants) {
                pending->uri = line;
                result.variants.push_back(std::move(*pending));
            }
            pending.reset();
        }
    });
    if (number == 0)
        result.errors.add("the playlist is empty");
    return result;
}

}  // namespace avwatch::hls
