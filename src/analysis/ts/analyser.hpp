// The transport-stream analyser of one input: datagrams in (each with its
// arrival time on the caller's monotonic clock), counters and one report per
// window out.  No sockets, no clocks, no Python: the receive layer, the
// binding, the fuzz target and the HLS segment analyser all drive it alike.
//
// Memory is bounded whatever arrives: per-PID state lives in a table of at
// most 8192 entries, the program list is capped, and section buffers are of
// fixed size (see sections.hpp).
//
// Timing indicators (PAT/PMT every 0.5 s, PID presence, PCR and PTS
// repetition) are judged at datagram arrivals, so a silent input raises
// none of them: silence is reported as the gap without data, and after a gap
// of more than 0.5 s their clocks restart at the first new datagram.
#pragma once

#include "analysis/ts/counters.hpp"
#include "analysis/ts/delay_factor.hpp"
#include "analysis/ts/packet.hpp"
#include "analysis/ts/psi.hpp"
#include "analysis/ts/rtp.hpp"
#include "analysis/ts/sections.hpp"

#include <array>
#include <deque>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace avwatch::ts {

struct Settings {
    // The one program whose PMT, PIDs and PCR are judged; nullopt: all of the PAT's.
    std::optional<std::uint16_t> program;
    // How long a video or audio PID listed in a judged PMT may stay absent.
    Nanos pid_timeout = millis(1000);
};

struct PidReport {
    std::uint16_t pid;
    std::uint64_t packets;         // so far
    std::uint64_t window_packets;  // in the window
    std::uint64_t bitrate;         // bits per second over the window
    std::uint64_t continuity_errors;
    std::string_view codec;  // from a PMT; empty for a PID no PMT lists
    std::string_view kind;   // "video", "audio", "data", "psi", "null" or empty
};

struct ProgramReport {
    std::uint16_t program;
    std::uint16_t pmt_pid;
    std::optional<std::uint16_t> pcr_pid;  // nullopt until its PMT arrived
    std::vector<ElementaryStream> streams;
};

struct Report {
    Nanos start = 0;
    Nanos end = 0;
    std::uint64_t bitrate = 0;  // bits per second of TS bytes received (RTP headers excluded)
    Counters total;
    Counters window;
    bool in_sync = false;
    bool pat_present = false;  // a PAT within the last 0.5 s of data
    bool pmt_present = false;  // every judged program's PMT within the last 0.5 s of data
    std::optional<std::uint16_t> transport_stream_id;
    std::optional<double> delay_factor_ms;  // RFC 4445 DF over the window
    double media_loss_rate = 0;             // TS packets lost per second over the window (RFC 4445 MLR)
    Nanos longest_gap = 0;                  // longest time without a datagram, so far
    Nanos window_longest_gap = 0;           // the same within the window (including up to its end)
    std::optional<Nanos> last_data;         // arrival of the newest datagram
    bool rtp = false;                       // the newest datagram was RTP
    std::vector<ProgramReport> programs;
    std::vector<PidReport> pids;
};

class Analyser {
public:
    explicit Analyser(Settings settings = {}, Nanos start = 0);

    // One UDP payload: raw TS, or RTP carrying TS (recognised per datagram).
    void datagram(std::span<const std::uint8_t> payload, Nanos arrival);
    // Datagrams the receiver itself lost (its fault, not the network's).
    void receive_drops(std::uint64_t dropped) noexcept { total_[Counter::receive_drops] += dropped; }
    // The datagram arriving at `at` follows some the receiver lost: it is not
    // compared with what came before (continuity, RTP sequence, PCR/PTS and
    // table clocks, sections in progress, the time without data).
    void receive_gap(Nanos at);
    // Closes the window that began at the previous close (or the start) and
    // begins the next one at `now`.
    Report close_window(Nanos now);

    const Counters& totals() const noexcept { return total_; }

private:
    struct PidState {
        std::uint64_t packets = 0;
        std::uint64_t window_packets = 0;
        std::uint64_t continuity_errors = 0;
        Nanos last_seen = 0;  // or when its absence was last counted
        Nanos last_pcr_arrival = 0;
        Nanos last_pts_arrival = 0;
        std::int64_t last_pcr = -1;
        std::int8_t last_cc = -1;
        bool duplicate = false;  // the previous packet repeated its predecessor
        bool has_pts = false;
        bool judged_stream = false;  // a video or audio PID of a judged PMT
        bool pcr_pid = false;        // carries a judged program's PCR
        bool seen = false;
    };
    struct Program {
        std::uint16_t number;
        std::uint16_t pmt_pid;
        std::unique_ptr<SectionAssembler> assembler;
        std::optional<PmtSection> pmt;
        Nanos pmt_last;
        bool pmt_missing = false;  // an error counted since the last PMT
    };

    void packets(std::span<const std::uint8_t> bytes, Nanos arrival);
    void packet(const Packet& packet, Nanos arrival);
    enum class Arrival { next, after_loss, repeat };
    // The continuity check of a packet against its PID's previous one.
    Arrival continuity(PidState& state, const Packet& packet);
    void timing(PidState& state, const Packet& packet, Nanos arrival);
    void pat_section(const Section& section, Nanos arrival);
    void pmt_section(std::uint16_t pid, const Section& section, Nanos arrival);
    void check_deadlines(Nanos arrival);
    void note_gap(Nanos arrival);
    void refresh_roles();
    bool judged(const Program& program) const noexcept;
    PidState& state(std::uint16_t pid);
    PidState* find(std::uint16_t pid) noexcept;
    Nanos since(Nanos at) const noexcept { return at > resumed_ ? at : resumed_; }

    Settings settings_;
    Counters total_;
    Counters window_start_counts_;
    Nanos window_start_;
    Nanos resumed_;
    std::optional<Nanos> last_arrival_;
    Nanos longest_gap_ = 0;
    Nanos window_longest_gap_ = 0;
    bool last_was_rtp_ = false;
    RtpSequence rtp_;
    DelayFactor delay_factor_;
    double previous_rate_ = 0;  // bytes per second of the previous window

    // Sync: lost after 2 bad sync bytes in a row, regained after 5 good ones.
    bool in_sync_ = false;
    unsigned good_run_ = 0;
    unsigned bad_run_ = 0;

    std::array<std::uint16_t, pid_count> slot_{};  // 0: no state; else index + 1
    std::deque<PidState> states_;  // a deque: references stay valid as it grows
    std::vector<std::uint16_t> judged_pids_;

    SectionAssembler pat_assembler_;
    std::optional<std::uint16_t> transport_stream_id_;
    Nanos pat_last_;
    bool pat_seen_ = false;
    bool pat_missing_ = true;
    std::vector<Program> programs_;
    // Judged program numbers from --program that the PAT does not list yet.
    Nanos program_missing_since_;
};

// The cap on programs taken from a PAT; the rest are counted malformed.
inline constexpr std::size_t max_programs = 64;

}  // namespace avwatch::ts
