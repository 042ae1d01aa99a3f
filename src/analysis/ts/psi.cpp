#include "analysis/ts/psi.hpp"

#include <cstring>

namespace avwatch::ts {
namespace {

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint16_t u13(const std::uint8_t* p) { return static_cast<std::uint16_t>(((p[0] & 0x1F) << 8) | p[1]); }
std::uint16_t u12(const std::uint8_t* p) { return static_cast<std::uint16_t>(((p[0] & 0x0F) << 8) | p[1]); }

// The body between the 8-byte long-form header and the CRC, or nullopt.
std::optional<std::span<const std::uint8_t>> long_form_body(const Section& section, std::uint8_t table_id) {
    auto bytes = section.bytes;
    if (!section.crc_ok || bytes.size() < 12 || bytes[0] != table_id || (bytes[1] & 0x80) == 0)
        return std::nullopt;
    if ((bytes[5] & 0x01) == 0)  // current_next_indicator: a table announced for later
        return std::nullopt;
    return bytes.subspan(8, bytes.size() - 12);
}

struct KnownType {
    std::uint8_t type;
    CodecName name;
};

constexpr KnownType known_types[] = {
    {0x01, {"mpeg1video", "video"}}, {0x02, {"mpeg2video", "video"}}, {0x03, {"mp2", "audio"}},
    {0x04, {"mp2", "audio"}},        {0x0F, {"aac", "audio"}},        {0x10, {"mpeg4", "video"}},
    {0x11, {"aac_latm", "audio"}},   {0x15, {"timed_id3", "data"}},   {0x1B, {"h264", "video"}},
    {0x20, {"h264", "video"}},       {0x24, {"hevc", "video"}},       {0x33, {"vvc", "video"}},
    {0x42, {"cavs", "video"}},       {0x81, {"ac3", "audio"}},        {0x82, {"dts", "audio"}},
    {0x83, {"truehd", "audio"}},     {0x84, {"eac3", "audio"}},       {0x86, {"scte_35", "data"}},
    {0x87, {"eac3", "audio"}},       {0xD1, {"dirac", "video"}},      {0xEA, {"vc1", "video"}},
};

}  // namespace

CodecName codec_of(std::uint8_t stream_type, const std::uint8_t* descriptors, std::size_t size) noexcept {
    for (const KnownType& known : known_types)
        if (known.type == stream_type)
            return known.name;
    if (stream_type == 0x06) {
        for (std::size_t at = 0; at + 2 <= size;) {
            std::uint8_t tag = descriptors[at];
            std::size_t length = descriptors[at + 1];
            if (at + 2 + length > size)
                break;
            const std::uint8_t* body = descriptors + at + 2;
            switch (tag) {
            case 0x6A: return {"ac3", "audio"};
            case 0x7A: return {"eac3", "audio"};
            case 0x7B: return {"dts", "audio"};
            case 0x56: return {"dvb_teletext", "data"};
            case 0x59: return {"dvb_subtitle", "data"};
            case 0x05:  // registration: a four-letter format identifier
                if (length >= 4 && std::memcmp(body, "Opus", 4) == 0)
                    return {"opus", "audio"};
                if (length >= 4 && std::memcmp(body, "AC-3", 4) == 0)
                    return {"ac3", "audio"};
                if (length >= 4 && std::memcmp(body, "EAC3", 4) == 0)
                    return {"eac3", "audio"};
                break;
            }
            at += 2 + length;
        }
        return {"private", "data"};
    }
    return {"unknown", "data"};
}

std::optional<PatSection> decode_pat(const Section& section) {
    auto body = long_form_body(section, pat_table_id);
    if (!body || body->size() % 4 != 0)
        return std::nullopt;
    PatSection pat{u16(&section.bytes[3]), static_cast<std::uint8_t>((section.bytes[5] >> 1) & 0x1F), {}};
    pat.entries.reserve(body->size() / 4);
    for (std::size_t at = 0; at < body->size(); at += 4)
        pat.entries.push_back({u16(&(*body)[at]), u13(&(*body)[at + 2])});
    return pat;
}

std::optional<PmtSection> decode_pmt(const Section& section) {
    auto found = long_form_body(section, pmt_table_id);
    if (!found || found->size() < 4)
        return std::nullopt;
    auto body = *found;
    PmtSection pmt{u16(&section.bytes[3]), static_cast<std::uint8_t>((section.bytes[5] >> 1) & 0x1F),
                   u13(&body[0]), {}};
    std::size_t program_info = u12(&body[2]);
    std::size_t at = 4 + program_info;
    if (at > body.size())
        return std::nullopt;
    while (at < body.size()) {
        if (at + 5 > body.size())
            return std::nullopt;
        std::uint8_t type = body[at];
        std::uint16_t pid = u13(&body[at + 1]);
        std::size_t info = u12(&body[at + 3]);
        if (at + 5 + info > body.size())
            return std::nullopt;
        CodecName name = codec_of(type, &body[at + 5], info);
        pmt.streams.push_back({pid, type, name.codec, name.kind});
        at += 5 + info;
    }
    return pmt;
}

}  // namespace avwatch::ts
