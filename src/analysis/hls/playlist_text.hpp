// The line and number grammar shared by media and master playlists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace avwatch::hls {

// Playlists larger than this are refused unread: a real one is a few KiB.
inline constexpr std::size_t max_playlist_bytes = 4 << 20;
// At most this many parse errors are kept by name; the rest are counted.
inline constexpr std::size_t max_kept_errors = 8;

// Valid UTF-8 without NUL or other C0 controls than tab, CR and LF, as a
// playlist must be: anything else is binary and is not parsed.
bool is_playlist_text(std::string_view bytes);

// Calls `line` for each line, without its CR LF or LF ending.
template <class Visit>
void for_each_line(std::string_view text, Visit&& line) {
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view current = text.substr(0, end);
        if (!current.empty() && current.back() == '\r')
            current.remove_suffix(1);
        line(current);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
}

// a + b, held at the int64 limits instead of wrapping.
inline std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b < 0 ? INT64_MIN : INT64_MAX;
    return sum;
}

// decimal-integer: digits only, fitting in 63 bits.
std::optional<std::int64_t> decimal_integer(std::string_view text);
// decimal-floating-point: digits with an optional fraction, finite.
std::optional<double> decimal_float(std::string_view text);

// The value of `name` in an attribute list (NAME=VALUE,... with quoted
// strings that may hold commas); quotes are kept.  Nothing when absent.
std::optional<std::string_view> attribute(std::string_view list, std::string_view name);

// Parse errors, the first few by text and all by count.
class ErrorList {
public:
    void add(std::string text);
    const std::vector<std::string>& kept() const { return kept_; }
    std::size_t count() const { return count_; }

private:
    std::vector<std::string> kept_;
    std::size_t count_ = 0;
};

// A short printable rendering of untrusted text for a message.
std::string quoted_excerpt(std::string_view text);

}  // namespace avwatch::hls
