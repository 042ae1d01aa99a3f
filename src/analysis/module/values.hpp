// Python values for the analyser's reports, on the project's reference layer.
#pragma once

#include "analysis/ts/analyser.hpp"
#include "module/api.hpp"

#include <optional>

namespace avwatch::analysis {

Owned real(double value);
Owned boolean(bool value);
// A monotonic time or duration in nanoseconds, as float seconds.
Owned seconds(ts::Nanos value);
template <class T>
Owned optional(const std::optional<T>& value, Owned (*convert)(T)) {
    return value ? convert(*value) : none();
}

// The report as the dict the binding returns (documented in the README).
Owned report_dict(const ts::Report& report);

// Seconds (a Python number) as nanoseconds; TypeError otherwise.
ts::Nanos nanos_from(Borrowed number);

}  // namespace avwatch::analysis
