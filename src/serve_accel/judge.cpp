#include "serve_accel/judge.hpp"

#include "serve_accel/evidence.hpp"
#include "serve_accel/record.hpp"
#include "serve_accel/rules.hpp"

namespace avwatch::serve_accel {
namespace {

// Field positions in the named tuples (plan.Judged, snapshot's views).
enum JudgedField { judged_live, judged_raw, judged_verdict, judged_preview };
enum VerdictField { verdict_state, verdict_record, verdict_reason };
enum SideField {
    side_state, side_reason, side_record, side_raw, side_written_at, side_since, side_first_read, side_measured
};
enum PipeField { pipe_id, pipe_channel, pipe_pipe, pipe_input, pipe_output, pipe_analysis };
enum ChannelField { channel_name, channel_live, channel_pipes };

// Channels judged between two chances for the other threads to run.
constexpr Py_ssize_t judge_slice = 1000;

[[noreturn]] void fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorSet{};
}

Owned get(PyObject* object, PyObject* name) { return Owned::steal(PyObject_GetAttr(object, name)); }

void set(PyObject* object, PyObject* name, PyObject* value) { check(PyObject_SetAttr(object, name, value)); }

// Item `at` of a named tuple made by serve, borrowed.
PyObject* item(PyObject* tuple, Py_ssize_t at) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) <= at)
        fail(PyExc_TypeError, "a view or verdict of another shape");
    return PyTuple_GET_ITEM(tuple, at);
}

PyObject* list_item(PyObject* list, Py_ssize_t at) {
    if (at < 0 || at >= PyList_GET_SIZE(list))
        fail(PyExc_IndexError, "list index out of range");
    return PyList_GET_ITEM(list, at);
}

PyObject* checked_list(PyObject* object, const char* what) {
    if (!PyList_Check(object))
        fail(PyExc_TypeError, what);
    return object;
}

bool truthy(PyObject* object) { return check(PyObject_IsTrue(object)) != 0; }

bool equal(PyObject* a, PyObject* b) {
    // As `==` in a condition: no identity shortcut (NaN != NaN).
    Owned result = Owned::steal(PyObject_RichCompare(a, b, Py_EQ));
    return truthy(result.get());
}

double as_double(PyObject* number) {
    double value = PyFloat_AsDouble(number);
    if (value == -1.0 && PyErr_Occurred())
        throw ErrorSet{};
    return value;
}

class Pass {
public:
    Pass(PyObject* refresher, PyObject* status_values, PyObject* written, PyObject* now, PyObject* analysis_values)
        : refresher_(refresher), status_values_(status_values), written_(written), analysis_values_(analysis_values),
          now_(now),
          now_value_(as_double(now)), n_(names()) {
        stale_after_ = as_double(get(refresher, n_.stale_after).get());
        loudness_.target = as_double(get(refresher, n_.loudness_target).get());
        loudness_.tolerance = as_double(get(refresher, n_.loudness_tolerance).get());
        Owned history = get(refresher, n_.history);
        Owned current = get(history.get(), n_.current);
        if (!PyTuple_Check(current.get()) || PyTuple_GET_SIZE(current.get()) != 2)
            fail(PyExc_TypeError, "history.current: a pair was expected");
        current_ = current;
        // The HLS check's records by pipe id (hls_records.HlsRecords), looked up only when there are any.
        Owned hls = get(refresher, n_.hls);
        hls_records_ = get(hls.get(), n_.records);
        Py_ssize_t hls_count = PyObject_Length(hls_records_.get());
        if (hls_count < 0)
            throw ErrorSet{};
        any_hls_ = hls_count > 0;
    }

