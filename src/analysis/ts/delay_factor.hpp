// RFC 4445's delay factor over one window: a virtual buffer filled by each
// datagram's bytes at its arrival and drained at the media rate; the factor
// is the buffer's swing divided by that rate, i.e. how long a receiver must
// buffer to absorb the jitter.
//
// The media rate is a long-run one.  The stream's own, from its PCRs (the
// packets received per second of its clock), when the owner has it;
// otherwise the bytes received over the time spent receiving, both fading
// with a 10 s time constant, so that one bursty second does not set the
// next one's drain.  A silence (more than 0.5 s without data, reported as a
// gap) is left out of that time, so it does not drag the rate down, and the
// buffer starts again at the first datagram after it: the window's factor
// is the largest swing of its runs.  Until a rate is known, there is no
// factor.
#pragma once

#include "analysis/ts/packet.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

namespace avwatch::ts {

class DelayFactor {
public:
    // `resumed`: the first datagram after a silence (or the first of all).
    void arrival(Nanos at, std::size_t bytes, bool resumed) noexcept {
        double rate = bytes_per_second();
        if (last_ && !resumed) {
            Nanos interval = std::max<Nanos>(at - *last_, 0);
            double seconds = static_cast<double>(interval) / nanos_per_second;
            // The burst that opens a run came after no measured time: counting
            // its bytes would set the rate high for many seconds.
            opening_ = opening_ && interval < opening_burst;
            if (!opening_) {
                double fade = std::exp(-seconds / time_constant);
                weighted_bytes_ = weighted_bytes_ * fade + static_cast<double>(bytes);
                weighted_seconds_ = weighted_seconds_ * fade + seconds;
            }
            level_ -= rate * seconds;
        } else {
            // Its bytes belong to no measured interval: they start the next run.
            end_run();
            level_ = 0;
            opening_ = true;
        }
        last_ = at;
        if (rate > 0) {
            low_ = seen_ ? std::min(low_, level_) : level_;
            high_ = seen_ ? std::max(high_, level_ + static_cast<double>(bytes)) : level_ + static_cast<double>(bytes);
            seen_ = true;
        }
        level_ += static_cast<double>(bytes);
    }
    // The next window's swing starts from the buffer as it is.
    void new_window() noexcept {
        seen_ = false;
        worst_ = 0;
        level_ = 0;
    }
    // Milliseconds; nullopt without a rate or an arrival in the window.
    std::optional<double> milliseconds() const noexcept {
        double rate = bytes_per_second();
        double swing = std::max(worst_, seen_ ? high_ - low_ : 0.0);
        if (rate <= 0 || (!seen_ && worst_ <= 0))
            return std::nullopt;
        return swing / rate * 1000.0;
    }
    // The rate the stream's clock measured at `at`; it stands for a second.
    void media_rate(Nanos at, double bytes_per_second) noexcept {
        media_rate_ = bytes_per_second;
        media_rate_at_ = at;
    }
    // The long-run rate; 0 until known.
    double bytes_per_second() const noexcept {
        if (media_rate_ > 0 && last_ && *last_ - media_rate_at_ <= nanos_per_second)
            return media_rate_;
        return weighted_seconds_ >= minimum_seconds ? weighted_bytes_ / weighted_seconds_ : 0;
    }

private:
    static constexpr double time_constant = 10.0;   // seconds
    static constexpr double minimum_seconds = 1.0;  // of receiving, before the rate is trusted
    static constexpr Nanos opening_burst = millis(1);  // datagrams closer than this are one burst

    void end_run() noexcept {
        if (seen_)
            worst_ = std::max(worst_, high_ - low_);
        seen_ = false;
    }

    std::optional<Nanos> last_;
    double media_rate_ = 0;
    Nanos media_rate_at_ = 0;
    double weighted_bytes_ = 0;
    double weighted_seconds_ = 0;
    double level_ = 0;  // bytes in the virtual buffer, relative to the window's start
    double low_ = 0;
    double high_ = 0;
    bool seen_ = false;
    bool opening_ = true;  // still in the burst that opened the run
    double worst_ = 0;  // the largest swing of the window's earlier runs
};

}  // namespace avwatch::ts
