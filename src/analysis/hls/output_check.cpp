#include "analysis/hls/output_check.hpp"

#include "analysis/hls/master_playlist.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <unordered_set>

namespace avwatch::hls {

const char* const check_codes[] = {
    "unreadable", "malformed", "stale", "ended", "sequence", "discontinuity", "over_target",
    "segment_missing", "segment_empty", "sync", "pat_pmt", "key_frame", "continuity", "lag",
    "stray_files", "variant_missing", "over_bandwidth", "unread",
};
const std::size_t check_code_count = std::size(check_codes);

namespace {

// The playlist has not advanced for this many target durations: stale.
constexpr double stale_after_targets = 1.5;
// Media time may trail or lead the wall clock by this many target durations
// (a segment is listed only once whole) before it counts as lag.
constexpr double lag_targets = 2;
// A segment may exceed the declared BANDWIDTH by this share before it is said.
constexpr double bandwidth_tolerance = 1.1;
constexpr std::size_t names_in_text = 3;
// Rates are measured over at least this much media: a listed 1e-20 s is no
// measure of anything.
constexpr double shortest_measured = 1e-3;
// Rates are held below this (b/s), well inside 64 bits.
constexpr double highest_rate = 1e18;

std::optional<std::int64_t> rate(double bits, double seconds) {
    if (!(seconds >= shortest_measured) || !std::isfinite(bits))
        return std::nullopt;
    return static_cast<std::int64_t>(std::llround(std::min(bits / seconds, highest_rate)));
}

std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::string file_name(std::string_view uri) {
    std::size_t slash = uri.rfind('/');
    return std::string(slash == std::string_view::npos ? uri : uri.substr(slash + 1));
}

// "a, b, c and 2 more"
std::string name_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < names_in_text; ++i) {
        if (i > 0)
            out += ", ";
        out += names[i];
    }
    if (names.size() > names_in_text)
        out += " and " + std::to_string(names.size() - names_in_text) + " more";
    return out;
}

std::string seconds_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f s", value);
    return buffer;
}

std::string rate_text(double bits_per_second) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f Mb/s", bits_per_second / 1e6);
    return buffer;
}

void add(Report& report, const char* code, std::string text) { report.problems.push_back({code, std::move(text)}); }

// "N segments <what>: names", or "segment <name> <what>" for one.
void add_listed(Report& report, const char* code, const std::vector<std::string>& names, const char* what) {
    if (names.empty())
        return;
    if (names.size() == 1)
        add(report, code, names[0] + " " + what);
    else
        add(report, code, std::to_string(names.size()) + " segments " + what + ": " + name_list(names));
}

std::string describe_error(int error) { return std::strerror(error); }

// The file a segment URI names, relative to the playlist's folder, or
// nothing for a URI this check cannot follow on disk: a URL, an absolute
// path, a way out of the folder (a symlink out is refused on opening).
std::optional<std::string> local_path(std::string_view uri) {
    uri = uri.substr(0, uri.find_first_of("?#"));
    if (uri.empty() || uri.find("://") != std::string_view::npos || uri.front() == '/')
        return std::nullopt;
    for (const auto& part : std::filesystem::path(uri))
        if (part == "..")
            return std::nullopt;
    return std::string(uri);
}

bool has_suffix(std::string_view name, std::initializer_list<std::string_view> suffixes) {
    return std::any_of(suffixes.begin(), suffixes.end(), [&](std::string_view s) { return name.ends_with(s); });
}

// Neither a playlist, nor a media file, nor one being written.
bool is_stray(std::string_view name) {
    return !has_suffix(name, {".m3u8", ".m3u", ".tmp", ".part", ".ts", ".m4s", ".mp4", ".m4a", ".m4v", ".aac",
                              ".ac3", ".ec3", ".mp3", ".vtt", ".webvtt", ".key"});
}

