#include "analysis/ts/analyser.hpp"

#include "analysis/ts/fingerprint.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace avwatch::ts {
namespace {

constexpr Nanos table_interval = millis(500);
constexpr Nanos pts_interval = millis(700);
constexpr Nanos never = std::numeric_limits<Nanos>::max();

// A PES header at the start of this payload, with a PTS.
bool starts_pes_with_pts(const Packet& packet) {
    const std::uint8_t* p = packet.payload();
    std::size_t size = packet.payload_size();
    return size >= 9 && p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[7] & 0x80) != 0;
}

}  // namespace

Analyser::Analyser(Settings settings, Nanos start)
    : settings_(settings), window_start_(start), resumed_(start), pat_last_(start), cat_missing_last_(start),
      program_missing_since_(start), judged_listed_(!settings.program) {}

Analyser::PidState* Analyser::find(std::uint16_t pid) noexcept {
    std::uint16_t slot = slot_[pid];
    return slot == 0 ? nullptr : &states_[slot - 1];
}

Analyser::PidState& Analyser::state(std::uint16_t pid) {
    if (PidState* found = find(pid))
        return *found;
    states_.emplace_back();
    slot_[pid] = static_cast<std::uint16_t>(states_.size());
    states_.back().pid = pid;
    return states_.back();
}

void Analyser::note_gap(Nanos arrival) {
    if (!last_arrival_) {
        resumed_ = arrival;
        return;
    }
    Nanos gap = arrival - *last_arrival_;
    longest_gap_ = std::max(longest_gap_, gap);
    window_longest_gap_ = std::max(window_longest_gap_, std::min(gap, arrival - window_start_));
    if (gap > table_interval) {
        resumed_ = arrival;  // the silence is its own report; the table clocks restart
        silence_ended_ = true;
    }
}

void Analyser::received(std::size_t bytes, Nanos arrival) {
    delay_factor_.arrival(arrival, bytes, silence_ended_);
    silence_ended_ = false;
    datagram_end_index_ = total_[Counter::packets] + bytes / packet_size;
}

void Analyser::datagram(std::span<const std::uint8_t> payload, Nanos arrival) {
    total_[Counter::datagrams] += 1;
    std::span<const std::uint8_t> ts = payload;
    bool rtp = false;
    if (!payload.empty() && payload[0] != sync_byte) {
        if (auto header = parse_rtp(payload)) {
            rtp = true;
            ts = header->payload;
            auto step = rtp_.next(header->sequence);
            total_[Counter::rtp_lost] += step.lost;
            total_[Counter::rtp_out_of_order] += step.out_of_order ? 1 : 0;
        } else if (payload.size() % packet_size != 0) {
            // Neither TS nor RTP carrying it (RTCP on the same port, stray
            // traffic): counted here only.  Its bytes are no TS bytes, and it
            // is no data for the gaps, the delay factor or the table clocks.
            // Whole packets with bad sync bytes are TS for the sync rules.
            total_[Counter::non_ts_datagrams] += 1;
            return;
        }
    }
    note_gap(arrival);
    last_arrival_ = arrival;
    last_was_rtp_ = rtp;
    datagram_index_ += 1;
    total_[Counter::bytes] += ts.size();
    received(ts.size(), arrival);
    packets(ts, arrival);
    check_deadlines(arrival);
}

void Analyser::packets(std::span<const std::uint8_t> bytes, Nanos arrival) {
    std::size_t whole = bytes.size() / packet_size;
    if (bytes.size() % packet_size != 0)
        total_[Counter::truncated_packets] += 1;
    // A datagram whose every slot starts with a sync byte is TS as sent; in
    // one with bad slots, the good ones count only while the stream is in sync,
    // so that noise which happens to hold 0x47 is not read as packets.
    bool aligned = true;
    for (std::size_t i = 0; i < whole && aligned; ++i)
        aligned = bytes[i * packet_size] == sync_byte;
    for (std::size_t i = 0; i < whole; ++i) {
        Packet packet(bytes.data() + i * packet_size);
        if (!packet.synced()) {
            total_[Counter::sync_byte_errors] += 1;
            good_run_ = 0;
            if (bad_run_ < 2 && ++bad_run_ == 2 && in_sync_) {
                in_sync_ = false;
                total_[Counter::sync_losses] += 1;
            }
            continue;
        }
        bad_run_ = 0;
        if (good_run_ < 5 && ++good_run_ == 5)
            in_sync_ = true;
        if (aligned || in_sync_)
            this->packet(packet, arrival);
    }
}

