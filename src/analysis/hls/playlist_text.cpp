#include "analysis/hls/playlist_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace avwatch::hls {

bool is_playlist_text(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\r' && c != '\n')
                return false;
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t code;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

std::optional<std::int64_t> decimal_integer(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> decimal_float(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::string_view> attribute(std::string_view list, std::string_view name) {
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size()) {
            if (list[i] == '"')
                quoted = !quoted;
            if (list[i] != ',' || quoted)
                continue;
        }
        std::string_view piece = list.substr(start, i - start);
        std::size_t equals = piece.find('=');
        if (equals != std::string_view::npos && piece.substr(0, equals) == name)
            return piece.substr(equals + 1);
        start = i + 1;
    }
    return std::nullopt;
}

void ErrorList::add(std::string text) {
    ++count_;
    if (kept_.size() < max_kept_errors)
        kept_.push_back(std::move(text));
}

std::string quoted_excerpt(std::string_view text) {
    constexpr std::size_t longest = 40;
    std::string out = "\"";
    std::size_t cut = std::min(text.size(), longest);
    // Never inside a UTF-8 sequence: back off over continuation bytes.
    while (cut < text.size() && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    for (std::size_t i = 0; i < cut; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    if (cut < text.size())
        out += "...";
    out += '"';
    return out;
}

}  // namespace avwatch::hls