std::string normal(const std::filesystem::path& path) { return path.lexically_normal().string(); }

}  // namespace

OutputChecker::OutputChecker(std::string playlist, std::string master) {
    std::filesystem::path path = std::filesystem::absolute(playlist);
    playlist_ = normal(path);
    folder_ = normal(path.parent_path());
    if (!master.empty())
        master_ = normal(std::filesystem::absolute(master));
}

Report OutputChecker::check(const std::function<bool()>& stop) {
    stop_ = stop;
    interrupted_ = false;
    unasked_ = 0;
    now_wall_ = wall_clock();
    now_ = monotonic_clock();
    Report report;
    report.sequence_resets = sequence_resets_;
    report.missing_segment_checks = missing_segment_checks_;

    FileLookup read = read_file(playlist_, max_playlist_bytes + 1, buffer_);
    // A packager that rewrites its playlist in place leaves it empty for a
    // moment: a player retries, and so do we, a few times at once.
    for (int retry = 0; retry < 3 && read.status == FileStatus::ok && buffer_.empty(); ++retry) {
        sched_yield();
        read = read_file(playlist_, max_playlist_bytes + 1, buffer_);
    }
    std::string_view text(reinterpret_cast<const char*>(buffer_.data()), buffer_.size());
    std::optional<MediaPlaylist> parsed;
    if (read.status == FileStatus::missing) {
        add(report, "unreadable", "no playlist at " + playlist_);
    } else if (read.status == FileStatus::not_regular) {
        add(report, "unreadable", playlist_ + " is not a regular file");
    } else if (read.status == FileStatus::failed) {
        add(report, "unreadable", "cannot read " + playlist_ + ": " + describe_error(read.error));
    } else if (buffer_.size() > max_playlist_bytes) {
        add(report, "malformed", "the playlist is larger than " + std::to_string(max_playlist_bytes >> 20) + " MiB");
    } else if (!is_playlist_text(text)) {
        add(report, "malformed", "the playlist is not text");
    } else {
        parsed = parse_media_playlist(text);
        if (parsed->is_master)
            add(report, "malformed", "a master playlist, not a media playlist");
        const ErrorList& errors = parsed->errors;
        for (const std::string& error : errors.kept())
            add(report, "malformed", error);
        if (errors.count() > errors.kept().size())
            add(report, "malformed", std::to_string(errors.count() - errors.kept().size()) + " more playlist errors");
    }
    if (parsed && parsed->target_duration)
        known_target_ = parsed->target_duration;
    double target = known_target_ && *known_target_ > 0 ? static_cast<double>(*known_target_) : default_target_duration;

    // Only a playlist that says it is one is followed: an empty or foreign
    // file (an encoder dying mid-write) is no media sequence 0.
    if (parsed && parsed->has_header && !parsed->is_master) {
        report.playlist_read = true;
        report.media_sequence = parsed->media_sequence;
        report.discontinuity_sequence = parsed->discontinuity_sequence;
        report.target_duration = parsed->target_duration;
        report.segments = parsed->segments.size();
        if (!parsed->segments.empty())
            report.newest_segment = file_name(parsed->segments.back().uri);
        check_progress(*parsed, target, report);
        check_segments(*parsed, target, report);
        check_lag(*parsed, target, report);
        check_folder(*parsed, report);
        if (parsed->ended)
            add(report, "ended", "the playlist has ended (EXT-X-ENDLIST)");
        previous_ = Previous{parsed->media_sequence, parsed->discontinuity_sequence, std::move(parsed->segments)};
    } else {
        // Nothing to follow: the output is stale once the last advance is
        // old enough, or at once when none was ever seen.
        report.stale = !last_advance_ || now_ - *last_advance_ > stale_after_targets * target;
        if (last_advance_)
            report.unchanged_for = now_ - *last_advance_;
        lag_start_.reset();
        memos_.clear();
    }
    if (report.stale)
        add(report, "stale", report.unchanged_for
                                 ? "the playlist has not advanced for " + seconds_text(*report.unchanged_for)
                                 : "no playlist to follow");
    if (!master_.empty())
        check_master(report);
    report.content = content_.report();
    std::stable_sort(report.problems.begin(), report.problems.end(), [](const Problem& a, const Problem& b) {
        auto rank = [](const std::string& code) {
            return std::find_if(check_codes, check_codes + check_code_count,
                                [&](const char* known) { return code == known; }) - check_codes;
        };
        return rank(a.code) < rank(b.code);
    });
    return report;
}