void Analyser::continuity_error(PidState& s) noexcept {
    total_[Counter::continuity_errors] += 1;
    s.continuity_errors += 1;
}

void Analyser::settle(PidState& s, std::uint16_t holes) noexcept {
    holes &= s.missing;
    total_[Counter::lost_packets] += static_cast<unsigned>(std::popcount(holes));
    s.missing &= static_cast<std::uint16_t>(~holes);
    s.closed |= holes;
}

void Analyser::settle_all() noexcept {
    for (PidState& s : states_)
        if (s.missing != 0)
            settle(s, s.missing);
}

void Analyser::restart_count(PidState& s, std::int8_t cc, std::uint64_t print) noexcept {
    settle(s, s.missing);
    s.closed = 0;  // the old count's late packets can no longer be told apart
    s.head_cc = cc;
    s.fingerprint = print;
}

namespace {

std::uint16_t bit(unsigned cc) noexcept { return static_cast<std::uint16_t>(1u << (cc & 0x0F)); }

// The counters after `from` up to and including `to`, going forward.
std::uint16_t counters_after(unsigned from, unsigned to) noexcept {
    unsigned count = ((to - from - 1) & 0x0F) + 1;
    std::uint32_t run = ((1u << count) - 1) << ((from + 1) & 0x0F);
    return static_cast<std::uint16_t>(run | (run >> 16));
}

}  // namespace

// Errors follow TR 101 290 1.4 packet by packet: each packet is judged
// against the previous one received on its PID, so two swapped packets
// break the count three times (ahead, back, ahead again), twice when they
// end the stream.  Losses are counted apart, against the newest packet in
// counting order: a jump leaves holes that a late packet may still fill (a
// reordering, not a loss).  The holes are counted lost once a packet of the
// PID arrives in order in a later datagram, when the count comes round to
// them again or restarts, and when the window closes; a packet that comes
// after its hole was counted is late all the same (the count only grows).
Analyser::Arrival Analyser::continuity(PidState& s, const Packet& packet) {
    auto cc = static_cast<std::int8_t>(packet.continuity());
    bool restart = s.last_cc < 0 || packet.discontinuity();
    if (!packet.has_payload()) {
        // The counter does not advance without a payload: it repeats the last one.
        if (!restart && cc != s.last_cc)
            continuity_error(s);
        if (restart && cc != s.head_cc)
            restart_count(s, cc, 0);
        // Sent right after a late packet, or before a packet still awaited:
        // it belongs before what was read.
        bool late = cc != s.head_cc && ((cc == s.last_cc && s.late) ||
                                        ((s.missing | s.closed) & bit(static_cast<unsigned>(cc) + 1)) != 0);
        s.last_cc = cc;
        return late ? Arrival::late : Arrival::next;
    }
    std::uint64_t print = fingerprint(packet);
    if (restart) {
        restart_count(s, cc, print);
        s.last_cc = cc;
        s.duplicate = s.late = false;
        return Arrival::next;
    }
    if (cc == s.head_cc && print == s.fingerprint) {
        // One repetition is allowed; a third copy is an error.
        if (s.duplicate)
            continuity_error(s);
        s.duplicate = true;
        s.last_cc = cc;
        return Arrival::repeat;
    }
    s.duplicate = false;
    if (cc != ((s.last_cc + 1) & 0x0F))
        continuity_error(s);
    s.last_cc = cc;
    auto head = static_cast<unsigned>(s.head_cc);
    auto counter = static_cast<unsigned>(cc);
    unsigned skipped = (counter - head - 1) & 0x0F;
    if (skipped == 0 && (s.missing | s.closed) == 0) {  // in order, no hole open: the common case
        s.head_cc = cc;
        s.fingerprint = print;
        s.late = false;
        return Arrival::next;
    }
    if (skipped != 0 && ((s.missing | s.closed) & bit(counter)) != 0) {
        s.missing &= static_cast<std::uint16_t>(~bit(counter));
        s.closed &= static_cast<std::uint16_t>(~bit(counter));
        total_[Counter::reordered_packets] += 1;
        s.late = true;
        return Arrival::late;
    }
    // In order, or ahead after a jump (the same counter with other bytes is
    // sixteen ahead: fifteen missing).
    if (s.holes_datagram != datagram_index_)
        settle(s, s.missing);
    // Holes at the counters passed now, left sixteen counters ago, can no
    // longer be told from new packets.
    std::uint16_t passed = counters_after(head, counter);
    settle(s, passed);
    s.closed &= static_cast<std::uint16_t>(~passed);
    if (skipped != 0) {
        s.missing |= static_cast<std::uint16_t>(passed & ~bit(counter));
        s.holes_datagram = datagram_index_;
    }
    s.head_cc = cc;
    s.fingerprint = print;
    s.late = false;
    return skipped != 0 ? Arrival::after_loss : Arrival::next;
}