    Owned channel(PyObject* state, PyObject* channel_raw) {
        Owned kept_raw = get(state, n_.raw);
        Owned read = get(state, n_.judged);
        if (check(PyObject_RichCompareBool(channel_raw, kept_raw.get(), Py_NE)) || !truthy(read.get()))
            Owned::steal(PyObject_CallMethodObjArgs(refresher_, n_.read_channel, state, channel_raw, nullptr));
        Owned live = get(state, n_.live);
        Owned view = get(state, n_.view);
        bool changed = view.get() == Py_None || item(view.get(), channel_live) != live.get();
        Owned pipes = get(state, n_.pipes);
        checked_list(pipes.get(), "channel pipes: a list was expected");
        // The list is the plan's own and not changed meanwhile; a copy costs little and guards it.
        Owned kept = Owned::steal(PyList_GetSlice(pipes.get(), 0, PyList_GET_SIZE(pipes.get())));
        Py_ssize_t count = PyList_GET_SIZE(kept.get());
        for (Py_ssize_t at = 0; at < count; ++at)
            changed |= pipe(PyList_GET_ITEM(kept.get(), at), live.get());
        view = get(state, n_.view);
        if (changed || view.get() == Py_None) {
            Owned shown = get(state, n_.shown);
            Owned pipe_views = Owned::steal(PyList_New(0));
            for (Py_ssize_t at = 0; at < count; ++at) {
                Owned pipe_view = get(PyList_GET_ITEM(kept.get(), at), n_.view);
                if (truthy(pipe_view.get()))
                    check(PyList_Append(pipe_views.get(), pipe_view.get()));
            }
            Owned views = untracked(Owned::steal(PyList_AsTuple(pipe_views.get())));
            view = make_tuple(rules().channel_view, {shown.get(), live.get(), views.get()});
            set(state, n_.view, view.get());
        }
        return view;
    }

private:
    // The value and write time at a slot of the status keys (None, None without one).
    std::pair<Owned, Owned> slot(PyObject* tracked, PyObject* name) {
        Owned index = get(tracked, name);
        Py_ssize_t at = PyLong_AsSsize_t(index.get());
        if (at == -1 && PyErr_Occurred())
            throw ErrorSet{};
        if (at < 0)
            return {Owned::share(Py_None), Owned::share(Py_None)};
        return {Owned::share(list_item(status_values_, at)), Owned::share(list_item(written_, at))};
    }

    // The input analyser's value for the pipe (None without one).
    Owned analysis_value(PyObject* tracked) {
        Owned index = get(tracked, n_.analysis_at);
        Py_ssize_t at = PyLong_AsSsize_t(index.get());
        if (at == -1 && PyErr_Occurred())
            throw ErrorSet{};
        if (at < 0)
            return Owned::share(Py_None);
        return Owned::share(list_item(analysis_values_, at));
    }

    // What the pipe's memory keeps of the analyser's value: its hash, not its
    // 2 kB (analysis.value_key); None without one; a key stands for itself.
    Owned analysis_key(PyObject* raw) {
        if (raw == Py_None || PyLong_CheckExact(raw))
            return Owned::share(raw);
        Py_hash_t hash = PyObject_Hash(raw);
        if (hash == -1)
            throw ErrorSet{};
        return Owned::steal(PyLong_FromSsize_t(hash));
    }

    // The input analyser's record, as the pipe's own reader (analysis.Analysis) keeps it:
    // its `parsed` while the value is the one it parsed, else its `record(raw)`.
    Owned analysis_record(PyObject* tracked, PyObject* raw, PyObject* key) {
        Owned reader = get(tracked, n_.analysis);
        Owned kept = get(reader.get(), n_.key);
        if (!check(PyObject_RichCompareBool(key, kept.get(), Py_NE)))
            return get(reader.get(), n_.parsed);
        return Owned::steal(PyObject_CallMethodObjArgs(reader.get(), n_.record, raw, nullptr));
    }

    // The pipe's HLS check record, or None.
    Owned hls_record(PyObject* tracked) {
        if (!any_hls_)
            return Owned::share(Py_None);
        Owned id = get(tracked, n_.id);
        PyObject* found = PyObject_GetItem(hls_records_.get(), id.get());
        if (found == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw ErrorSet{};
            PyErr_Clear();
            return Owned::share(Py_None);
        }
        return Owned::steal(found);
    }

    bool fresh(PyObject* written_at) {
        return written_at == Py_None || now_value_ - as_double(written_at) <= stale_after_;
    }

