#include "serve_accel/evidence.hpp"

#include <cmath>
#include <initializer_list>

#include "serve_accel/rules.hpp"

namespace avwatch::serve_accel {
namespace {

// evidence.NO_DATA_AFTER, evidence.HOLD_SECONDS
constexpr double no_data_after = 1.5;
constexpr double hold_seconds = 10.0;

PyObject* field(PyObject* record, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(record, name);
    if (value == nullptr && PyErr_Occurred())
        throw ErrorSet{};
    return value;   // borrowed; null when absent
}

// evidence.number: an exact int of the 64-bit range or a finite float.
bool number(PyObject* value, double& out) {
    if (value == nullptr)
        return false;
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long whole = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0 || (whole == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        out = static_cast<double>(whole);
        return true;
    }
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return std::isfinite(out);
    }
    return false;
}

// A window counter that cannot have risen: absent, or a whole number not above 0.
bool quiet(PyObject* window, PyObject* name) {
    PyObject* value = field(window, name);
    if (value == nullptr)
        return true;
    if (!PyLong_CheckExact(value))
        return false;
    int overflow = 0;
    long long whole = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (whole == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow == 0 && whole <= 0;
}

// No counter rose within hold_seconds of the record (absent, or a time long before).
bool settled(PyObject* record, double written, const Names& n) {
    PyObject* times = field(record, n.error_times);
    if (times == nullptr || !PyDict_CheckExact(times))
        return true;
    for (PyObject* counter : n.window_counters) {
        PyObject* value = field(times, counter);
        double rose;
        if (value != nullptr && !(number(value, rose) && written - rose > hold_seconds))
            return false;
    }
    return true;
}

bool input_healthy(PyObject* record, double written, const Names& n) {
    double age;
    if (!number(field(record, n.data_age), age) || age > no_data_after)
        return false;
    if (field(record, n.in_sync) == Py_False)
        return false;
    if (!settled(record, written, n))
        return false;
    PyObject* window = field(record, n.window);
    if (window == nullptr || !PyDict_CheckExact(window))
        return true;   // no counts, no faults
    for (PyObject* counter : n.window_counters)
        if (!quiet(window, counter))
            return false;
    return true;
}

bool output_healthy(PyObject* record, const Names& n) {
    if (field(record, n.stale) == Py_True)
        return false;
    PyObject* checks = field(record, n.checks_failed);
    return checks == nullptr || !PyList_CheckExact(checks) || PyList_GET_SIZE(checks) == 0;
}

// content_evidence.content_faults finds nothing: no flag true, the
// loudness judged (the last minute's, else the short-term) unknown or within
// the tolerance of the target.
bool content_healthy(PyObject* record, const Names& n, const Loudness& loudness) {
    for (PyObject* flag : {n.black, n.frozen, n.silent})
        if (field(record, flag) == Py_True)
            return false;
    double lufs;
    if (!number(field(record, n.loudness_minute), lufs) && !number(field(record, n.loudness), lufs))
        return true;
    return std::fabs(lufs - loudness.target) <= loudness.tolerance;
}

}  // namespace

Owned healthy_rate(bool output, PyObject* record, double now, double stale_after, const Loudness& loudness) {
    if (!PyDict_CheckExact(record))
        return {};
    const Names& n = names();
    double written;
    if (!number(field(record, n.time), written) || !(now - written <= stale_after))
        return {};
    if (!(output ? output_healthy(record, n) : input_healthy(record, written, n)))
        return {};
    if (!content_healthy(record, n, loudness))
        return {};
    double rate;
    // The HLS check's 0 means nothing measurable (no measurement): the Python rules.
    if (!number(field(record, n.bitrate), rate) || rate < 0 || (output && rate == 0))
        return {};
    return Owned::steal(PyFloat_FromDouble(rate));
}

}  // namespace avwatch::serve_accel