void Analyser::timing(PidState& s, const Packet& packet, Nanos arrival) {
    if (s.pcr_pid) {
        if (auto pcr = packet.pcr()) {
            if (!s.pcr_clock)
                s.pcr_clock = std::make_unique<PcrClock>();
            PcrClock& clock = *s.pcr_clock;
            if (s.last_pcr_arrival < resumed_)
                clock.restart();  // a silence came between: the clocks may have moved on, the stream has not failed
            s.last_pcr_arrival = arrival;
            // The datagram arrived when its last packet was sent: this one left
            // the packets after it earlier, at the measured rate.
            std::uint64_t index = total_[Counter::packets];
            double packet_nanos = clock.ticks_per_packet() * 1000.0 / 27.0;
            if (packet_nanos <= 0 && delay_factor_.bytes_per_second() > 0)
                packet_nanos = packet_size * 1e9 / delay_factor_.bytes_per_second();
            packet_nanos = std::min(packet_nanos, 1e9);
            std::uint64_t after = datagram_end_index_ > index ? datagram_end_index_ - index : 0;
            Nanos sent = arrival - static_cast<Nanos>(static_cast<double>(after) * packet_nanos);
            bool placed = after == 0 || packet_nanos > 0;
            std::uint64_t disturbances = total_[Counter::lost_packets] + total_[Counter::continuity_errors] +
                                         total_[Counter::rtp_lost] + total_[Counter::rtp_out_of_order] +
                                         total_[Counter::sync_byte_errors] + total_[Counter::truncated_packets] +
                                         total_[Counter::non_ts_datagrams];
            PcrFaults faults = clock.pcr(*pcr, packet.discontinuity(), sent, placed, index, disturbances);
            total_[Counter::pcr_repetition_errors] += faults.repetition ? 1 : 0;
            total_[Counter::pcr_discontinuity_errors] += faults.discontinuity ? 1 : 0;
            total_[Counter::pcr_accuracy_errors] += faults.accuracy ? 1 : 0;
            if (double rate = clock.packets_per_second(); rate > 0)
                delay_factor_.media_rate(arrival, rate * packet_size);
        }
    }
    if (s.judged_stream && packet.payload_start() && starts_pes_with_pts(packet)) {
        if (s.has_pts && arrival - since(s.last_pts_arrival) > pts_interval)
            total_[Counter::pts_errors] += 1;
        s.has_pts = true;
        s.last_pts_arrival = arrival;
    }
}