    // Whether the pipe's view changed.
    bool pipe(PyObject* tracked, PyObject* live) {
        auto [input_raw, input_written] = slot(tracked, n_.input_at);
        auto [output_raw, output_written] = slot(tracked, n_.output_at);
        Owned analysis_raw = analysis_value(tracked);
        Owned key = analysis_key(analysis_raw.get());
        Owned seen = untracked(Owned::steal(PyTuple_Pack(6, live, input_raw.get(), input_written.get(),
                                                         output_raw.get(), output_written.get(), key.get())));
        Owned before = get(tracked, n_.seen);
        Owned reader = get(tracked, n_.analysis);
        Owned parsed = get(reader.get(), n_.parsed);
        Owned hls = hls_record(tracked);
        // Unchanged inputs give the same view, unless a side may have gone
        // stale since, or an analyser's record (whose weight changes with
        // its age) bears on it.
        if (check(PyObject_RichCompareBool(seen.get(), before.get(), Py_EQ)) && fresh(input_written.get()) &&
            fresh(output_written.get()) && parsed.get() == Py_None && hls.get() == Py_None)
            return false;
        set(tracked, n_.seen, seen.get());
        Owned analysis = analysis_record(tracked, analysis_raw.get(), key.get());   // before the sides: the input's evidence
        Owned input = side(tracked, 0, live, input_raw.get(), input_written.get(), analysis.get());
        Owned output = side(tracked, 1, live, output_raw.get(), output_written.get(), hls.get());
        Owned view = get(tracked, n_.view);
        if (view.get() != Py_None && item(view.get(), pipe_input) == input.get() &&
            item(view.get(), pipe_output) == output.get() && item(view.get(), pipe_analysis) == analysis.get())
            return false;
        Owned id = get(tracked, n_.id);
        Owned channel = get(tracked, n_.channel);
        Owned pipe_name = get(tracked, n_.pipe);
        view = make_tuple(rules().pipe_view,
                          {id.get(), channel.get(), pipe_name.get(), input.get(), output.get(), analysis.get()});
        set(tracked, n_.view, view.get());
        // History.set: both samples known before either is stored.
        Owned row = get(tracked, n_.row);
        Owned input_sample = sample(input.get());
        Owned output_sample = sample(output.get());
        check(PyObject_SetItem(PyTuple_GET_ITEM(current_.get(), 0), row.get(), input_sample.get()));
        check(PyObject_SetItem(PyTuple_GET_ITEM(current_.get(), 1), row.get(), output_sample.get()));
        return true;
    }

    // A side's bitrate for the history: the measured one, else its record's, NaN without either.
    Owned sample(PyObject* side_view) {
        PyObject* measured = item(side_view, side_measured);
        if (measured != Py_None)
            return Owned::share(measured);
        PyObject* record = item(side_view, side_record);
        Owned value;
        if (record != Py_None)
            value = Owned::steal(PyObject_GetItem(record, n_.bitrate));
        if (record == Py_None || value.get() == Py_None)
            value = Owned::steal(PyFloat_FromDouble(Py_NAN));
        return value;
    }

    // Refresher.side, in Python: every case but the usual one.
    Owned python_side(PyObject* tracked, int index, PyObject* live, PyObject* raw, PyObject* written_at) {
        Owned position = Owned::steal(PyLong_FromLong(index));
        return Owned::steal(PyObject_CallMethodObjArgs(refresher_, n_.side, tracked, position.get(), live, raw,
                                                       written_at, now_, nullptr));
    }

