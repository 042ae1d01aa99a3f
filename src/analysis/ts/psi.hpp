// The program tables: PAT and PMT sections decoded into plain values.  The
// decoders check every length against the section they were given; a
// section that lies about its lengths yields nullopt.
#pragma once

#include "analysis/ts/sections.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace avwatch::ts {

inline constexpr std::uint8_t pat_table_id = 0x00;
inline constexpr std::uint8_t cat_table_id = 0x01;
inline constexpr std::uint8_t pmt_table_id = 0x02;

struct PatEntry {
    std::uint16_t program;  // 0 is the network PID, not a program
    std::uint16_t pmt_pid;
    bool operator==(const PatEntry&) const = default;
};

struct PatSection {
    std::uint16_t transport_stream_id;
    std::uint8_t version;
    std::vector<PatEntry> entries;
};

struct ElementaryStream {
    std::uint16_t pid;
    std::uint8_t stream_type;
    std::string_view codec;  // a static name: "h264", "aac", ...; "unknown" otherwise
    std::string_view kind;   // "video", "audio", "data"
    bool operator==(const ElementaryStream&) const = default;
};

struct PmtSection {
    std::uint16_t program;
    std::uint8_t version;
    std::uint16_t pcr_pid;
    std::vector<ElementaryStream> streams;
    bool operator==(const PmtSection&) const = default;
};

std::optional<PatSection> decode_pat(const Section& section);
std::optional<PmtSection> decode_pmt(const Section& section);

// The codec and kind a stream type stands for; for private data (0x06) the
// ES descriptors may name it (AC-3, E-AC-3, Opus, subtitles, teletext).
struct CodecName {
    std::string_view codec;
    std::string_view kind;
};
CodecName codec_of(std::uint8_t stream_type, const std::uint8_t* descriptors, std::size_t size) noexcept;

}  // namespace avwatch::ts
