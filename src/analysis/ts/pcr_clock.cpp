#include "analysis/ts/pcr_clock.hpp"

#include <algorithm>
#include <cmath>

namespace avwatch::ts {
namespace {

constexpr std::int64_t repetition_limit = 40 * pcr_ticks_per_ms;
constexpr std::int64_t step_limit = 100 * pcr_ticks_per_ms;
constexpr double accuracy_limit_ns = 500;
// Intervals in a row that must agree with the rate before the stream is
// taken for constant-rate and its PCRs' accuracy judged.
constexpr unsigned steady_intervals = 10;
constexpr double media_time_constant = 10.0;  // seconds

constexpr Nanos ticks_to_nanos(std::int64_t ticks) { return ticks / 27 * 1000 + ticks % 27 * 1000 / 27; }

}  // namespace

void PcrClock::forget_rate() noexcept {
    span_ticks_ = 0;
    span_packets_ = 0;
    steady_ = 0;
}

void PcrClock::restart() noexcept {
    has_last_ = false;
    forget_rate();
}

double PcrClock::packets_per_second() const noexcept {
    return media_seconds_ >= 1.0 ? media_packets_ / media_seconds_ : 0;
}

double PcrClock::ticks_per_packet() const noexcept {
    return span_packets_ > 0 ? static_cast<double>(span_ticks_) / static_cast<double>(span_packets_) : 0;
}

PcrFaults PcrClock::pcr(std::int64_t value, bool discontinuity, Nanos sent, bool placed, std::uint64_t index,
                        std::uint64_t disturbances) noexcept {
    PcrFaults faults;
    value = ((value % pcr_modulus) + pcr_modulus) % pcr_modulus;
    std::int64_t step = 0;
    bool regular = false;
    if (has_last_) {
        step = ((value - last_value_) % pcr_modulus + pcr_modulus) % pcr_modulus;
        regular = step <= step_limit;  // a step back wraps to a huge one
        faults.discontinuity = !discontinuity && !regular;
        std::uint64_t packets = index > last_index_ ? index - last_index_ : 0;
        double per_packet = ticks_per_packet();
        if (regular && !discontinuity)
            faults.repetition = step > repetition_limit;
        else if (per_packet > 0)
            faults.repetition = static_cast<double>(packets) * per_packet > static_cast<double>(repetition_limit);

        if (regular && !discontinuity) {
            double seconds = static_cast<double>(step) / 27e6;
            double fade = std::exp(-seconds / media_time_constant);
            media_seconds_ = media_seconds_ * fade + seconds;
            media_packets_ = media_packets_ * fade + static_cast<double>(packets);
        }
        bool clean = regular && !discontinuity && packets > 0 && disturbances == last_disturbances_;
        if (!clean) {
            forget_rate();
        } else {
            if (per_packet > 0) {
                double off = static_cast<double>(step) - static_cast<double>(packets) * per_packet;
                if (std::fabs(off) <= per_packet / 2) {
                    if (steady_ >= steady_intervals) {
                        double ns = std::fabs(off) * 1000.0 / 27.0;
                        worst_accuracy_ns_ = std::max(worst_accuracy_ns_.value_or(0.0), ns);
                        faults.accuracy = ns > accuracy_limit_ns;
                    }
                    steady_ = std::min(steady_ + 1, steady_intervals);
                } else {
                    forget_rate();  // the rate changed: measured again from this interval
                }
            }
            span_ticks_ += step;
            span_packets_ += packets;
        }
    }

    // The stream clock follows the PCR steps it can trust and the arrivals
    // across those it cannot (the first PCR after a restart included).
    if (has_last_ && regular && !discontinuity)
        clock_ticks_ += step;
    else if (sent_before_)
        clock_origin_ += sent - last_sent_;
    else
        clock_origin_ = sent;
    if (placed) {
        Nanos offset = sent - (clock_origin_ + ticks_to_nanos(clock_ticks_));
        jitter_low_ = jitter_samples_ ? std::min(jitter_low_, offset) : offset;
        jitter_high_ = jitter_samples_ ? std::max(jitter_high_, offset) : offset;
        jitter_samples_ += jitter_samples_ < 2 ? 1 : 0;
    }

    has_last_ = true;
    last_value_ = value;
    last_index_ = index;
    last_disturbances_ = disturbances;
    last_sent_ = sent;
    sent_before_ = true;
    return faults;
}

std::optional<Nanos> PcrClock::window_jitter() const noexcept {
    if (jitter_samples_ < 2)
        return std::nullopt;
    return jitter_high_ - jitter_low_;
}

void PcrClock::new_window() noexcept {
    jitter_samples_ = 0;
    worst_accuracy_ns_.reset();
}

}  // namespace avwatch::ts
