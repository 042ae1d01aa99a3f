// When the analyser's per-PID clocks fall due: a min-heap of (due, PID), so
// that a datagram costs the same whether 2 or 8192 PIDs are watched.  An
// entry may be early (its PID was seen since): the owner checks the PID's
// real deadline when it comes out and puts it back if it moved.  The owner
// keeps at most one entry per PID (the heap holds at most 8192).
#pragma once

#include "analysis/ts/packet.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace avwatch::ts {

class Deadlines {
public:
    void add(Nanos due, std::uint16_t pid) {
        heap_.push_back({due, pid});
        std::push_heap(heap_.begin(), heap_.end(), later);
    }
    // The PID of the earliest entry due before `now`, taken out; nullopt if none is.
    std::optional<std::uint16_t> take_due(Nanos now) {
        if (heap_.empty() || heap_.front().due >= now)
            return std::nullopt;
        std::pop_heap(heap_.begin(), heap_.end(), later);
        std::uint16_t pid = heap_.back().pid;
        heap_.pop_back();
        return pid;
    }

private:
    struct Entry {
        Nanos due;
        std::uint16_t pid;
    };
    static bool later(const Entry& a, const Entry& b) noexcept { return a.due > b.due; }

    std::vector<Entry> heap_;
};

}  // namespace avwatch::ts
