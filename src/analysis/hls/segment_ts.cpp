#include "analysis/hls/segment_ts.hpp"

#include "analysis/ts/packet.hpp"
#include "analysis/ts/psi.hpp"
#include "analysis/ts/sections.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace avwatch::hls {

namespace {

constexpr std::uint16_t last_table_pid = 0x1F;  // PAT, CAT, SDT, ... never media
// The start of the first video PES kept for the key-frame test: past the
// AUD, parameter sets and encoder SEI to the first slice.
constexpr std::size_t key_frame_window = 16 * 1024;

enum class VideoKind { h264, hevc, other };

VideoKind video_kind(std::string_view codec) {
    if (codec == "h264")
        return VideoKind::h264;
    if (codec == "hevc")
        return VideoKind::hevc;
    return VideoKind::other;
}

// Judges a video access unit from the first bytes of its PES packet: the
// first slice (or random-access picture) decides.
std::optional<bool> starts_on_key_frame(const std::vector<std::uint8_t>& pes, VideoKind kind) {
    if (kind == VideoKind::other || pes.size() < 9 || pes[0] != 0 || pes[1] != 0 || pes[2] != 1)
        return std::nullopt;
    for (std::size_t i = 9 + pes[8]; i + 3 < pes.size(); ++i) {
        if (pes[i] != 0 || pes[i + 1] != 0 || pes[i + 2] != 1)
            continue;
        std::uint8_t header = pes[i + 3];
        if (kind == VideoKind::h264) {
            int type = header & 0x1F;
            if (type == 5)
                return true;
            if (type == 1)
                return false;
        } else {
            int type = (header >> 1) & 0x3F;
            if (type >= 16 && type <= 21)
                return true;
            if (type <= 9)
                return false;
        }
        i += 2;
    }
    return std::nullopt;
}

bool random_access(const ts::Packet& packet, const std::uint8_t* bytes) {
    return packet.adaptation_length() > 0 && (bytes[5] & 0x40) != 0;
}

}  // namespace

// The opening of a segment: the tables a decoder needs before the media,
// and the first video access unit.  Done once both are judged.
struct TsSegmentReader::Opening {
public:
    explicit Opening(TsFacts& facts) : facts_(facts) {}

    std::uint16_t pmt_pid() const { return pmt_pid_.value_or(ts::pat_pid); }

    // A packet of the PAT or of the PMT it names: assembled throughout the
    // segment, so that every table failing its CRC counts.
    bool table(const ts::Packet& packet) {
        std::uint16_t pid = packet.pid();
        if (pid == ts::pat_pid)
            pat_.push(packet, false, [&](const ts::Section& section) { on_pat(section); });
        else if (pmt_pid_ && pid == *pmt_pid_)
            pmt_.push(packet, false, [&](const ts::Section& section) { on_pmt(section); });
        else
            return false;
        return true;
    }

    // Any other packet, until the opening is judged: false from then on.
    bool media(const ts::Packet& packet, const std::uint8_t* bytes) {
        std::uint16_t pid = packet.pid();
        if (pid == ts::null_pid || pid <= last_table_pid)
            return true;
        if (!media_seen_) {
            media_seen_ = true;
            facts_.pat_before_media = pat_seen_;
            facts_.pmt_before_media = pmt_seen_;
            if (!pmt_seen_)
                return false;  // the video PID is unknown: nothing to judge
        }
        if (video_pid_ && pid == *video_pid_)
            return video(packet, bytes);
        return true;
    }

    void finish() {
        if (!media_seen_) {
            facts_.pat_before_media = pat_seen_;
            facts_.pmt_before_media = pmt_seen_;
        }
        if (collecting_ && !facts_.video_starts_on_key_frame)
            facts_.video_starts_on_key_frame = starts_on_key_frame(first_unit_, kind_);
    }

private:
    void on_pat(const ts::Section& section) {
        if (section.table_id() != ts::pat_table_id)
            return;
        if (!section.crc_ok) {
            ++facts_.table_crc_errors;
            return;
        }
        if (pat_seen_)
            return;
        auto pat = ts::decode_pat(section);
        if (!pat)
            return;
        for (const ts::PatEntry& entry : pat->entries)
            if (entry.program != 0) {  // the segment's first program is the one played
                pmt_pid_ = entry.pmt_pid;
                pat_seen_ = true;
                return;
            }
    }

    void on_pmt(const ts::Section& section) {
        if (section.table_id() != ts::pmt_table_id)
            return;
        if (!section.crc_ok) {
            ++facts_.table_crc_errors;
            return;
        }
        if (pmt_seen_)
            return;
        auto pmt = ts::decode_pmt(section);
        if (!pmt)
            return;
        pmt_seen_ = true;
        for (const ts::ElementaryStream& stream : pmt->streams)
            if (stream.kind == "video") {
                video_pid_ = stream.pid;
                kind_ = video_kind(stream.codec);
                facts_.has_video = true;
                return;
            }
    }

