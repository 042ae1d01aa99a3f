#include "analysis/ts/dvb_text.hpp"

namespace avwatch::ts {
namespace {

constexpr char32_t replacement = 0xFFFD;

enum class Table { iso6937, latin1, latin9, ucs2, utf8, other };

// ISO 6937's non-spacing diacritics (0xC1-0xCF), which precede their letter:
// written after it as the combining mark, which renders the same.
constexpr char32_t diacritics[16] = {0,      0x0300, 0x0301, 0x0302, 0x0303, 0x0304, 0x0306, 0x0307,
                                     0x0308, 0,      0x030A, 0x0327, 0,      0x030B, 0x0328, 0x030C};

// ISO 6937's spacing characters in 0xA0-0xFF that have a sure counterpart;
// 0 where the table differs from Latin-1 in ways not worth the bytes.
char32_t iso6937_spacing(std::uint8_t byte) {
    switch (byte) {
    case 0xA0: return 0x00A0;
    case 0xA1: return 0x00A1;
    case 0xA2: return 0x00A2;
    case 0xA3: return 0x00A3;
    case 0xA5: return 0x00A5;
    case 0xA7: return 0x00A7;
    case 0xAB: return 0x00AB;
    case 0xB0: return 0x00B0;
    case 0xB1: return 0x00B1;
    case 0xB2: return 0x00B2;
    case 0xB3: return 0x00B3;
    case 0xB4: return 0x00D7;
    case 0xB5: return 0x00B5;
    case 0xB6: return 0x00B6;
    case 0xB7: return 0x00B7;
    case 0xB8: return 0x00F7;
    case 0xBB: return 0x00BB;
    case 0xBC: return 0x00BC;
    case 0xBD: return 0x00BD;
    case 0xBE: return 0x00BE;
    case 0xBF: return 0x00BF;
    case 0xE1: return 0x00C6;
    case 0xE2: return 0x00D0;
    case 0xE9: return 0x00D8;
    case 0xEC: return 0x00DE;
    case 0xF1: return 0x00E6;
    case 0xF3: return 0x00F0;
    case 0xF9: return 0x00F8;
    case 0xFB: return 0x00DF;
    case 0xFC: return 0x00FE;
    default: return 0;
    }
}

char32_t latin9(std::uint8_t byte) {
    switch (byte) {
    case 0xA4: return 0x20AC;
    case 0xA6: return 0x0160;
    case 0xA8: return 0x0161;
    case 0xB4: return 0x017D;
    case 0xB8: return 0x017E;
    case 0xBC: return 0x0152;
    case 0xBD: return 0x0153;
    case 0xBE: return 0x0178;
    default: return byte;
    }
}

class Writer {
public:
    // False once the limit is reached: a character never goes in by halves.
    bool put(char32_t c) {
        if (c == 0 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            c = replacement;
        char bytes[4];
        std::size_t n;
        if (c < 0x80) {
            bytes[0] = static_cast<char>(c);
            n = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<char>(0xC0 | (c >> 6));
            bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<char>(0xE0 | (c >> 12));
            bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
            n = 3;
        } else {
            bytes[0] = static_cast<char>(0xF0 | (c >> 18));
            bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
            n = 4;
        }
        if (text.size() + n > max_text_bytes)
            return false;
        text.append(bytes, n);
        return true;
    }
    // Control codes: the DVB line break reads as a space, emphasis marks and
    // the rest are dropped.
    static bool control(char32_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0); }

    std::string text;
};

// One UTF-8 sequence at `at`; advances past it, or past one byte when it is
// malformed (which reads as U+FFFD).
char32_t next_utf8(std::span<const std::uint8_t> s, std::size_t& at) {
    std::uint8_t lead = s[at++];
    if (lead < 0x80)
        return lead;
    std::size_t extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : 0;
    if (extra == 0 || lead > 0xF4 || at + extra > s.size())
        return replacement;
    char32_t c = lead & (0x3F >> extra);
    for (std::size_t i = 0; i < extra; ++i) {
        if ((s[at + i] & 0xC0) != 0x80)
            return replacement;
        c = (c << 6) | (s[at + i] & 0x3F);
    }
    constexpr char32_t least[4] = {0, 0x80, 0x800, 0x10000};
    if (c < least[extra])
        return replacement;  // overlong
    at += extra;
    return c;
}

}  // namespace

std::string dvb_text(std::span<const std::uint8_t> s) {
    Table table = Table::iso6937;
    std::size_t at = 0;
    if (!s.empty() && s[0] < 0x20) {
        std::uint8_t selector = s[0];
        at = 1;
        if (selector == 0x10) {  // ISO 8859 by number in the next two bytes
            at = 3;
            std::uint8_t part = s.size() >= 3 && s[1] == 0 ? s[2] : 0;
            table = part == 1 ? Table::latin1 : part == 15 ? Table::latin9 : Table::other;
        } else if (selector == 0x0B) {
            table = Table::latin9;
        } else if (selector == 0x11) {
            table = Table::ucs2;
        } else if (selector == 0x15) {
            table = Table::utf8;
        } else if (selector == 0x1F) {  // an encoding_type_id follows
            at = 2;
            table = Table::other;
        } else {
            table = Table::other;
        }
    }
    Writer out;
    while (at < s.size()) {
        char32_t c;
        switch (table) {
        case Table::utf8:
            c = next_utf8(s, at);
            break;
        case Table::ucs2:
            if (at + 2 > s.size())
                return out.text;
            c = static_cast<char32_t>((s[at] << 8) | s[at + 1]);
            at += 2;
            break;
        case Table::latin1:
            c = s[at++];
            break;
        case Table::latin9:
            c = latin9(s[at++]);
            break;
        case Table::other:
            c = s[at] < 0x80 ? s[at] : replacement;
            ++at;
            break;
        case Table::iso6937:
        default: {
            std::uint8_t byte = s[at++];
            if (byte < 0xA0) {
                c = byte;
            } else if (byte >= 0xC1 && byte <= 0xCF && diacritics[byte - 0xC0] != 0 && at < s.size() &&
                       s[at] >= 0x41 && s[at] <= 0x7A) {
                if (!out.put(s[at]) || !out.put(diacritics[byte - 0xC0]))
                    return out.text;
                ++at;
                continue;
            } else {
                c = iso6937_spacing(byte);
                if (c == 0)
                    c = replacement;
            }
            break;
        }
        }
        if ((table == Table::ucs2 || table == Table::utf8) && c >= 0xE080 && c <= 0xE09F)
            c -= 0xE000;  // the control codes, moved into the private use area
        if (Writer::control(c)) {
            if (c == 0x8A || c == 0x0A || c == 0x0D)
                c = ' ';
            else
                continue;
        }
        if (!out.put(c))
            break;
    }
    return out.text;
}

}  // namespace avwatch::ts