void OutputChecker::check_progress(const MediaPlaylist& playlist, double target, Report& report) {
    bool advanced = true;
    if (previous_) {
        const Previous& before = *previous_;
        std::int64_t next_before =
            saturating_add(before.media_sequence, static_cast<std::int64_t>(before.segments.size()));
        std::string newest_before = before.segments.empty() ? std::string() : before.segments.back().uri;
        std::string newest_now = playlist.segments.empty() ? std::string() : playlist.segments.back().uri;
        advanced = playlist.next_sequence() != next_before || newest_now != newest_before;
        if (playlist.media_sequence < before.media_sequence) {
            ++sequence_resets_;
            report.sequence_resets = sequence_resets_;
            add(report, "sequence", "the media sequence went back from " + std::to_string(before.media_sequence) +
                                        " to " + std::to_string(playlist.media_sequence));
            lag_start_.reset();
        } else {
            if (playlist.next_sequence() < next_before)
                add(report, "sequence", "segments were taken off the end of the playlist");
            // A sequence number keeps its segment for as long as it is listed.
            std::vector<std::string> changed;
            for (const MediaSegment& old : before.segments) {
                std::int64_t index = old.sequence - playlist.media_sequence;
                if (index >= 0 && index < static_cast<std::int64_t>(playlist.segments.size()) &&
                    playlist.segments[static_cast<std::size_t>(index)].uri != old.uri)
                    changed.push_back(std::to_string(old.sequence));
            }
            if (!changed.empty())
                add(report, "sequence", "sequence numbers now name other segments: " + name_list(changed));
            check_discontinuities(playlist, before, report);
        }
    }
    if (advanced) {
        // When the file changed since the last check, its modification time
        // says when it advanced; on the first check, it is all there is.
        std::optional<double> age;
        FileLookup lookup = look_up(playlist_);
        if (lookup.status == FileStatus::ok)
            age = std::max(0.0, now_wall_ - static_cast<double>(lookup.identity.modified_ns) * 1e-9);
        double at = age ? now_ - *age : now_;
        if (last_advance_)
            at = std::max(at, *last_advance_);
        last_advance_ = at;
    }
    report.unchanged_for = now_ - *last_advance_;
    report.stale = *report.unchanged_for > stale_after_targets * target;
}

void OutputChecker::check_discontinuities(const MediaPlaylist& playlist, const Previous& before, Report& report) {
    // The discontinuity sequence counts the discontinuities that left the
    // playlist: it can be verified while every departed segment was seen.
    std::int64_t departed = playlist.media_sequence - before.media_sequence;
    if (playlist.discontinuity_sequence < before.discontinuity_sequence) {
        add(report, "discontinuity", "the discontinuity sequence went back from " +
                                         std::to_string(before.discontinuity_sequence) + " to " +
                                         std::to_string(playlist.discontinuity_sequence));
        return;
    }
    if (departed < 0 || departed > static_cast<std::int64_t>(before.segments.size()))
        return;
    std::int64_t expected = before.discontinuity_sequence;
    for (std::int64_t i = 0; i < departed; ++i)
        expected = saturating_add(expected, before.segments[static_cast<std::size_t>(i)].discontinuity ? 1 : 0);
    if (playlist.discontinuity_sequence != expected)
        add(report, "discontinuity", "the discontinuity sequence is " +
                                         std::to_string(playlist.discontinuity_sequence) + ", " +
                                         std::to_string(expected) + " by the discontinuities that left the playlist");
}

