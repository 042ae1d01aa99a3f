#include "analysis/ts/analyser.hpp"

#include <algorithm>

namespace avwatch::ts {
namespace {

constexpr Nanos table_interval = millis(500);
constexpr Nanos pcr_interval = millis(100);
constexpr Nanos pts_interval = millis(700);
// PCR values wrap at 2^33 * 300 ticks of 27 MHz.
constexpr std::int64_t pcr_modulus = (std::int64_t{1} << 33) * 300;
constexpr std::int64_t pcr_ticks_per_ms = 27'000;

// A PES header at the start of this payload, with a PTS.
bool starts_pes_with_pts(const Packet& packet) {
    const std::uint8_t* p = packet.payload();
    std::size_t size = packet.payload_size();
    return size >= 9 && p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[7] & 0x80) != 0;
}

}  // namespace

Analyser::Analyser(Settings settings, Nanos start)
    : settings_(settings), window_start_(start), resumed_(start), pat_last_(start), program_missing_since_(start) {
    delay_factor_.start(start, 0);
}

Analyser::PidState* Analyser::find(std::uint16_t pid) noexcept {
    std::uint16_t slot = slot_[pid];
    return slot == 0 ? nullptr : &states_[slot - 1];
}

Analyser::PidState& Analyser::state(std::uint16_t pid) {
    if (PidState* found = find(pid))
        return *found;
    states_.emplace_back();
    slot_[pid] = static_cast<std::uint16_t>(states_.size());
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
    if (gap > table_interval)
        resumed_ = arrival;  // the silence is its own report; the table clocks restart
}