    bool video(const ts::Packet& packet, const std::uint8_t* bytes) {
        bool first = !video_seen_;
        video_seen_ = true;
        if (packet.payload_start()) {
            if (collecting_) {  // the next access unit: the first is whole
                facts_.video_starts_on_key_frame = starts_on_key_frame(first_unit_, kind_);
                return false;
            }
            if (random_access(packet, bytes)) {
                facts_.video_starts_on_key_frame = true;
                return false;
            }
            collecting_ = true;
        } else if (first) {  // cut inside an access unit
            facts_.video_starts_on_key_frame = false;
            return false;
        }
        std::size_t take = std::min(key_frame_window - first_unit_.size(), packet.payload_size());
        first_unit_.insert(first_unit_.end(), packet.payload(), packet.payload() + take);
        if (first_unit_.size() < key_frame_window)
            return true;
        facts_.video_starts_on_key_frame = starts_on_key_frame(first_unit_, kind_);
        collecting_ = false;
        return false;
    }

    TsFacts& facts_;
    ts::SectionAssembler pat_;
    ts::SectionAssembler pmt_;
    std::optional<std::uint16_t> pmt_pid_;
    std::optional<std::uint16_t> video_pid_;
    VideoKind kind_ = VideoKind::other;
    bool pat_seen_ = false;
    bool pmt_seen_ = false;
    bool media_seen_ = false;
    bool video_seen_ = false;
    bool collecting_ = false;
    std::vector<std::uint8_t> first_unit_;
};

// Defined before its callers in this file, which inline it.
inline void TsSegmentReader::after_opening(const ts::Packet& packet) {
    std::uint16_t pid = packet.pid();
    if (!usual_continuity(packet, pid))
        continuity(packet);
    if (pid == ts::pat_pid || pid == table_pid_)
        opening_->table(packet);
}

TsSegmentReader::TsSegmentReader() : opening_(std::make_unique<Opening>(facts_)) { last_cc_.fill(-1); }

TsSegmentReader::~TsSegmentReader() = default;

void TsSegmentReader::feed(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    if (first_byte_) {
        facts_.starts_with_sync = bytes[0] == ts_sync_byte;
        first_byte_ = false;
    }
    if (partial_size_ > 0) {  // complete the packet split by the last piece
        std::size_t take = std::min(ts_packet_size - partial_size_, bytes.size());
        std::copy_n(bytes.begin(), take, partial_.begin() + static_cast<std::ptrdiff_t>(partial_size_));
        partial_size_ += take;
        bytes = bytes.subspan(take);
        if (partial_size_ < ts_packet_size)
            return;
        ++facts_.packets;
        packet(partial_.data());
        partial_size_ = 0;
    }
    std::size_t whole = bytes.size() / ts_packet_size;
    facts_.packets += whole;
    const std::uint8_t* at = bytes.data();
    const std::uint8_t* end = at + whole * ts_packet_size;
    for (; at != end && !opening_done_; at += ts_packet_size)
        packet(at);
    // The bulk of a segment, once its opening is judged: continuity and the
    // tables only, every step inline.
    for (; at != end; at += ts_packet_size) {
        if (at[0] != ts_sync_byte || !facts_.starts_with_sync) {
            packet(at);
            continue;
        }
        after_opening(ts::Packet(at));
    }
    auto rest = bytes.subspan(whole * ts_packet_size);
    std::copy(rest.begin(), rest.end(), partial_.begin());
    partial_size_ = rest.size();
}

void TsSegmentReader::packet(const std::uint8_t* bytes) {
    if (bytes[0] != ts_sync_byte) {
        ++facts_.sync_errors;
        return;
    }
    // Not TS from its first byte on: only the sync bytes are worth counting.
    if (!facts_.starts_with_sync)
        return;
    ts::Packet packet(bytes);
    if (opening_done_) {
        after_opening(packet);
        return;
    }
    continuity(packet);
    if (!opening_->table(packet))
        opening_done_ = !opening_->media(packet, bytes);
    table_pid_ = opening_->pmt_pid();
}

void TsSegmentReader::continuity(const ts::Packet& packet) {
    std::uint16_t pid = packet.pid();
    if (usual_continuity(packet, pid))
        return;
    std::int16_t& last = last_cc_[pid];
    std::uint8_t cc = packet.continuity();
    bool& repeated = repeated_[pid];
    if (last < 0 || packet.discontinuity()) {
        last = cc;
        repeated = false;
    } else if (cc == last) {
        // One repetition of a packet is allowed; a second is an error.
        facts_.continuity_errors += repeated ? 1 : 0;
        repeated = true;
    } else {
        ++facts_.continuity_errors;
        last = cc;
        repeated = false;
    }
}

TsFacts TsSegmentReader::finish() {
    facts_.trailing_bytes = partial_size_;
    opening_->finish();
    return facts_;
}

TsFacts read_ts_segment(std::span<const std::uint8_t> bytes) {
    TsSegmentReader reader;
    reader.feed(bytes);
    return reader.finish();
}

}  // namespace avwatch::hls
