#include "probe/answer.hpp"

#include "module/catching.hpp"
#include "probe/json_scan.hpp"
#include "probe/runner.hpp"

namespace avwatch {
namespace {

constexpr long long timeout_seconds = 3;

// The interpreter's own subprocess.run: a function of that name defined in
// the subprocess module that sys.modules holds.
bool is_interpreters_run(Borrowed run) {
    Owned globals = attr_if_present(run, "__globals__");
    if (!globals)
        return false;
    PyObject* module = PyImport_GetModule(Owned::steal(PyUnicode_FromString("subprocess")).get());
    if (module == nullptr) {
        if (PyErr_Occurred())
            throw ErrorSet{};
        return false;
    }
    Owned subprocess = Owned::steal(module);
    if (!PyModule_Check(subprocess.get()) || globals.get() != PyModule_GetDict(subprocess.get()))
        return false;
    Owned name = attr_if_present(run, "__name__");
    return name && equals(name, "run");
}

std::optional<Owned> through_replacement(const Call& call, Borrowed run, Borrowed command) {
    Owned keywords = Owned::steal(Py_BuildValue("(sss)", "capture_output", "text", "timeout"));
    Owned timeout = integer(timeout_seconds);
    PyObject* arguments[] = {command.get(), Py_True, Py_True, timeout.get()};
    PyObject* raw = PyObject_Vectorcall(run.get(), arguments, 1, keywords.get());
    if (raw == nullptr) {
        if (catch_error([&] { return attr(call.global("subprocess"), "TimeoutExpired"); }))
            return std::nullopt;
        throw ErrorSet{};
    }
    Owned result = Owned::steal(raw);
    Owned zero = integer(0);
    if (differs(attr(result, "returncode"), zero))
        return std::nullopt;
    Owned stdout_text = attr(result, "stdout");
    if (equals(stdout_text, ""))
        return std::nullopt;
    return first_json_value(stdout_text);
}

// The encoding of the interpreter's text-mode pipes: UTF-8 in UTF-8 mode,
// the locale's otherwise.
Owned text_mode_encoding() {
    Owned flags = attr(import("sys"), "flags");
    if (truthy(attr(flags, "utf8_mode")))
        return text("utf-8");
    return call_method(import("locale"), "getencoding");
}

// As a text-mode pipe reads: strict decoding, then universal newlines.
Owned decode_as_text(const std::string& bytes) {
    Owned encoding = text_mode_encoding();
    const char* encoding_name = PyUnicode_AsUTF8(encoding.get());
    if (encoding_name == nullptr)
        throw ErrorSet{};
    Owned decoded = Owned::steal(
        PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), encoding_name, "strict"));
    Owned crlf = text("\r\n");
    Owned cr = text("\r");
    Owned lf = text("\n");
    Owned joined = Owned::steal(PyUnicode_Replace(decoded.get(), crlf.get(), lf.get(), -1));
    return Owned::steal(PyUnicode_Replace(joined.get(), cr.get(), lf.get(), -1));
}

std::optional<Owned> through_native_runner(Borrowed command) {
    std::optional<ProberOutput> output = run_prober(command, std::chrono::seconds(timeout_seconds));
    if (!output)
        return std::nullopt;
    // Decoded first, as subprocess.run does: undecodable output raises even
    // from a failed prober.
    Owned stdout_text = decode_as_text(output->answer);
    if (output->returncode != 0 || PyUnicode_GET_LENGTH(stdout_text.get()) == 0)
        return std::nullopt;
    return stdout_text;
}

}  // namespace

Owned first_json_value(Borrowed stdout_text) {
    PyObject* value = stdout_text.get();
    if (!PyUnicode_Check(value))
        return stdout_text.share();
    JsonValueScanner scanner;
    Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    const void* data = PyUnicode_DATA(value);
    switch (PyUnicode_KIND(value)) {
    case PyUnicode_1BYTE_KIND:
        scanner.feed(static_cast<const Py_UCS1*>(data), static_cast<std::size_t>(length));
        break;
    case PyUnicode_2BYTE_KIND:
        scanner.feed(static_cast<const Py_UCS2*>(data), static_cast<std::size_t>(length));
        break;
    default:
        scanner.feed(static_cast<const Py_UCS4*>(data), static_cast<std::size_t>(length));
        break;
    }
    if (!scanner.complete())
        return stdout_text.share();
    return Owned::steal(PyUnicode_Substring(value, 0, static_cast<Py_ssize_t>(scanner.end())));
}

std::optional<Owned> prober_answer(const Call& call, Borrowed command) {
    Owned run = attr(call.global("subprocess"), "run");
    if (is_interpreters_run(run))
        return through_native_runner(command);
    return through_replacement(call, run, command);
}

}  // namespace avwatch
