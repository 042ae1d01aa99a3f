// The transport-stream analyser of one input: datagrams in (each with its
// arrival time on the caller's monotonic clock), counters and one report per
// window out.  No sockets, no clocks, no Python: the receive layer, the
// binding, the fuzz target and the HLS segment analyser all drive it alike.
//
// Memory is bounded whatever arrives: per-PID state lives in a table of at
// most 8192 entries, the program list is capped, and section buffers are of
// fixed size (see sections.hpp).
//
// Timing indicators (PAT/PMT every 0.5 s, PID presence, PTS repetition) are
// judged at datagram arrivals, so a silent input raises none of them:
// silence is reported as the gap without data, and after a gap of more than
// 0.5 s their clocks restart at the first new datagram.  PCRs are judged on
// the stream's own clock (pcr_clock.hpp); after such a gap the first PCR is
// compared with none.
//
// The work per datagram does not grow with what the input built: PID
// deadlines wait in a heap, roles change per program, and a window's report
// lists a bounded number of PIDs and streams.
#pragma once

#include "analysis/content/content_analyser.hpp"
#include "analysis/ts/counters.hpp"
#include "analysis/ts/deadlines.hpp"
#include "analysis/ts/delay_factor.hpp"
#include "analysis/ts/packet.hpp"
#include "analysis/ts/pcr_clock.hpp"
#include "analysis/ts/psi.hpp"
#include "analysis/ts/rtp.hpp"
#include "analysis/ts/sdt.hpp"
#include "analysis/ts/sections.hpp"

#include <array>
#include <deque>
#include <limits>
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
    std::uint64_t scrambled = 0;  // packets with transport_scrambling_control set, so far
};

