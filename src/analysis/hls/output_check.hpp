// One HLS output checked as a player would see it, check after check: the
// media playlist's progress, the segments it lists, the folder around it
// and, when given, the master playlist's variant for it.
#pragma once

#include "analysis/content/ts_content.hpp"
#include "analysis/hls/files.hpp"
#include "analysis/hls/media_playlist.hpp"
#include "analysis/hls/segment_ts.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace avwatch::hls {

// Segments are read this far for their checks; their size counts in full.
inline constexpr std::size_t max_segment_read = 64 << 20;
// One check reads at most this much of its segments (a file listed under
// several names, or hard-linked, is read once); those past it are left
// unread for this check and read by the next ones.
inline constexpr std::size_t max_check_read = 256 << 20;
// A pending stop (Ctrl-C) is looked for after this many bytes read: asking
// takes the interpreter lock, once per segment would be too often.
inline constexpr std::size_t stop_every = 4 << 20;
// Segments are read in pieces of this size (whole packets): one read for
// most, as a plain read of the file takes it, and still within the L2 cache.
inline constexpr std::size_t segment_piece = 188 * 1394;
// Folder entries looked at for stray files.
inline constexpr std::size_t max_folder_entries = 10000;
// When the playlist has never given its target duration.
inline constexpr double default_target_duration = 6;

struct Problem {
    std::string code;  // one of a fixed set (see check_codes)
    std::string text;
};

// Every code a problem may carry, in the order problems are reported.
extern const char* const check_codes[];
extern const std::size_t check_code_count;

struct Report {
    bool playlist_read = false;
    std::optional<std::int64_t> media_sequence;
    std::optional<std::int64_t> discontinuity_sequence;
    std::optional<std::int64_t> target_duration;
    std::size_t segments = 0;
    double duration = 0;       // sum of the listed EXTINF, s
    std::uint64_t bytes = 0;   // of the listed segments found
    std::optional<std::int64_t> bitrate;               // bytes * 8 / their EXTINF
    std::optional<std::int64_t> peak_segment_bitrate;  // the largest of one segment
    std::optional<std::int64_t> declared_bitrate;      // the master's BANDWIDTH
    bool stale = false;
    std::optional<double> unchanged_for;  // s since the playlist last advanced
    std::string newest_segment;
    std::uint64_t continuity_errors = 0;  // inside the listed segments
    std::optional<double> lag;             // s the media lags the wall clock
    std::vector<std::string> stray_files;  // the first few
    std::size_t stray_count = 0;
    std::uint64_t sequence_resets = 0;     // so far: the sequence went back
    // So far: checks that found a listed segment missing.  A count, not a
    // flag: a segment is listed for only the playlist's window, which a
    // scrape or an alert's `for:` may well outlast.
    std::uint64_t missing_segment_checks = 0;
    std::size_t unread_segments = 0;       // past the read budget
    std::vector<Problem> problems;
    // What the newest segments show and sound like (decoded once each).
    content::ContentReport content;
};

class OutputChecker {
public:
    // `master` may be empty: no variant check.
    OutputChecker(std::string playlist, std::string master);

    // `stop` is asked between reads (every few MiB): true ends the check
    // at once, its report incomplete (interrupted() says so).
    Report check(const std::function<bool()>& stop = {});
    bool interrupted() const { return interrupted_; }

    const std::string& playlist() const { return playlist_; }

private:
    struct SegmentMemo {
        FileIdentity identity;
        TsFacts facts;
    };
    struct Previous {
        std::int64_t media_sequence = 0;
        std::int64_t discontinuity_sequence = 0;
        std::vector<MediaSegment> segments;
    };

    void check_progress(const MediaPlaylist& playlist, double target, Report& report);
    void check_discontinuities(const MediaPlaylist& playlist, const Previous& before, Report& report);
    void check_segments(const MediaPlaylist& playlist, double target, Report& report);
    void check_lag(const MediaPlaylist& playlist, double target, Report& report);
    void check_folder(const MediaPlaylist& playlist, Report& report);
    void check_master(Report& report);
    using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode
    // `decode`: the segment's media goes to the content checks as it is read.
    const SegmentMemo* segment_facts(const OpenFile& file, const FileLookup& lookup, std::size_t& budget,
                                    bool& unread, bool decode);

    std::string playlist_;
    std::string folder_;
    std::string master_;
    double now_wall_ = 0;
    double now_ = 0;  // monotonic

    std::optional<Previous> previous_;
    std::optional<double> last_advance_;  // monotonic
    std::optional<std::int64_t> known_target_;
    std::uint64_t sequence_resets_ = 0;
    std::uint64_t missing_segment_checks_ = 0;
    // The lag: media time gained against wall time since a start point.
    std::optional<double> lag_start_;
    double media_gained_ = 0;
    std::int64_t counted_through_ = 0;  // next sequence number to add up
    std::map<FileKey, SegmentMemo> memos_;
    std::function<bool()> stop_;
    bool interrupted_ = false;
    std::size_t unasked_ = 0;  // bytes read since stop_ was last asked
    std::vector<std::uint8_t> buffer_;  // the playlists
    std::vector<FolderEntry> entries_;
    // The content checks, fed each new segment once, in sequence order.
    content::TsContent content_;
    std::optional<std::int64_t> content_next_;  // the next sequence number to decode
};

}  // namespace avwatch::hls
