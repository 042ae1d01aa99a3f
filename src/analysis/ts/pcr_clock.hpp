// One PID's program clock references, judged on the stream's own clock
// rather than on arrival, so that the network's jitter is not taken for the
// encoder's faults and is measured apart:
//
//  - repetition (TR 101 290 2.3): the interval between consecutive PCRs, from
//    their values; where the values cannot tell it (a discontinuity), from
//    the packets between them at the rate the PCRs measured;
//  - discontinuity (2.3): a step of more than 100 ms, or backwards, without
//    the discontinuity indicator;
//  - accuracy (2.4, constant-rate streams): each PCR against the one the
//    packets since the previous PCR predict at that rate.  A stream counts
//    as constant-rate once ten intervals in a row agreed with the rate to
//    within half a packet; an interval that does not is a rate change
//    (variable rate, packets lost or stripped), not an accuracy fault;
//  - arrival jitter: the spread over a window of arrival minus PCR time.
#pragma once

#include "analysis/ts/packet.hpp"

#include <cstdint>
#include <optional>

namespace avwatch::ts {

// 27 MHz ticks.
inline constexpr std::int64_t pcr_ticks_per_ms = 27'000;
// PCR values wrap at 2^33 * 300 ticks.
inline constexpr std::int64_t pcr_modulus = (std::int64_t{1} << 33) * 300;

struct PcrFaults {
    bool repetition = false;
    bool discontinuity = false;
    bool accuracy = false;
};

class PcrClock {
public:
    // A PCR `value` with its discontinuity indicator, carried by the
    // `index`th packet received; `sent` is when that packet left as far as
    // the arrivals tell (`placed`: false when no rate could take the
    // datagram's arrival back to it, and it is no jitter sample);
    // `disturbances` counts what leaves packets out of the index (losses,
    // broken datagrams): any change voids the byte count.
    PcrFaults pcr(std::int64_t value, bool discontinuity, Nanos sent, bool placed, std::uint64_t index,
                  std::uint64_t disturbances) noexcept;
    // After a silence: the next PCR is compared with none before it.
    void restart() noexcept;
    // 27 MHz ticks per packet at the rate measured from the PCRs; 0 unknown.
    double ticks_per_packet() const noexcept;
    // Packets received per second of the stream's clock over the long run
    // (its recent ten seconds weigh most); 0 before a second of it.  Unlike
    // a count over arrival time it holds whatever way the packets came.
    double packets_per_second() const noexcept;

    // Over the window: the spread of arrival minus PCR time (nullopt
    // without two PCRs), and the worst inaccuracy of a constant-rate stream.
    std::optional<Nanos> window_jitter() const noexcept;
    std::optional<double> window_accuracy_ns() const noexcept { return worst_accuracy_ns_; }
    void new_window() noexcept;

private:
    void forget_rate() noexcept;

    bool has_last_ = false;
    std::int64_t last_value_ = 0;
    std::uint64_t last_index_ = 0;
    std::uint64_t last_disturbances_ = 0;
    Nanos last_sent_ = 0;
    bool sent_before_ = false;

    // The stream's clock in ns: the PCR steps summed, carried across a
    // discontinuity by the arrivals, so that arrival minus it stays comparable.
    Nanos clock_origin_ = 0;
    std::int64_t clock_ticks_ = 0;

    // The rate: ticks and packets of the clean intervals since it was last lost.
    std::int64_t span_ticks_ = 0;
    std::uint64_t span_packets_ = 0;
    unsigned steady_ = 0;  // intervals in a row agreeing with it
    // Every interval on the stream's clock, losses or not, fading.
    double media_seconds_ = 0;
    double media_packets_ = 0;

    Nanos jitter_low_ = 0;
    Nanos jitter_high_ = 0;
    unsigned jitter_samples_ = 0;
    std::optional<double> worst_accuracy_ns_;
};

}  // namespace avwatch::ts
