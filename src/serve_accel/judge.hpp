// The refresher's pass over every channel and pipe, in C: the same steps as
// Refresher.judge_channels, with each side's usual case (a live channel, a
// fresh rewritten usual record, a state unchanged) done here and every other
// case handed to the refresher's own Refresher.side.
#pragma once

#include "module/ref.hpp"

namespace avwatch::serve_accel {

// judge_channels(refresher, channels, values, status_values, written, now, analysis_values)
// -> list of ChannelView, as Refresher.judge_channels returns.
Owned judge_channels(PyObject* refresher, PyObject* channels, PyObject* values, PyObject* status_values,
                     PyObject* written, PyObject* now, PyObject* analysis_values);

}  // namespace avwatch::serve_accel
