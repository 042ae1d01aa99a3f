// A window's report of the programs and PIDs: bounded whatever the input
// built (see max_reported_pids and the stream caps in analyser.hpp).
#include "analysis/ts/analyser.hpp"

#include <algorithm>

namespace avwatch::ts {

void Analyser::report_programs(Report& report) const {
    // The judged program first and whole (the first program's when all are
    // judged), then the others with their streams capped: a PAT of 64
    // programs of 200 streams each must not make a report of 12,800.
    auto first = std::find_if(programs_.begin(), programs_.end(), [&](const Program& p) { return judged(p); });
    std::size_t budget = other_programs_streams;
    auto add = [&](const Program& program, bool whole) {
        ProgramReport entry{program.number, program.pmt_pid, std::nullopt, {}, 0, program.service};
        if (program.pmt) {
            entry.pcr_pid = program.pmt->pcr_pid;
            const auto& streams = program.pmt->streams;
            std::size_t listed = whole ? streams.size() : std::min({streams.size(), per_program_streams, budget});
            entry.streams.assign(streams.begin(), streams.begin() + static_cast<std::ptrdiff_t>(listed));
            entry.streams_left_out = streams.size() - listed;
            if (!whole)
                budget -= listed;
        }
        report.programs.push_back(std::move(entry));
    };
    if (first != programs_.end())
        add(*first, true);
    for (auto it = programs_.begin(); it != programs_.end(); ++it)
        if (it != first)
            add(*it, false);
}

void Analyser::report_pids(Report& report, double seconds) {
    // Kinds and codecs as the programs list them (a later program's listing
    // wins), set on the PIDs' states in one pass over the programs.
    double pcr_jitter = -1;
    double pcr_accuracy = -1;
    for (PidState& s : states_) {
        s.codec = {};
        s.kind = s.pid == pat_pid ? "psi" : s.pid == null_pid ? "null" : std::string_view{};
        if (s.pcr_clock) {
            if (auto jitter = s.pcr_clock->window_jitter())
                pcr_jitter = std::max(pcr_jitter, static_cast<double>(*jitter) / 1e6);
            if (auto accuracy = s.pcr_clock->window_accuracy_ns())
                pcr_accuracy = std::max(pcr_accuracy, *accuracy);
            s.pcr_clock->new_window();
        }
    }
    if (pcr_jitter >= 0)
        report.pcr_jitter_ms = pcr_jitter;
    if (pcr_accuracy >= 0)
        report.pcr_accuracy_ns = pcr_accuracy;
    for (const Program& program : programs_) {
        if (PidState* s = find(program.pmt_pid))
            s->kind = "psi";
        if (!program.pmt)
            continue;
        for (const ElementaryStream& stream : program.pmt->streams)
            if (PidState* s = find(stream.pid)) {
                s->codec = stream.codec;
                s->kind = stream.kind;
            }
    }
    std::vector<const PidState*> listed;
    for (std::size_t pid = 0; pid < pid_count; ++pid) {
        const PidState* s = find(static_cast<std::uint16_t>(pid));
        if (s != nullptr && (s->seen || s->judged_stream))
            listed.push_back(s);
    }
    report.pid_count = listed.size();
    if (listed.size() > max_reported_pids) {
        // The busiest, then by PID as the rest of the report.
        auto busier = [](const PidState* a, const PidState* b) {
            return a->window_packets != b->window_packets ? a->window_packets > b->window_packets : a->pid < b->pid;
        };
        std::nth_element(listed.begin(), listed.begin() + max_reported_pids - 1, listed.end(), busier);
        listed.resize(max_reported_pids);
        std::sort(listed.begin(), listed.end(), [](const PidState* a, const PidState* b) { return a->pid < b->pid; });
    }
    report.pids.reserve(listed.size());
    for (const PidState* s : listed)
        report.pids.push_back(PidReport{
            s->pid, s->packets, s->window_packets,
            seconds > 0 ? static_cast<std::uint64_t>(s->window_packets * packet_size * 8 / seconds + 0.5) : 0,
            s->continuity_errors, s->codec, s->kind, s->scrambled});
    for (PidState& s : states_)
        s.window_packets = 0;
}

}  // namespace avwatch::ts
