// RFC 4445's delay factor over one window: a virtual buffer filled by each
// datagram's bytes at its arrival and drained at the media rate; the factor
// is the buffer's swing divided by that rate, i.e. how long a receiver must
// buffer to absorb the jitter.  The rate is the previous window's measured
// one, so the first window has none.
#pragma once

#include "analysis/ts/packet.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace avwatch::ts {

class DelayFactor {
public:
    void start(Nanos at, double bytes_per_second) noexcept {
        start_ = at;
        rate_ = bytes_per_second;
        received_ = 0;
        low_ = high_ = 0;
        seen_ = false;
    }
    void arrival(Nanos at, std::size_t bytes) noexcept {
        if (rate_ <= 0)
            return;
        double before = received_ - rate_ * static_cast<double>(at - start_) / nanos_per_second;
        double after = before + static_cast<double>(bytes);
        low_ = seen_ ? std::min(low_, before) : before;
        high_ = seen_ ? std::max(high_, after) : after;
        seen_ = true;
        received_ += static_cast<double>(bytes);
    }
    // Milliseconds; nullopt without a rate or an arrival.
    std::optional<double> milliseconds() const noexcept {
        if (rate_ <= 0 || !seen_)
            return std::nullopt;
        return (high_ - low_) / rate_ * 1000.0;
    }

private:
    Nanos start_ = 0;
    double rate_ = 0;
    double received_ = 0;
    double low_ = 0;
    double high_ = 0;
    bool seen_ = false;
};

}  // namespace avwatch::ts