    // `evidence`: the side's analyser record (None without one).
    Owned side(PyObject* tracked, int index, PyObject* live, PyObject* raw, PyObject* written_at,
               PyObject* evidence) {
        // A stale side, a channel not live and an absent record: the judge's general rules.
        if (live != Py_True || raw == Py_None || !fresh(written_at))
            return python_side(tracked, index, live, raw, written_at);
        Owned judged_sides = get(tracked, n_.judged);
        checked_list(judged_sides.get(), "judged: a list was expected");
        Owned judged = Owned::share(list_item(judged_sides.get(), index));
        if (judged.get() == Py_None || item(judged.get(), judged_live) != live ||
            check(PyObject_RichCompareBool(item(judged.get(), judged_raw), raw, Py_NE))) {
            Owned record = usual_record(raw);
            if (!record)
                return python_side(tracked, index, live, raw, written_at);
            Owned verdict = signal_verdict(index == 1, record.get());
            judged = make_tuple(rules().judged, {live, raw, verdict.get(), Py_None});
            check(PyList_SetItem(judged_sides.get(), index, Owned(judged).release()));
        }
        PyObject* verdict = item(judged.get(), judged_verdict);
        PyObject* state = item(verdict, verdict_state);
        PyObject* record = item(verdict, verdict_record);
        PyObject* reason = item(verdict, verdict_reason);
        // An analyser's record that shows no fault leaves an ok verdict as it
        // is and gives the measured rate; any other is evidence.weigh's to judge.
        Owned rate = Owned::share(Py_None);
        if (evidence != Py_None) {
            if (state != rules().ok)
                return python_side(tracked, index, live, raw, written_at);
            rate = healthy_rate(index == 1, evidence, now_value_, stale_after_, loudness_);
            if (!rate)
                return python_side(tracked, index, live, raw, written_at);
        }
        Owned view = get(tracked, n_.view);
        if (view.get() == Py_None)
            return python_side(tracked, index, live, raw, written_at);   // a first read: maybe an event
        PyObject* old = item(view.get(), index ? pipe_output : pipe_input);
        if (old == Py_None || item(old, side_state) != state)
            return python_side(tracked, index, live, raw, written_at);   // a change of state: an event
        if (item(old, side_record) == record && equal(item(old, side_written_at), written_at) &&
            equal(item(old, side_reason), reason) && equal(item(old, side_measured), rate.get()))
            return Owned::share(old);
        PyObject* since = item(old, side_since);
        if (since == Py_None)
            return python_side(tracked, index, live, raw, written_at);
        return make_tuple(rules().side_view, {state, reason, record, item(judged.get(), judged_preview), written_at,
                                              since, item(old, side_first_read), rate.get()});
    }

    PyObject* refresher_;
    PyObject* status_values_;
    PyObject* written_;
    PyObject* analysis_values_;
    PyObject* now_;
    double now_value_;
    double stale_after_ = 0.0;
    Loudness loudness_;
    Owned current_;
    Owned hls_records_;
    bool any_hls_ = false;
    const Names& n_;
};

}  // namespace

Owned judge_channels(PyObject* refresher, PyObject* channels, PyObject* values, PyObject* status_values,
                     PyObject* written, PyObject* now, PyObject* analysis_values) {
    if (rules().side_view == nullptr)
        fail(PyExc_RuntimeError, "judge_channels before configure");
    checked_list(channels, "channels: a list was expected");
    checked_list(values, "values: a list was expected");
    checked_list(status_values, "status_values: a list was expected");
    checked_list(written, "written: a list was expected");
    checked_list(analysis_values, "analysis_values: a list was expected");
    if (!PyFloat_CheckExact(now))
        fail(PyExc_TypeError, "now: a float was expected");
    Pass pass(refresher, status_values, written, now, analysis_values);
    Owned views = Owned::steal(PyList_New(0));
    // Python's zip(plan.channels, values): as many as the shorter holds
    // (read again each time: other threads run between the slices below).
    for (Py_ssize_t at = 0; at < std::min(PyList_GET_SIZE(channels), PyList_GET_SIZE(values)); ++at) {
        // A pass over 100,000 channels takes most of a second: now and then
        // the other threads get the GIL, the main one first to handle a
        // SIGTERM, as they would between bytecodes.
        if (at % judge_slice == judge_slice - 1) {
            Py_BEGIN_ALLOW_THREADS
            Py_END_ALLOW_THREADS
        }
        Owned state = Owned::share(PyList_GET_ITEM(channels, at));
        Owned raw = Owned::share(PyList_GET_ITEM(values, at));
        check(PyList_Append(views.get(), pass.channel(state.get(), raw.get()).get()));
    }
    return views;
}

}  // namespace avwatch::serve_accel
