#include "analysis/module/values.hpp"

#include "analysis/module/content_values.hpp"

#include <cmath>

namespace avwatch::analysis {
namespace {

Owned counter_dict(const ts::Counters& counters) {
    Owned dict = Owned::steal(PyDict_New());
    for (std::size_t i = 0; i < ts::counter_count; ++i)
        set_item(dict, ts::counter_names[i], Owned::steal(PyLong_FromUnsignedLongLong(counters.values[i])));
    return dict;
}

Owned unsigned_integer(unsigned long long value) { return Owned::steal(PyLong_FromUnsignedLongLong(value)); }
Owned small(std::uint16_t value) { return integer(value); }
Owned view_text(std::string_view value) { return text(value); }

Owned stream_dict(const ts::ElementaryStream& stream) {
    Owned dict = Owned::steal(PyDict_New());
    set_item(dict, "pid", integer(stream.pid));
    set_item(dict, "stream_type", integer(stream.stream_type));
    set_item(dict, "codec", view_text(stream.codec));
    set_item(dict, "kind", view_text(stream.kind));
    return dict;
}

Owned program_dict(const ts::ProgramReport& program) {
    Owned dict = Owned::steal(PyDict_New());
    set_item(dict, "program", integer(program.program));
    set_item(dict, "pmt_pid", integer(program.pmt_pid));
    set_item(dict, "pcr_pid", optional(program.pcr_pid, small));
    Owned streams = Owned::steal(PyList_New(0));
    for (const auto& stream : program.streams)
        check(PyList_Append(streams.get(), stream_dict(stream).get()));
    set_item(dict, "streams", streams);
    set_item(dict, "streams_left_out", unsigned_integer(program.streams_left_out));
    // From the SDT: None until one names the program.
    const auto& service = program.service;
    set_item(dict, "service_type", service && service->service_type ? integer(*service->service_type) : none());
    set_item(dict, "service_name", service ? text(service->name) : none());
    set_item(dict, "provider_name", service ? text(service->provider) : none());
    return dict;
}

Owned pid_dict(const ts::PidReport& pid) {
    Owned dict = Owned::steal(PyDict_New());
    set_item(dict, "pid", integer(pid.pid));
    set_item(dict, "kind", view_text(pid.kind));
    set_item(dict, "codec", view_text(pid.codec));
    set_item(dict, "bitrate", unsigned_integer(pid.bitrate));
    set_item(dict, "packets", unsigned_integer(pid.packets));
    set_item(dict, "window_packets", unsigned_integer(pid.window_packets));
    set_item(dict, "continuity_errors", unsigned_integer(pid.continuity_errors));
    set_item(dict, "scrambled", unsigned_integer(pid.scrambled));
    return dict;
}

}  // namespace

Owned real(double value) { return Owned::steal(PyFloat_FromDouble(value)); }
Owned boolean(bool value) { return Owned::steal(PyBool_FromLong(value)); }
Owned seconds(ts::Nanos value) { return real(static_cast<double>(value) / ts::nanos_per_second); }

ts::Nanos nanos_from(Borrowed number) {
    double value = PyFloat_AsDouble(number.get());
    if (value == -1.0 && PyErr_Occurred())
        throw ErrorSet{};
    // Within half of 64 bits of nanoseconds: the analyser subtracts one
    // time from another, and any two such differ by less than 2^63 ns.
    if (!std::isfinite(value) || std::fabs(value) > 4.5e9) {
        PyErr_SetString(PyExc_ValueError, "a time in seconds must be finite and within 4.5e9 of 0");
        throw ErrorSet{};
    }
    return static_cast<ts::Nanos>(std::llround(value * ts::nanos_per_second));
}

Owned report_dict(const ts::Report& report) {
    Owned dict = Owned::steal(PyDict_New());
    // The three fixed names first, then the rest of the totals.
    set_item(dict, "bitrate", unsigned_integer(report.bitrate));
    set_item(dict, "packets", unsigned_integer(report.total[ts::Counter::packets]));
    set_item(dict, "continuity_errors", unsigned_integer(report.total[ts::Counter::continuity_errors]));
    for (std::size_t i = 0; i < ts::counter_count; ++i)
        set_item(dict, ts::counter_names[i], unsigned_integer(report.total.values[i]));
    set_item(dict, "window", counter_dict(report.window));
    set_item(dict, "window_start", seconds(report.start));
    set_item(dict, "window_end", seconds(report.end));
    set_item(dict, "in_sync", boolean(report.in_sync));
    set_item(dict, "pat_present", boolean(report.pat_present));
    set_item(dict, "pmt_present", boolean(report.pmt_present));
    set_item(dict, "transport_stream_id", optional(report.transport_stream_id, small));
    set_item(dict, "delay_factor_ms", optional(report.delay_factor_ms, real));
    set_item(dict, "media_loss_rate", real(report.media_loss_rate));
    set_item(dict, "longest_gap", seconds(report.longest_gap));
    set_item(dict, "window_longest_gap", seconds(report.window_longest_gap));
    set_item(dict, "last_data", optional(report.last_data, seconds));
    set_item(dict, "rtp", boolean(report.rtp));
    Owned programs = Owned::steal(PyList_New(0));
    for (const auto& program : report.programs)
        check(PyList_Append(programs.get(), program_dict(program).get()));
    set_item(dict, "programs", programs);
    Owned pids = Owned::steal(PyList_New(0));
    for (const auto& pid : report.pids)
        check(PyList_Append(pids.get(), pid_dict(pid).get()));
    set_item(dict, "pids", pids);
    set_item(dict, "pid_count", unsigned_integer(report.pid_count));
    set_item(dict, "pcr_jitter_ms", optional(report.pcr_jitter_ms, real));
    set_item(dict, "pcr_accuracy_ns", optional(report.pcr_accuracy_ns, real));
    put_content(dict, report.content);
    return dict;
}

}  // namespace avwatch::analysis