void Analyser::packet(const Packet& packet, Nanos arrival) {
    total_[Counter::packets] += 1;
    std::uint16_t pid = packet.pid();
    PidState& s = state(pid);
    s.seen = true;
    s.packets += 1;
    s.window_packets += 1;
    s.last_seen = arrival;
    if (packet.transport_error()) {
        // The header itself may be wrong: nothing more is read from it.
        total_[Counter::transport_errors] += 1;
        return;
    }
    if (pid == null_pid)
        return;
    if (packet.scrambling() != 0)
        scrambled(s, arrival);
    Arrival order = continuity(s, packet);
    if (order == Arrival::repeat || order == Arrival::late)
        return;  // already read, or older than what was: its PCR and sections would go back in time
    bool lost = order == Arrival::after_loss;
    timing(s, packet, arrival);
    if (s.content && packet.scrambling() == 0)
        content_.packet(packet, lost);
    if (pid == cat_pid) {
        if (packet.scrambling() == 0)
            total_[Counter::malformed_sections] +=
                cat_assembler_.push(packet, lost, [&](const Section& section) { cat_section(section); });
        return;
    }
    if (pid == pat_pid) {
        if (packet.scrambling() != 0) {
            total_[Counter::pat_errors] += 1;
            return;
        }
        total_[Counter::malformed_sections] +=
            pat_assembler_.push(packet, lost, [&](const Section& section) { pat_section(section, arrival); });
        return;
    }
    if (pid == sdt_pid && packet.scrambling() == 0)
        sdt_assembler_.push(packet, lost, [&](const Section& section) { sdt_section(section); });
    if (s.pmt_roles == 0)
        return;  // no program's PMT
    for (Program& program : programs_) {
        if (program.pmt_pid != pid)
            continue;
        if (packet.scrambling() != 0) {
            if (judged(program))
                total_[Counter::pmt_errors] += 1;
            return;
        }
        total_[Counter::malformed_sections] += program.assembler->push(
            packet, lost, [&](const Section& section) { pmt_section(pid, section, arrival); });
        return;  // one assembler per PID: the sections name their program
    }
}

void Analyser::scrambled(PidState& s, Nanos arrival) {
    s.scrambled += 1;
    total_[Counter::scrambled_packets] += 1;
    // TR 101 290 2.6: scrambled packets and no CAT.  Like a missing table,
    // one error per 0.5 s while it lasts, the first after 0.5 s of data.
    if (!cat_seen_ && arrival - since(cat_missing_last_) > table_interval) {
        total_[Counter::cat_errors] += 1;
        cat_missing_last_ = arrival;
    }
}

void Analyser::cat_section(const Section& section) {
    if (section.table_id() != cat_table_id) {
        total_[Counter::cat_errors] += 1;  // TR 101 290 2.6: another table on PID 1
        return;
    }
    if ((section.bytes[1] & 0x80) == 0) {  // a CAT has the long form, with a CRC
        total_[Counter::malformed_sections] += 1;
        return;
    }
    if (!section.crc_ok) {
        total_[Counter::crc_errors] += 1;
        return;
    }
    cat_seen_ = true;
}

void Analyser::pat_section(const Section& section, Nanos arrival) {
    if (section.table_id() != pat_table_id) {
        total_[Counter::pat_errors] += 1;
        return;
    }
    if (!section.crc_ok) {
        total_[Counter::crc_errors] += 1;
        return;
    }
    auto pat = decode_pat(section);
    if (!pat) {
        total_[Counter::malformed_sections] += 1;
        return;
    }
    pat_seen_ = true;
    pat_missing_ = false;
    pat_last_ = arrival;
    transport_stream_id_ = pat->transport_stream_id;
    bool changed = false;
    bool single_section = section.bytes[7] == 0;
    if (single_section) {
        // Programs the PAT no longer lists are dropped.
        auto listed = [&](const Program& p) {
            return std::any_of(pat->entries.begin(), pat->entries.end(),
                               [&](const PatEntry& e) { return e.program == p.number && e.pmt_pid == p.pmt_pid; });
        };
        auto kept = std::stable_partition(programs_.begin(), programs_.end(), listed);
        changed = kept != programs_.end();
        programs_.erase(kept, programs_.end());
    }
    for (const PatEntry& entry : pat->entries) {
        if (entry.program == 0)
            continue;
        auto known = std::find_if(programs_.begin(), programs_.end(),
                                  [&](const Program& p) { return p.number == entry.program; });
        if (known != programs_.end()) {
            if (known->pmt_pid == entry.pmt_pid)
                continue;
            programs_.erase(known);
        }
        // The judged program is always taken, whatever the cap.
        if (programs_.size() >= max_programs && !(settings_.program && *settings_.program == entry.program)) {
            total_[Counter::malformed_sections] += 1;
            continue;
        }
        programs_.push_back(Program{entry.program, entry.pmt_pid, std::make_unique<SectionAssembler>(),
                                    std::nullopt, arrival});
        changed = true;
    }
    if (changed)
        refresh_roles();
    if (changed || program_index_.size() != programs_.size())
        index_programs();
}

