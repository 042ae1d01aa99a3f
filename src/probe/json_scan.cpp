#include "probe/json_scan.hpp"

namespace avwatch {
namespace {

bool is_json_space(std::uint32_t unit) { return unit == ' ' || unit == '\t' || unit == '\n' || unit == '\r'; }

}  // namespace

void JsonValueScanner::step(std::uint32_t unit) noexcept {
    std::size_t here = offset_++;
    switch (state_) {
    case State::before:
        if (is_json_space(unit))
            break;
        if (unit == '{' || unit == '[') {
            depth_ = 1;
            state_ = State::nested;
        } else if (unit == '"') {
            state_ = State::string;
        } else {
            state_ = State::scalar;
        }
        break;
    case State::nested:
        if (unit == '"')
            state_ = State::nested_string;
        else if (unit == '{' || unit == '[')
            ++depth_;
        else if ((unit == '}' || unit == ']') && --depth_ == 0)
            finish_at(here + 1);
        break;
    case State::nested_string:
        if (unit == '\\')
            state_ = State::nested_escape;
        else if (unit == '"')
            state_ = State::nested;
        break;
    case State::nested_escape:
        state_ = State::nested_string;
        break;
    case State::string:
        if (unit == '\\')
            state_ = State::string_escape;
        else if (unit == '"')
            finish_at(here + 1);
        break;
    case State::string_escape:
        state_ = State::string;
        break;
    case State::scalar:
        // A number or a literal has no closing mark: only what follows it
        // shows that it is whole.
        if (is_json_space(unit))
            finish_at(here);
        break;
    case State::done:
        break;
    }
}

}  // namespace avwatch