const OutputChecker::SegmentMemo* OutputChecker::segment_facts(const OpenFile& file, const FileLookup& lookup,
                                                              std::size_t& budget, bool& unread, bool decode) {
    FileKey key{lookup.identity.device, lookup.identity.inode};
    auto found = memos_.find(key);
    if (found != memos_.end() && found->second.identity == lookup.identity)
        return &found->second;
    std::size_t cost = static_cast<std::size_t>(std::min<std::uint64_t>(lookup.identity.size, max_segment_read));
    unread = cost > budget;
    if (unread)
        return nullptr;
    budget -= cost;
    // One buffer per thread for every output: a check runs in one thread to
    // its end, and a buffer per output would be most of the memory of a
    // thousand outputs (and a first check would pay for faulting it in).
    thread_local std::vector<std::uint8_t> pieces(segment_piece);
    TsSegmentReader reader;
    auto stopped = [this] {
        if (unasked_ < stop_every)
            return false;
        unasked_ = 0;
        return interrupted_ = stop_ && stop_();
    };
    auto feed = [&](std::span<const std::uint8_t> piece) {
        reader.feed(piece);
        if (decode)
            content_.feed(piece);
        unasked_ += piece.size();
    };
    FileLookup read = read_in_pieces(file, cost, pieces, feed, stopped);
    if (read.status != FileStatus::ok)
        return nullptr;
    return &(memos_[key] = SegmentMemo{lookup.identity, reader.finish()});
}

