#include "serve_accel/record.hpp"

#include "serve_accel/rules.hpp"

namespace avwatch::serve_accel {
namespace {

// The value of `key`, borrowed; null when absent.
PyObject* field(PyObject* record, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(record, key);
    if (value == nullptr && PyErr_Occurred())
        throw ErrorSet{};
    return value;
}

bool text_or_absent(PyObject* record, PyObject* key) {
    PyObject* value = field(record, key);
    return value == nullptr || PyUnicode_CheckExact(value);
}

// An exact int below 2**63 (orjson makes none below -2**63); absent allowed
// unless `required`.  bool is no number here.
bool number_or_absent(PyObject* record, PyObject* key, bool required) {
    PyObject* value = field(record, key);
    if (value == nullptr)
        return !required;
    if (!PyLong_CheckExact(value))
        return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    if (PyErr_Occurred())
        throw ErrorSet{};
    return overflow <= 0;
}

// 1, 0 or -1 as the int is positive, zero or negative.
int sign(PyObject* number) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred())
        throw ErrorSet{};
    if (overflow != 0)
        return overflow;
    return (value > 0) - (value < 0);
}

bool nonempty_text(PyObject* record, PyObject* key) {
    PyObject* value = field(record, key);
    return value != nullptr && PyUnicode_GET_LENGTH(value) > 0;
}

Owned verdict(PyObject* state, PyObject* record, PyObject* reason) {
    return make_tuple(rules().verdict, {state, record, reason});
}

}  // namespace

Owned make_tuple(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    Owned made = Owned::steal(type->tp_alloc(type, static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t at = 0;
    for (PyObject* item : items)
        PyTuple_SET_ITEM(made.get(), at++, Py_NewRef(item));
    return untracked(std::move(made));
}

Owned untracked(Owned made) {
    // Views and verdicts hold only decoded records (trees), text, numbers and
    // states: they can be in no cycle.  Left tracked, the hundreds of
    // thousands a refresh replaces would make every full collection walk
    // them all, costing more than the judging.
    if (PyObject_GC_IsTracked(made.get()))
        PyObject_GC_UnTrack(made.get());
    return made;
}

Owned usual_record(PyObject* raw) {
    if (!PyBytes_CheckExact(raw) || PyBytes_GET_SIZE(raw) > max_record_bytes || PyBytes_GET_SIZE(raw) == 0 ||
        PyBytes_AS_STRING(raw)[0] != '{')
        return {};
    const Rules& rule = rules();
    PyObject* decoded = PyObject_CallOneArg(rule.loads, raw);
    if (decoded == nullptr) {
        if (!PyErr_ExceptionMatches(rule.decode_error))
            throw ErrorSet{};
        PyErr_Clear();
        return {};
    }
    Owned record = Owned::steal(decoded);
    if (!PyDict_CheckExact(decoded))
        return {};
    const Names& n = names();
    if (text_or_absent(decoded, n.acodec) && text_or_absent(decoded, n.vcodec) &&
        text_or_absent(decoded, n.vresolution) && text_or_absent(decoded, n.lastts) &&
        number_or_absent(decoded, n.vfps, false) && number_or_absent(decoded, n.vbitrate, false) &&
        number_or_absent(decoded, n.abitrate, false) && number_or_absent(decoded, n.bitrate, true))
        return record;
    return {};
}

Owned signal_verdict(bool output, PyObject* record) {
    const Rules& rule = rules();
    const Names& n = names();
    // A usual record: "bitrate" is an int, the text fields are str when present.
    int bitrate_sign = sign(field(record, n.bitrate));
    if (output) {
        if (bitrate_sign <= 0)
            return verdict(rule.no_signal, record, n.bitrate_zero);
        PyObject* lastts = field(record, n.lastts);
        if (lastts == nullptr || PyUnicode_GET_LENGTH(lastts) == 0)
            return verdict(rule.no_signal, record, n.no_segment);
        Owned reason = Owned::steal(PyUnicode_Concat(n.newest_segment, lastts));
        return verdict(rule.ok, record, reason.get());
    }
    if (nonempty_text(record, n.acodec) || nonempty_text(record, n.vcodec) || bitrate_sign > 0)
        return verdict(rule.ok, record, n.probe_answered);
    int initial = PyDict_Contains(record, n.lastts);
    if (initial == 0)
        initial = PyDict_Contains(record, n.name);
    check(initial);
    return verdict(rule.no_signal, record, initial ? n.initial_record : n.no_answer);
}

}  // namespace avwatch::serve_accel
