// The analyser's counters: TR 101 290 indicators of the first and second
// priority, what made the input unreadable, and delivery.  One array indexed
// by an enum, so that the totals, a window's share and their names stay in
// step wherever they are listed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace avwatch::ts {

enum class Counter : std::size_t {
    // first priority
    sync_losses,
    sync_byte_errors,
    pat_errors,
    continuity_errors,
    pmt_errors,
    pid_errors,
    // second priority
    transport_errors,
    crc_errors,
    pcr_repetition_errors,
    pcr_discontinuity_errors,
    pts_errors,
    cat_errors,
    // input that is not a clean transport stream
    non_ts_datagrams,
    truncated_packets,
    malformed_sections,
    pmt_changes,
    // delivery
    datagrams,
    bytes,
    packets,
    lost_packets,     // TS packets missing by the continuity counters, once no late arrival can fill the hole
    rtp_lost,         // RTP sequence numbers never received
    rtp_out_of_order, // RTP packets behind the newest sequence number (reordered or duplicated)
    reordered_packets,  // TS packets that came after a later one of their PID, at a counter a jump skipped
    scrambled_packets,  // TS packets with transport_scrambling_control set
    pcr_accuracy_errors,  // second priority: a constant-rate stream's PCR off by more than 500 ns
    receive_drops,    // datagrams the receiver itself lost (its buffer overflowed): not the network's
    count_,
};

inline constexpr std::size_t counter_count = static_cast<std::size_t>(Counter::count_);

inline constexpr std::array<const char*, counter_count> counter_names = {
    "sync_losses", "sync_byte_errors", "pat_errors", "continuity_errors", "pmt_errors", "pid_errors",
    "transport_errors", "crc_errors", "pcr_repetition_errors", "pcr_discontinuity_errors", "pts_errors",
    "cat_errors",
    "non_ts_datagrams", "truncated_packets", "malformed_sections", "pmt_changes",
    "datagrams", "bytes", "packets", "lost_packets", "rtp_lost", "rtp_out_of_order",
    "reordered_packets", "scrambled_packets",
    "pcr_accuracy_errors",
    "receive_drops",
};

struct Counters {
    std::array<std::uint64_t, counter_count> values{};

    std::uint64_t& operator[](Counter c) noexcept { return values[static_cast<std::size_t>(c)]; }
    std::uint64_t operator[](Counter c) const noexcept { return values[static_cast<std::size_t>(c)]; }
    Counters operator-(const Counters& earlier) const noexcept {
        Counters difference;
        for (std::size_t i = 0; i < counter_count; ++i)
            difference.values[i] = values[i] - earlier.values[i];
        return difference;
    }
};

}  // namespace avwatch::ts