struct ProgramReport {
    std::uint16_t program;
    std::uint16_t pmt_pid;
    std::optional<std::uint16_t> pcr_pid;  // nullopt until its PMT arrived
    std::vector<ElementaryStream> streams;
    std::size_t streams_left_out = 0;  // listed by the PMT but not in `streams` (see close_window)
    std::optional<ServiceNames> service;  // its entry in the SDT, when one listed it
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
    // Appended: PCR arrival jitter (the spread of arrival minus PCR time over
    // the window, worst PCR PID) and the worst PCR inaccuracy of a
    // constant-rate stream over the window; every PID seen (pids lists at
    // most max_reported_pids of them).
    std::optional<double> pcr_jitter_ms;
    std::optional<double> pcr_accuracy_ns;
    std::size_t pid_count = 0;
    // What the judged program's pictures and sound show (its first program's
    // when all are judged).
    content::ContentReport content;
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
        std::uint64_t scrambled = 0;
        // Continuity: `last_cc` is the counter of the previous packet received
        // (each break against it is an error); `head_cc` and `fingerprint` are
        // those of the newest payload packet in counting order.  Bit c of
        // `missing`: counter c was skipped by a jump (in datagram
        // `holes_datagram`) and a late packet may still fill it; of `closed`:
        // it was counted lost, and a packet with it now is late, not new.
        std::uint64_t fingerprint = 0;
        std::uint32_t holes_datagram = 0;
        std::uint16_t missing = 0;
        std::uint16_t closed = 0;
        std::unique_ptr<PcrClock> pcr_clock;  // while it carries a judged program's PCR
        std::int8_t last_cc = -1;
        std::int8_t head_cc = -1;
        bool duplicate = false;  // the newest payload packet repeated its predecessor
        bool late = false;       // the previous payload packet came late
        bool has_pts = false;
        bool judged_stream = false;  // a video or audio PID of a judged PMT
        bool pcr_pid = false;        // carries a judged program's PCR
        bool seen = false;
        bool deadline_queued = false;  // has an entry in deadlines_
        bool content = false;          // its payload goes to the content checks
        std::uint16_t pid = 0;
        // Programs giving it each role: a video/audio stream of a judged PMT,
        // a judged PCR, any program's PMT.
        std::uint16_t stream_roles = 0;
        std::uint16_t pcr_roles = 0;
        std::uint16_t pmt_roles = 0;
        std::string_view codec;  // for the report, set at the window's close
        std::string_view kind;
    };
    struct Program {
        std::uint16_t number;
        std::uint16_t pmt_pid;
        std::unique_ptr<SectionAssembler> assembler;
        std::optional<PmtSection> pmt;
        Nanos pmt_last;
        bool pmt_missing = false;  // an error counted since the last PMT
        std::uint64_t pmt_generation = 0;  // which PMT it holds, for the roles applied from it
        std::optional<ServiceNames> service = std::nullopt;  // from the SDT's current version
    };
    // The roles one program gave its PIDs, to withdraw when it changes.
    struct AppliedRoles {
        std::uint16_t number;
        std::uint16_t pmt_pid;
        std::uint64_t generation;
        std::optional<std::uint16_t> pcr_pid;
        std::vector<std::uint16_t> streams;
    };

    void packets(std::span<const std::uint8_t> bytes, Nanos arrival);
    void packet(const Packet& packet, Nanos arrival);
    // next: in order; after_loss: packets are missing just before it; repeat:
    // a copy of the previous one; late: it belongs before packets already read.
    enum class Arrival { next, after_loss, repeat, late };
    // The continuity check of a packet against its PID's previous one.
    Arrival continuity(PidState& state, const Packet& packet);
    void continuity_error(PidState& state) noexcept;
    // Holes that no late packet can fill any more: counted lost.
    void settle(PidState& state, std::uint16_t holes) noexcept;
    void settle_all() noexcept;
    void restart_count(PidState& state, std::int8_t cc, std::uint64_t print) noexcept;
    void scrambled(PidState& state, Nanos arrival);
    void cat_section(const Section& section);
    void timing(PidState& state, const Packet& packet, Nanos arrival);
    void pat_section(const Section& section, Nanos arrival);
    void pmt_section(std::uint16_t pid, const Section& section, Nanos arrival);
    void sdt_section(const Section& section);
    void index_programs();
    void check_deadlines(Nanos arrival);
    void check_pmt_deadlines(Nanos arrival);
    void note_gap(Nanos arrival);
    void received(std::size_t bytes, Nanos arrival);
    void refresh_roles();
    void update_roles(const Program& program);
    void apply_roles(const Program& program);
    void withdraw_roles(const AppliedRoles& applied);
    void queue_deadline(PidState& state);
    void follow_content();
    void report_programs(Report& report) const;
    void report_pids(Report& report, double seconds);
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
    std::uint32_t datagram_index_ = 0;  // TS datagrams so far, wrapping: tells datagrams apart
    RtpSequence rtp_;
    DelayFactor delay_factor_;
    bool silence_ended_ = false;          // by the datagram being read
    std::uint64_t datagram_end_index_ = 0;  // packets received once the one being read is

    // Sync: lost after 2 bad sync bytes in a row, regained after 5 good ones.
    bool in_sync_ = false;
    unsigned good_run_ = 0;
    unsigned bad_run_ = 0;

    std::array<std::uint16_t, pid_count> slot_{};  // 0: no state; else index + 1
    std::deque<PidState> states_;  // a deque: references stay valid as it grows
    Deadlines deadlines_;           // of the judged video/audio PIDs

    SectionAssembler pat_assembler_;
    std::optional<std::uint16_t> transport_stream_id_;
    Nanos pat_last_;
    bool pat_seen_ = false;
    bool pat_missing_ = true;
    std::vector<Program> programs_;
    SectionAssembler cat_assembler_;
    // The SDT gives the programs their names (it is not judged).  Its
    // services are looked up by number in program_index_ (sorted: number,
    // position in programs_), so a section of 200 services costs little.
    SectionAssembler sdt_assembler_;
    std::optional<std::uint8_t> sdt_version_;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> program_index_;
    bool cat_seen_ = false;  // a CAT (with a good CRC) has arrived
    Nanos cat_missing_last_;  // when scrambled packets without a CAT last counted an error, or the start
    // Judged program numbers from --program that the PAT does not list yet.
    Nanos program_missing_since_;
    std::vector<AppliedRoles> applied_;
    std::uint64_t pmt_generations_ = 0;
    bool judged_listed_ = false;  // a judged program is in the PAT
    Nanos next_pmt_due_ = std::numeric_limits<Nanos>::min();  // no judged PMT is due before
    // The content checks of the judged program, fed its PIDs' packets.
    content::ContentAnalyser content_;
    std::vector<std::uint16_t> content_pids_;
};

// What a window's report lists: at most this many PIDs (the busiest) and,
// beside the judged program's (the first program's when all are judged),
// at most per_program_streams streams of each other program and
// other_programs_streams in all.
inline constexpr std::size_t max_reported_pids = 256;
inline constexpr std::size_t per_program_streams = 8;
inline constexpr std::size_t other_programs_streams = 320;

// The cap on programs taken from a PAT; the rest are counted malformed.
inline constexpr std::size_t max_programs = 64;

}  // namespace avwatch::ts