void OutputChecker::check_segments(const MediaPlaylist& playlist, double target, Report& report) {
    std::vector<std::string> over, unreachable, missing, irregular, empty, unread, no_sync, no_tables, no_key_frame,
        with_errors;
    double longest = 0;
    double counted_duration = 0;
    double peak = 0;
    Folder folder(folder_);
    std::size_t budget = max_check_read;
    // Each file once per check, however many names lead to it.
    struct Seen {
        const SegmentMemo* memo;
        bool unread;
    };
    std::map<FileKey, Seen> seen;
    // The content checks begin with the newest segment, and take each one
    // after it once; when the sequence goes back they begin again.
    if (!playlist.segments.empty()) {
        std::int64_t newest = playlist.segments.back().sequence;
        if (!content_next_ || *content_next_ > newest + 1) {
            if (content_next_)
                content_.gap();  // another stream now: nothing in progress goes on
            content_next_ = newest;
        }
    }
    for (const MediaSegment& segment : playlist.segments) {
        std::string name = file_name(segment.uri);
        report.duration += segment.duration;
        // RFC 8216: each EXTINF, rounded to an integer, at most the target.
        if (std::round(segment.duration) > target) {
            over.push_back(name + " (" + seconds_text(segment.duration) + ")");
            longest = std::max(longest, segment.duration);
        }
        std::optional<std::string> path = local_path(segment.uri);
        OpenFile file;
        FileLookup lookup = path ? folder.open(*path, file) : FileLookup{FileStatus::outside, 0, {}};
        if (lookup.status == FileStatus::outside) {
            unreachable.push_back(quoted_excerpt(segment.uri));
            continue;
        }
        if (lookup.status == FileStatus::not_regular) {
            irregular.push_back(name);
            continue;
        }
        if (lookup.status != FileStatus::ok) {
            missing.push_back(name);
            continue;
        }
        report.bytes = saturating_sum(report.bytes, lookup.identity.size);
        counted_duration += segment.duration;
        // A short segment (the last before a stop) is no measure of a peak.
        if (segment.duration >= 0.5 * target && segment.duration >= shortest_measured)
            peak = std::max(peak, static_cast<double>(lookup.identity.size) * 8 / segment.duration);
        if (lookup.identity.size == 0) {
            empty.push_back(name);
            continue;
        }
        if (playlist.fragmented_mp4)
            continue;
        FileKey key{lookup.identity.device, lookup.identity.inode};
        auto known = seen.find(key);
        if (known == seen.end()) {
            Seen now{nullptr, false};
            bool decode = content_next_ && segment.sequence >= *content_next_;
            if (decode && (segment.sequence != *content_next_ || segment.discontinuity))
                content_.gap();  // segments were skipped, or the stream starts anew
            now.memo = segment_facts(file, lookup, budget, now.unread, decode);
            if (decode && now.memo != nullptr)
                content_next_ = segment.sequence + 1;
            if (interrupted_)
                return;
            known = seen.emplace(key, now).first;
        }
        if (known->second.memo == nullptr) {
            // Past the budget, or a read error (a race with its removal).
            (known->second.unread ? unread : missing).push_back(name);
            continue;
        }
        const TsFacts& facts = known->second.memo->facts;
        if (!facts.starts_with_sync || facts.sync_errors > 0) {
            no_sync.push_back(name);
            continue;
        }
        if (!facts.pat_before_media || !facts.pmt_before_media || facts.table_crc_errors > 0)
            no_tables.push_back(name);
        if (facts.video_starts_on_key_frame == false)
            no_key_frame.push_back(name);
        if (facts.continuity_errors > 0) {
            report.continuity_errors = saturating_sum(report.continuity_errors, facts.continuity_errors);
            with_errors.push_back(name);
        }
    }
    // Forget what is no longer listed.
    std::erase_if(memos_, [&](const auto& entry) { return !seen.contains(entry.first); });

    report.bitrate = rate(static_cast<double>(report.bytes) * 8, counted_duration);
    if (peak > 0)
        report.peak_segment_bitrate = rate(peak, 1);
    report.unread_segments = unread.size();

    if (!over.empty())
        add(report, "over_target",
            (over.size() == 1 ? over[0] + " lasts" : std::to_string(over.size()) + " segments last") +
                " longer than the target duration " + seconds_text(target) +
                (over.size() == 1 ? std::string() : ": " + name_list(over)));
    add_listed(report, "malformed", unreachable, "not a file beside the playlist");
    if (!missing.empty() || !irregular.empty())
        report.missing_segment_checks = ++missing_segment_checks_;
    add_listed(report, "segment_missing", missing, "listed but missing");
    add_listed(report, "segment_missing", irregular, "not a regular file");
    add_listed(report, "segment_empty", empty, "empty");
    add_listed(report, "sync", no_sync, "not MPEG-TS (sync bytes missing)");
    add_listed(report, "pat_pmt", no_tables, "without a sound PAT and PMT before the media");
    add_listed(report, "key_frame", no_key_frame, "not starting on a video key frame");
    if (!with_errors.empty())
        add(report, "continuity", std::to_string(report.continuity_errors) + " continuity errors in " +
                                      name_list(with_errors));
    add_listed(report, "unread", unread,
               ("left unread (this check's read budget of " + std::to_string(max_check_read >> 20) + " MiB is spent)")
                   .c_str());
}

void OutputChecker::check_lag(const MediaPlaylist& playlist, double target, Report& report) {
    if (report.stale || playlist.segments.empty()) {
        lag_start_.reset();
        return;
    }
    bool restarted = false;
    for (const MediaSegment& segment : playlist.segments)
        restarted |= segment.sequence >= counted_through_ && segment.discontinuity;
    if (!lag_start_ || restarted) {
        // From here: media time listed from now on against the wall clock.
        lag_start_ = now_;
        media_gained_ = 0;
        counted_through_ = playlist.next_sequence();
        return;
    }
    for (const MediaSegment& segment : playlist.segments)
        if (segment.sequence >= counted_through_)
            media_gained_ += segment.duration;
    counted_through_ = std::max(counted_through_, playlist.next_sequence());
    double elapsed = now_ - *lag_start_;
    report.lag = elapsed - media_gained_;
    double limit = lag_targets * target;
    if (*report.lag > limit)
        add(report, "lag", "the encoder falls behind: " + seconds_text(media_gained_) + " of media in " +
                               seconds_text(elapsed));
    else if (*report.lag < -limit)
        add(report, "lag", "media arrives faster than real time: " + seconds_text(media_gained_) + " in " +
                               seconds_text(elapsed));
}