void Analyser::pmt_section(std::uint16_t pid, const Section& section, Nanos arrival) {
    if (section.table_id() != pmt_table_id)
        return;  // other tables may share the PID
    if (!section.crc_ok) {
        total_[Counter::crc_errors] += 1;
        return;
    }
    auto pmt = decode_pmt(section);
    if (!pmt) {
        total_[Counter::malformed_sections] += 1;
        return;
    }
    auto program = std::find_if(programs_.begin(), programs_.end(),
                                [&](const Program& p) { return p.number == pmt->program && p.pmt_pid == pid; });
    if (program == programs_.end())
        return;  // a program the PAT does not list here
    program->pmt_last = arrival;
    program->pmt_missing = false;
    if (program->pmt && *program->pmt == *pmt)
        return;
    if (program->pmt)
        total_[Counter::pmt_changes] += 1;
    program->pmt = std::move(*pmt);
    program->pmt_generation = ++pmt_generations_;
    update_roles(*program);
}

void Analyser::sdt_section(const Section& section) {
    if (section.table_id() != sdt_actual_table_id)
        return;  // another transport stream's SDT, or a BAT
    auto sdt = decode_sdt(section);
    if (!sdt)
        return;
    if (sdt_version_ != sdt->version) {
        // A new version names the services afresh, section by section.
        sdt_version_ = sdt->version;
        for (Program& program : programs_)
            program.service.reset();
    }
    for (const SdtService& service : sdt->services) {
        auto found = std::lower_bound(program_index_.begin(), program_index_.end(),
                                      std::pair<std::uint16_t, std::uint16_t>{service.service_id, 0});
        if (found != program_index_.end() && found->first == service.service_id)
            programs_[found->second].service = named(service);
    }
}

void Analyser::index_programs() {
    program_index_.clear();
    for (std::size_t at = 0; at < programs_.size(); ++at)
        program_index_.emplace_back(programs_[at].number, static_cast<std::uint16_t>(at));
    std::sort(program_index_.begin(), program_index_.end());
}

bool Analyser::judged(const Program& program) const noexcept {
    return !settings_.program || *settings_.program == program.number;
}

void Analyser::queue_deadline(PidState& s) {
    if (s.deadline_queued)
        return;
    s.deadline_queued = true;
    Nanos base = since(s.last_seen);
    deadlines_.add(base > never - settings_.pid_timeout ? never : base + settings_.pid_timeout, s.pid);
}

void Analyser::check_pmt_deadlines(Nanos arrival) {
    // next_pmt_due_ is never later than a judged PMT's deadline (they only
    // move on), so the programs are walked only when one may be due.
    if (arrival <= next_pmt_due_)
        return;
    next_pmt_due_ = never;
    for (Program& program : programs_) {
        if (!judged(program))
            continue;
        if (arrival - since(program.pmt_last) > table_interval) {
            total_[Counter::pmt_errors] += 1;
            program.pmt_missing = true;
            program.pmt_last = arrival;
        }
        Nanos base = since(program.pmt_last);
        next_pmt_due_ = std::min(next_pmt_due_, base > never - table_interval ? never : base + table_interval);
    }
}

