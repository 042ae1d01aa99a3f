// The roles the judged programs give their PIDs (video/audio streams watched
// for presence and PTS, PCR carriers), kept per program.
#include "analysis/ts/analyser.hpp"

#include <algorithm>

namespace avwatch::ts {

// Roles are kept per program: what each one gave its PIDs is withdrawn when
// it changes or leaves, so a change costs its own streams, not every PID's.
// The new roles are given before the old are withdrawn, so that a PID which
// keeps its role (the PCR's above all) keeps its clocks too.
void Analyser::refresh_roles() {
    auto same = [](const AppliedRoles& a, const Program& p) {
        return a.number == p.number && a.pmt_pid == p.pmt_pid && a.generation == p.pmt_generation;
    };
    for (const Program& program : programs_)
        if (std::none_of(applied_.begin(), applied_.end(), [&](const AppliedRoles& a) { return same(a, program); }))
            apply_roles(program);
    std::erase_if(applied_, [&](const AppliedRoles& applied) {
        bool holds = std::any_of(programs_.begin(), programs_.end(), [&](const Program& p) { return same(applied, p); });
        if (!holds)
            withdraw_roles(applied);
        return !holds;
    });
    judged_listed_ = !settings_.program || std::any_of(programs_.begin(), programs_.end(),
                                                      [&](const Program& p) { return judged(p); });
    next_pmt_due_ = std::numeric_limits<Nanos>::min();  // a program may have come: look again
    follow_content();
}

void Analyser::update_roles(const Program& program) {
    auto old = std::find_if(applied_.begin(), applied_.end(), [&](const AppliedRoles& a) {
        return a.number == program.number && a.pmt_pid == program.pmt_pid;
    });
    std::optional<std::size_t> at;
    if (old != applied_.end())
        at = static_cast<std::size_t>(old - applied_.begin());
    apply_roles(program);
    if (at) {
        withdraw_roles(applied_[*at]);
        applied_.erase(applied_.begin() + static_cast<std::ptrdiff_t>(*at));
    }
    follow_content();
}

void Analyser::apply_roles(const Program& program) {
    AppliedRoles applied{program.number, program.pmt_pid, program.pmt_generation, std::nullopt, {}};
    state(program.pmt_pid).pmt_roles += 1;
    if (judged(program) && program.pmt) {
        if (program.pmt->pcr_pid != null_pid) {
            applied.pcr_pid = program.pmt->pcr_pid;
            PidState& s = state(program.pmt->pcr_pid);
            s.pcr_roles += 1;
            s.pcr_pid = true;
        }
        for (const ElementaryStream& stream : program.pmt->streams) {
            if (stream.kind == "data")
                continue;
            applied.streams.push_back(stream.pid);
            PidState& s = state(stream.pid);
            if (s.stream_roles++ == 0) {
                s.judged_stream = true;
                if (!s.seen)  // absent from now on, not from the start
                    s.last_seen = last_arrival_ ? *last_arrival_ : window_start_;
                queue_deadline(s);
            }
        }
    }
    applied_.push_back(std::move(applied));
}

void Analyser::withdraw_roles(const AppliedRoles& applied) {
    find(applied.pmt_pid)->pmt_roles -= 1;
    if (applied.pcr_pid) {
        PidState& s = *find(*applied.pcr_pid);
        if (--s.pcr_roles == 0) {
            s.pcr_pid = false;
            s.pcr_clock.reset();
        }
    }
    for (std::uint16_t pid : applied.streams) {
        PidState& s = *find(pid);
        if (--s.stream_roles == 0)
            s.judged_stream = false;  // its deadline entry is dropped when it comes out
    }
}

// The content checks follow the judged program's streams (the first
// program's when all are judged, as the report lists it); they are rebuilt
// only when those streams change.
void Analyser::follow_content() {
    auto first = std::find_if(programs_.begin(), programs_.end(), [&](const Program& p) { return judged(p); });
    std::span<const ElementaryStream> streams;
    if (first != programs_.end() && first->pmt)
        streams = first->pmt->streams;
    if (!content_.program(streams))
        return;
    for (std::uint16_t pid : content_pids_)
        if (PidState* s = find(pid))
            s->content = false;
    content_pids_ = content_.pids();
    for (std::uint16_t pid : content_pids_)
        state(pid).content = true;
}

}  // namespace avwatch::ts