void OutputChecker::check_folder(const MediaPlaylist& playlist, Report& report) {
    int error = 0;
    if (!list_folder(folder_, max_folder_entries, entries_, error))
        return;  // the playlist was read from it: a race with its removal
    std::unordered_set<std::string> listed;
    for (const MediaSegment& segment : playlist.segments)
        listed.insert(file_name(segment.uri));
    for (const FolderEntry& entry : entries_) {
        if (!entry.regular || listed.contains(entry.name) || !is_stray(entry.name))
            continue;
        ++report.stray_count;
        if (report.stray_files.size() < names_in_text)
            report.stray_files.push_back(entry.name);
    }
    if (report.stray_count > 0) {
        std::vector<std::string> names = report.stray_files;
        std::string text = report.stray_count == 1 ? "a stray file in the segment folder: "
                                                   : std::to_string(report.stray_count) +
                                                         " stray files in the segment folder: ";
        for (std::size_t i = 0; i < names.size(); ++i)
            text += (i ? ", " : "") + quoted_excerpt(names[i]);
        if (report.stray_count > names.size())
            text += " and " + std::to_string(report.stray_count - names.size()) + " more";
        add(report, "stray_files", text);
    }
}

void OutputChecker::check_master(Report& report) {
    FileLookup read = read_file(master_, max_playlist_bytes + 1, buffer_);
    std::string_view text(reinterpret_cast<const char*>(buffer_.data()), buffer_.size());
    if (read.status == FileStatus::not_regular) {
        add(report, "variant_missing", "the master playlist " + master_ + " is not a regular file");
        return;
    }
    if (read.status != FileStatus::ok) {
        add(report, "variant_missing", "no master playlist at " + master_);
        return;
    }
    if (buffer_.size() > max_playlist_bytes || !is_playlist_text(text)) {
        add(report, "variant_missing", "the master playlist " + master_ + " is not a playlist");
        return;
    }
    std::filesystem::path base = std::filesystem::path(master_).parent_path();
    // Ours may be listed anywhere among any number of variants: only it is
    // kept (its first listing).
    bool found = false;
    auto ours = [&](std::string_view line) {
        if (found)
            return false;
        std::string_view uri = line.substr(0, line.find_first_of("?#"));
        if (uri.empty() || uri.find("://") != std::string_view::npos)
            return false;
        std::filesystem::path target = uri.front() == '/' ? std::filesystem::path(uri) : base / uri;
        found = normal(target) == playlist_;
        return found;
    };
    MasterPlaylist master = parse_master_playlist(text, ours);
    for (const Variant& variant : master.variants) {
        // Without BANDWIDTH (the packager's configuration) there is nothing
        // to hold the measured rate against: declared_bitrate says so.
        report.declared_bitrate = variant.bandwidth;
        if (variant.bandwidth && report.peak_segment_bitrate &&
                 static_cast<double>(*report.peak_segment_bitrate) > bandwidth_tolerance * static_cast<double>(*variant.bandwidth))
            add(report, "over_bandwidth", "a segment peaks at " + rate_text(static_cast<double>(*report.peak_segment_bitrate)) +
                                              ", over the declared BANDWIDTH " +
                                              rate_text(static_cast<double>(*variant.bandwidth)));
        return;
    }
    add(report, "variant_missing", "the master playlist lists no variant for this playlist");
}

}  // namespace avwatch::hls
