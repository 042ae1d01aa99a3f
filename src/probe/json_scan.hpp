// Where the first complete JSON value of a text ends.
//
// The prober's wrapper may append its own chatter after the JSON document on
// the same pipe, so the answer is the first value and nothing after it.  This
// only tracks structure (brackets outside strings, escapes); parsing stays
// with json.loads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace avwatch {

class JsonValueScanner {
public:
    // Feeds the next code units (bytes of an ASCII-compatible encoding, or a
    // str's code points); stops at the end of the first value.  Returns
    // complete().
    template <class Unit>
    bool feed(const Unit* units, std::size_t count) {
        for (std::size_t i = 0; i < count && state_ != State::done; ++i)
            step(static_cast<std::uint32_t>(units[i]));
        return complete();
    }

    bool complete() const noexcept { return state_ == State::done; }
    // How many units the first value spans, leading whitespace included
    // (meaningful once complete()).
    std::size_t end() const noexcept { return end_; }

private:
    enum class State { before, nested, nested_string, nested_escape, string, string_escape, scalar, done };

    void step(std::uint32_t unit) noexcept;
    void finish_at(std::size_t end) noexcept {
        end_ = end;
        state_ = State::done;
    }

    State state_ = State::before;
    std::size_t depth_ = 0;
    std::size_t offset_ = 0;  // of the unit being stepped
    std::size_t end_ = 0;
};

}  // namespace avwatch