void Analyser::check_deadlines(Nanos arrival) {
    if (arrival - since(pat_last_) > table_interval) {
        total_[Counter::pat_errors] += 1;
        pat_missing_ = true;
        pat_last_ = arrival;  // the next error after another 0.5 s without one
    }
    check_pmt_deadlines(arrival);
    // The judged program is missing from the PAT: its PMT is missing too.
    if (!judged_listed_ && pat_seen_ && arrival - since(program_missing_since_) > table_interval) {
        total_[Counter::pmt_errors] += 1;
        program_missing_since_ = arrival;
    }
    if (judged_listed_)
        program_missing_since_ = arrival;
    // Entries come out early when their PID was seen since: they go back with
    // the real deadline.
    while (auto pid = deadlines_.take_due(arrival)) {
        PidState& s = *find(*pid);
        s.deadline_queued = false;
        if (!s.judged_stream)
            continue;  // no longer watched
        if (arrival - since(s.last_seen) > settings_.pid_timeout) {
            total_[Counter::pid_errors] += 1;
            s.last_seen = arrival;
        }
        queue_deadline(s);
    }
}

void Analyser::receive_gap(Nanos at) {
    // Holes seen before the gap were the stream's own; whatever came during
    // it (late packets included) is unknown, so the count starts afresh.
    settle_all();
    for (PidState& s : states_) {
        s.last_cc = -1;
        s.head_cc = -1;
        s.closed = 0;
        s.duplicate = false;
        s.late = false;
        s.has_pts = false;
        if (s.pcr_clock)
            s.pcr_clock->restart();
    }
    silence_ended_ = true;  // the delay factor's buffer starts again: the dropped bytes never reached it
    pat_assembler_.reset();
    cat_assembler_.reset();
    sdt_assembler_.reset();
    for (Program& program : programs_)
        program.assembler->reset();
    content_.gap();
    rtp_ = RtpSequence{};
    if (last_arrival_)
        last_arrival_ = at;  // no silence between the datagrams on either side
    resumed_ = at;
}

Report Analyser::close_window(Nanos now) {
    settle_all();  // a window's losses are its own: late packets after it are only late
    Report report;
    report.start = window_start_;
    report.end = now;
    Nanos length = now - window_start_;
    report.total = total_;
    report.window = total_ - window_start_counts_;
    std::uint64_t window_bytes = report.window[Counter::bytes];
    double seconds = length > 0 ? static_cast<double>(length) / nanos_per_second : 0;
    report.bitrate = seconds > 0 ? static_cast<std::uint64_t>(window_bytes * 8 / seconds + 0.5) : 0;
    report.in_sync = in_sync_;
    bool fresh = last_arrival_ && now - *last_arrival_ <= table_interval;
    report.pat_present = pat_seen_ && !pat_missing_ && fresh;
    bool any_judged = false;
    bool all_present = true;
    for (const Program& program : programs_) {
        if (!judged(program))
            continue;
        any_judged = true;
        all_present = all_present && program.pmt && !program.pmt_missing;
    }
    report.pmt_present = fresh && any_judged && all_present;
    report.transport_stream_id = transport_stream_id_;
    report.delay_factor_ms = delay_factor_.milliseconds();
    report.media_loss_rate = seconds > 0 ? report.window[Counter::lost_packets] / seconds : 0;
    // A silence still running counts up to the window's end.
    Nanos open_gap = last_arrival_ ? now - std::max(*last_arrival_, window_start_) : length;
    report.window_longest_gap = std::max(window_longest_gap_, open_gap);
    report.longest_gap = std::max(longest_gap_, last_arrival_ ? now - *last_arrival_ : 0);
    report.last_data = last_arrival_;
    report.rtp = last_was_rtp_;
    report_programs(report);
    report_pids(report, seconds);
    report.content = content_.report();

    window_start_counts_ = total_;
    window_start_ = now;
    window_longest_gap_ = 0;
    delay_factor_.new_window();
    return report;
}

}  // namespace avwatch::ts
