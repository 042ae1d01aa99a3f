#include "analysis/hls/media_playlist.hpp"

namespace avwatch::hls {

namespace {

class MediaParser {
public:
    MediaPlaylist result;

    void line(std::string_view line, std::size_t number) {
        if (number == 1) {
            result.has_header = line == "#EXTM3U";
            if (!result.has_header)
                result.errors.add("the first line is not #EXTM3U but " + quoted_excerpt(line));
            return;
        }
        if (line.empty())
            return;
        if (line.starts_with("#EXT"))
            tag(line, number);
        else if (line.front() != '#')
            uri(line, number);
    }

    void finish() {
        if (pending_duration_)
            result.errors.add("EXTINF without a segment URI at the end");
        if (!result.target_duration && !result.is_master)
            result.errors.add("no EXT-X-TARGETDURATION");
    }

private:
    void tag(std::string_view line, std::size_t number) {
        std::size_t colon = line.find(':');
        std::string_view name = line.substr(0, colon);
        std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
        if (name == "#EXTINF") {
            // "duration,[title]"
            std::string_view duration = value.substr(0, value.find(','));
            pending_duration_ = decimal_float(duration);
            if (!pending_duration_ || *pending_duration_ > max_segment_duration) {
                bad(number, "EXTINF duration", duration);
                pending_duration_ = 0.0;
            }
        } else if (name == "#EXT-X-TARGETDURATION") {
            integer(result.target_duration, value, number, "EXT-X-TARGETDURATION");
        } else if (name == "#EXT-X-MEDIA-SEQUENCE") {
            std::optional<std::int64_t> read;
            sequence(read, value, number, "EXT-X-MEDIA-SEQUENCE");
            if (read && !segments_begun())
                result.media_sequence = *read;
        } else if (name == "#EXT-X-DISCONTINUITY-SEQUENCE") {
            std::optional<std::int64_t> read;
            sequence(read, value, number, "EXT-X-DISCONTINUITY-SEQUENCE");
            if (read)
                result.discontinuity_sequence = *read;
        } else if (name == "#EXT-X-DISCONTINUITY") {
            pending_discontinuity_ = true;
        } else if (name == "#EXT-X-ENDLIST") {
            result.ended = true;
        } else if (name == "#EXT-X-MAP") {
            result.fragmented_mp4 = true;
        } else if (name == "#EXT-X-STREAM-INF") {
            result.is_master = true;
        }
    }

    void uri(std::string_view line, std::size_t number) {
        if (result.is_master)
            return;
        if (!pending_duration_) {
            result.errors.add("line " + std::to_string(number) + ": segment " + quoted_excerpt(line) +
                              " has no EXTINF");
            pending_duration_ = 0.0;
        }
        if (result.segments.size() >= max_segments) {
            if (result.segments.size() == max_segments && !said_too_many_) {
                result.errors.add("more than " + std::to_string(max_segments) + " segments: the rest are ignored");
                said_too_many_ = true;
            }
        } else {
            MediaSegment segment;
            segment.uri = line;
            segment.duration = *pending_duration_;
            segment.sequence = result.next_sequence();
            segment.discontinuity = pending_discontinuity_;
            result.segments.push_back(std::move(segment));
        }
        pending_duration_.reset();
        pending_discontinuity_ = false;
    }

    void integer(std::optional<std::int64_t>& into, std::string_view value, std::size_t number, const char* tag) {
        std::optional<std::int64_t> read = decimal_integer(value);
        if (read)
            into = read;
        else
            bad(number, tag, value);
    }

    void sequence(std::optional<std::int64_t>& into, std::string_view value, std::size_t number, const char* tag) {
        std::optional<std::int64_t> read = decimal_integer(value);
        if (read && *read <= max_sequence)
            into = read;
        else
            bad(number, tag, value);
    }

    void bad(std::size_t number, const char* what, std::string_view value) {
        result.errors.add("line " + std::to_string(number) + ": unreadable " + what + " " + quoted_excerpt(value));
    }

    bool segments_begun() const { return !result.segments.empty(); }

    std::optional<double> pending_duration_;
    bool pending_discontinuity_ = false;
    bool said_too_many_ = false;
};

}  // namespace

MediaPlaylist parse_media_playlist(std::string_view text) {
    MediaParser parser;
    std::size_t number = 0;
    for_each_line(text, [&](std::string_view line) { parser.line(line, ++number); });
    if (number == 0)
        parser.result.errors.add("the playlist is empty");
    else
        parser.finish();
    return std::move(parser.result);
}

}  // namespace avwatch::hls