void Analyser::datagram(std::span<const std::uint8_t> payload, Nanos arrival) {
    note_gap(arrival);
    last_arrival_ = arrival;
    total_[Counter::datagrams] += 1;
    std::span<const std::uint8_t> ts = payload;
    last_was_rtp_ = false;
    if (!payload.empty() && payload[0] != sync_byte) {
        if (auto rtp = parse_rtp(payload)) {
            last_was_rtp_ = true;
            ts = rtp->payload;
            auto step = rtp_.next(rtp->sequence);
            total_[Counter::rtp_lost] += step.lost;
            total_[Counter::rtp_out_of_order] += step.out_of_order ? 1 : 0;
        } else {
            total_[Counter::non_ts_datagrams] += 1;
        }
    }
    total_[Counter::bytes] += ts.size();
    delay_factor_.arrival(arrival, ts.size());
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

Analyser::Arrival Analyser::continuity(PidState& s, const Packet& packet) {
    std::uint8_t cc = packet.continuity();
    if (!packet.has_payload())
        return Arrival::next;  // the counter does not advance without a payload
    Arrival result = Arrival::next;
    if (s.last_cc >= 0 && !packet.discontinuity()) {
        auto expected = static_cast<std::uint8_t>((s.last_cc + 1) & 0x0F);
        if (cc == s.last_cc) {
            // One repetition is allowed; a third copy is an error.
            if (s.duplicate) {
                total_[Counter::continuity_errors] += 1;
                s.continuity_errors += 1;
            }
            s.duplicate = true;
            return Arrival::repeat;
        }
        if (cc != expected) {
            total_[Counter::continuity_errors] += 1;
            s.continuity_errors += 1;
            total_[Counter::lost_packets] += static_cast<std::uint8_t>((cc - expected) & 0x0F);
            result = Arrival::after_loss;
        }
    }
    s.duplicate = false;
    s.last_cc = static_cast<std::int8_t>(cc);
    return result;
}

void Analyser::timing(PidState& s, const Packet& packet, Nanos arrival) {
    if (s.pcr_pid) {
        if (auto pcr = packet.pcr()) {
            if (s.last_pcr >= 0) {
                if (arrival - since(s.last_pcr_arrival) > pcr_interval)
                    total_[Counter::pcr_repetition_errors] += 1;
                std::int64_t step = ((*pcr - s.last_pcr) % pcr_modulus + pcr_modulus) % pcr_modulus;
                if (!packet.discontinuity() && step > 100 * pcr_ticks_per_ms)
                    total_[Counter::pcr_discontinuity_errors] += 1;
            }
            s.last_pcr = *pcr;
            s.last_pcr_arrival = arrival;
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
    Arrival order = continuity(s, packet);
    if (order == Arrival::repeat)
        return;  // the same packet again: already read
    bool lost = order == Arrival::after_loss;
    timing(s, packet, arrival);
    if (pid == pat_pid) {
        if (packet.scrambling() != 0) {
            total_[Counter::pat_errors] += 1;
            return;
        }
        total_[Counter::malformed_sections] +=
            pat_assembler_.push(packet, lost, [&](const Section& section) { pat_section(section, arrival); });
        return;
    }
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
        if (programs_.size() >= max_programs) {
            total_[Counter::malformed_sections] += 1;
            continue;
        }
        programs_.push_back(Program{entry.program, entry.pmt_pid, std::make_unique<SectionAssembler>(),
                                    std::nullopt, arrival});
        changed = true;
    }
    if (changed)
        refresh_roles();
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
    refresh_roles();
}

bool Analyser::judged(const Program& program) const noexcept {
    return !settings_.program || *settings_.program == program.number;
}

void Analyser::refresh_roles() {
    for (PidState& s : states_)
        s.judged_stream = s.pcr_pid = false;
    judged_pids_.clear();
    for (const Program& program : programs_) {
        if (!judged(program) || !program.pmt)
            continue;
        if (program.pmt->pcr_pid != null_pid)
            state(program.pmt->pcr_pid).pcr_pid = true;
        for (const ElementaryStream& stream : program.pmt->streams) {
            if (stream.kind == "data")
                continue;
            PidState& s = state(stream.pid);
            if (!s.seen)  // absent from now on, not from the start
                s.last_seen = last_arrival_ ? *last_arrival_ : window_start_;
            if (!s.judged_stream)
                judged_pids_.push_back(stream.pid);
            s.judged_stream = true;
        }
    }
}

void Analyser::check_deadlines(Nanos arrival) {
    if (arrival - since(pat_last_) > table_interval) {
        total_[Counter::pat_errors] += 1;
        pat_missing_ = true;
        pat_last_ = arrival;  // the next error after another 0.5 s without one
    }
    bool listed = !settings_.program;
    for (Program& program : programs_) {
        if (!judged(program))
            continue;
        listed = true;
        if (arrival - since(program.pmt_last) > table_interval) {
            total_[Counter::pmt_errors] += 1;
            program.pmt_missing = true;
            program.pmt_last = arrival;
        }
    }
    // The judged program is missing from the PAT: its PMT is missing too.
    if (!listed && pat_seen_ && arrival - since(program_missing_since_) > table_interval) {
        total_[Counter::pmt_errors] += 1;
        program_missing_since_ = arrival;
    }
    if (listed)
        program_missing_since_ = arrival;
    for (std::uint16_t pid : judged_pids_) {
        PidState& s = *find(pid);
        if (arrival - since(s.last_seen) > settings_.pid_timeout) {
            total_[Counter::pid_errors] += 1;
            s.last_seen = arrival;
        }
    }
}

void Analyser::receive_gap(Nanos at) {
    for (PidState& s : states_) {
        s.last_cc = -1;
        s.duplicate = false;
        s.last_pcr = -1;
        s.has_pts = false;
    }
    pat_assembler_.reset();
    for (Program& program : programs_)
        program.assembler->reset();
    rtp_ = RtpSequence{};
    if (last_arrival_)
        last_arrival_ = at;  // no silence between the datagrams on either side
    resumed_ = at;
}

Report Analyser::close_window(Nanos now) {
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

    for (const Program& program : programs_) {
        ProgramReport entry{program.number, program.pmt_pid, std::nullopt, {}};
        if (program.pmt) {
            entry.pcr_pid = program.pmt->pcr_pid;
            entry.streams = program.pmt->streams;
        }
        report.programs.push_back(std::move(entry));
    }
    for (std::size_t pid = 0; pid < pid_count; ++pid) {
        PidState* s = find(static_cast<std::uint16_t>(pid));
        if (s == nullptr || (!s->seen && !s->judged_stream))
            continue;
        PidReport entry{static_cast<std::uint16_t>(pid), s->packets, s->window_packets,
                        seconds > 0 ? static_cast<std::uint64_t>(s->window_packets * packet_size * 8 / seconds + 0.5) : 0,
                        s->continuity_errors, {}, {}};
        if (pid == pat_pid)
            entry.kind = "psi";
        else if (pid == null_pid)
            entry.kind = "null";
        for (const Program& program : programs_) {
            if (program.pmt_pid == pid)
                entry.kind = "psi";
            if (!program.pmt)
                continue;
            for (const ElementaryStream& stream : program.pmt->streams)
                if (stream.pid == pid) {
                    entry.codec = stream.codec;
                    entry.kind = stream.kind;
                }
        }
        report.pids.push_back(entry);
        s->window_packets = 0;
    }

    window_start_counts_ = total_;
    window_start_ = now;
    window_longest_gap_ = 0;
    previous_rate_ = seconds > 0 ? window_bytes / seconds : 0;
    delay_factor_.start(now, previous_rate_);
    return report;
}

}  // namespace avwatch::ts
