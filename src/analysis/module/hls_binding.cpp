// HlsOutput (one output checked check after check) and the parse functions
// the tests and the fuzzing drive directly.
#include "analysis/module/hls_binding.hpp"

#include "analysis/hls/master_playlist.hpp"
#include "analysis/hls/media_playlist.hpp"
#include "analysis/hls/output_check.hpp"
#include "analysis/hls/segment_ts.hpp"
#include "analysis/module/content_values.hpp"
#include "analysis/module/py_values.hpp"

#include <algorithm>
#include <cmath>
#include <cxxabi.h>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

namespace avwatch::analysis {
namespace {

struct HlsOutputObject {
    PyObject_HEAD
    hls::OutputChecker* checker;
    bool busy;  // a check is running with the lock released
};

// The interpreter lock released, as WithoutGil, but taken back for a moment
// now and then.  Once the interpreter is exiting, taking it back ends this
// thread by a forced unwind: from inside take(), the lock is not given back
// once more on the way out.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~LockReleased() noexcept(false) {
        if (std::exchange(released_, false))
            PyEval_RestoreThread(state_);
    }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    void take() {
        released_ = false;
        PyEval_RestoreThread(state_);
    }
    void give() noexcept {
        state_ = PyEval_SaveThread();
        released_ = true;
    }

private:
    PyThreadState* state_;
    bool released_ = true;
};

std::string path_argument(PyObject* path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded))
        throw ErrorSet{};
    Owned bytes = Owned::steal(encoded);
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

PyObject* hls_output_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary([&] {
        static const char* keywords[] = {"playlist", "master", nullptr};
        PyObject* playlist = nullptr;
        PyObject* master = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:HlsOutput", const_cast<char**>(keywords), &playlist,
                                         &master))
            throw ErrorSet{};
        std::string playlist_path = path_argument(playlist);
        std::string master_path = master == Py_None ? std::string() : path_argument(master);
        if (playlist_path.empty()) {
            PyErr_SetString(PyExc_ValueError, "HlsOutput: the playlist path is empty");
            throw ErrorSet{};
        }
        auto checker = std::make_unique<hls::OutputChecker>(playlist_path, master_path);
        Owned self = Owned::steal(type->tp_alloc(type, 0));
        auto* object = reinterpret_cast<HlsOutputObject*>(self.get());
        object->checker = checker.release();
        object->busy = false;
        return self;
    });
}

void hls_output_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<HlsOutputObject*>(self)->checker;
    type->tp_free(self);
    Py_DECREF(type);
}

// Seconds rounded to the millisecond; JSON has no infinity or NaN, so
// neither reaches a record (0 or None stands in).
double finite_seconds(double value) { return std::isfinite(value) ? std::round(value * 1000) / 1000 : 0.0; }

Owned report_dict(const hls::Report& report) {
    Owned dict = new_dict();
    auto integer_or_none = [](const std::optional<std::int64_t>& value) {
        return optional_value(value, [](std::int64_t v) { return integer(v); });
    };
    auto real_or_none = [](const std::optional<double>& value) {
        if (value && !std::isfinite(*value))
            return none();
        return optional_value(value, [](double v) { return real(finite_seconds(v)); });
    };
    put(dict, "media_sequence", integer_or_none(report.media_sequence));
    put(dict, "bitrate", integer(report.bitrate.value_or(0)));
    put(dict, "stale", boolean(report.stale));
    std::vector<std::string> texts, codes;
    for (const hls::Problem& problem : report.problems) {
        texts.push_back(problem.text);
        if (std::find(codes.begin(), codes.end(), problem.code) == codes.end())
            codes.push_back(problem.code);
    }
    put(dict, "problems", text_list(texts));
    put(dict, "checks_failed", text_list(codes));
    put(dict, "discontinuity_sequence", integer_or_none(report.discontinuity_sequence));
    put(dict, "target_duration", integer_or_none(report.target_duration));
    put(dict, "segments", unsigned_integer(report.segments));
    put(dict, "duration", real(finite_seconds(report.duration)));
    put(dict, "bytes", unsigned_integer(report.bytes));
    put(dict, "peak_segment_bitrate", integer_or_none(report.peak_segment_bitrate));
    put(dict, "declared_bitrate", integer_or_none(report.declared_bitrate));
    put(dict, "unchanged_for", real_or_none(report.unchanged_for));
    put(dict, "newest_segment", lossy_text(report.newest_segment));
    put(dict, "continuity_errors", unsigned_integer(report.continuity_errors));
    put(dict, "lag", real_or_none(report.lag));
    put(dict, "stray_files", text_list(report.stray_files));
    put(dict, "stray_count", unsigned_integer(report.stray_count));
    put(dict, "sequence_resets", unsigned_integer(report.sequence_resets));
    put(dict, "unread_segments", unsigned_integer(report.unread_segments));
    put(dict, "missing_segment_checks", unsigned_integer(report.missing_segment_checks));
    put_content(dict, report.content);
    return dict;
}

PyObject* hls_output_check(PyObject* self, PyObject*) {
    return at_boundary([&] {
        auto* object = reinterpret_cast<HlsOutputObject*>(self);
        if (object->busy) {
            PyErr_SetString(PyExc_RuntimeError, "HlsOutput.check: already running in another thread");
            throw ErrorSet{};
        }
        object->busy = true;
        hls::Report report;
        std::exception_ptr failure;
        {
            // Reads of local files, bounded by the read budget; between them
            // a pending signal (Ctrl-C) ends the check at once, its exception
            // left set for this thread.
            LockReleased unlocked;
            auto signalled = [&unlocked] {
                unlocked.take();
                bool raised = PyErr_CheckSignals() != 0;
                unlocked.give();
                return raised;
            };
            try {
                report = object->checker->check(signalled);
            } catch (abi::__forced_unwind&) {
                throw;  // the exiting interpreter ends this thread
            } catch (...) {
                failure = std::current_exception();
            }
        }
        object->busy = false;
        if (failure) {
            PyErr_Clear();  // the native failure is the one to raise
            std::rethrow_exception(failure);
        }
        if (object->checker->interrupted())
            throw ErrorSet{};
        return report_dict(report);
    });
}

PyObject* hls_output_playlist(PyObject* self, void*) {
    return at_boundary([&] {
        const std::string& path = reinterpret_cast<HlsOutputObject*>(self)->checker->playlist();
        return Owned::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    });
}

PyMethodDef hls_output_methods[] = {
    {"check", hls_output_check, METH_NOARGS,
     "check() -> dict: read the playlist, its segments and the folder once more and report."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef hls_output_getset[] = {
    {"playlist", hls_output_playlist, nullptr, "the media playlist's absolute path", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hls_output_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hls_output_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hls_output_dealloc)},
    {Py_tp_methods, hls_output_methods},
    {Py_tp_getset, hls_output_getset},
    {Py_tp_doc, const_cast<char*>("HlsOutput(playlist, master=None): one HLS output, checked as a player sees it.")},
    {0, nullptr},
};

PyType_Spec hls_output_spec = {
    "avwatch_analysis.HlsOutput", sizeof(HlsOutputObject), 0, Py_TPFLAGS_DEFAULT, hls_output_slots,
};

// ---- the parse functions ----

Owned errors_list(const hls::ErrorList& errors) { return text_list(errors.kept()); }

// Every parse's answer says first whether the bytes can be a playlist at
// all ("text"); nothing more is said of bytes that cannot.
bool put_is_playlist_text(Borrowed dict, const std::string& bytes) {
    bool is_text = bytes.size() <= hls::max_playlist_bytes && hls::is_playlist_text(bytes);
    put(dict, "text", boolean(is_text));
    return is_text;
}

PyObject* parse_media_playlist(PyObject*, PyObject* data) {
    return at_boundary([&] {
        std::string bytes = bytes_argument(data);
        Owned dict = new_dict();
        if (!put_is_playlist_text(dict, bytes))
            return dict;
        hls::MediaPlaylist playlist = hls::parse_media_playlist(bytes);
        put(dict, "header", boolean(playlist.has_header));
        put(dict, "master", boolean(playlist.is_master));
        put(dict, "ended", boolean(playlist.ended));
        put(dict, "target_duration",
            optional_value(playlist.target_duration, [](std::int64_t v) { return integer(v); }));
        put(dict, "media_sequence", integer(playlist.media_sequence));
        put(dict, "discontinuity_sequence", integer(playlist.discontinuity_sequence));
        Owned segments = Owned::steal(PyList_New(0));
        for (const hls::MediaSegment& segment : playlist.segments) {
            Owned entry = new_dict();
            put(entry, "uri", lossy_text(segment.uri));
            put(entry, "duration", real(segment.duration));
            put(entry, "sequence", integer(segment.sequence));
            put(entry, "discontinuity", boolean(segment.discontinuity));
            check(PyList_Append(segments.get(), entry.get()));
        }
        put(dict, "segments", segments);
        put(dict, "errors", errors_list(playlist.errors));
        put(dict, "error_count", unsigned_integer(playlist.errors.count()));
        return dict;
    });
}

PyObject* parse_master_playlist(PyObject*, PyObject* args) {
    return at_boundary([&] {
        PyObject* data = nullptr;
        PyObject* select = Py_None;
        if (!PyArg_ParseTuple(args, "O|O:parse_master_playlist", &data, &select))
            throw ErrorSet{};
        std::string bytes = bytes_argument(data);
        Owned dict = new_dict();
        if (!put_is_playlist_text(dict, bytes))
            return dict;
        std::function<bool(std::string_view)> keep;
        if (select != Py_None)
            keep = [select](std::string_view uri) {
                Owned answer = Owned::steal(PyObject_CallOneArg(select, lossy_text(uri).get()));
                int truth = PyObject_IsTrue(answer.get());
                check(truth);
                return truth == 1;
            };
        hls::MasterPlaylist master = hls::parse_master_playlist(bytes, keep);
        put(dict, "header", boolean(master.has_header));
        Owned variants = Owned::steal(PyList_New(0));
        for (const hls::Variant& variant : master.variants) {
            Owned entry = new_dict();
            put(entry, "uri", lossy_text(variant.uri));
            put(entry, "bandwidth", optional_value(variant.bandwidth, [](std::int64_t v) { return integer(v); }));
            put(entry, "average_bandwidth",
                optional_value(variant.average_bandwidth, [](std::int64_t v) { return integer(v); }));
            check(PyList_Append(variants.get(), entry.get()));
        }
        put(dict, "variants", variants);
        put(dict, "variant_count", unsigned_integer(master.variant_count));
        put(dict, "errors", errors_list(master.errors));
        return dict;
    });
}

PyObject* read_ts_segment(PyObject*, PyObject* data) {
    return at_boundary([&] {
        std::string bytes = bytes_argument(data);
        hls::TsFacts facts = hls::read_ts_segment(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        Owned dict = new_dict();
        put(dict, "packets", unsigned_integer(facts.packets));
        put(dict, "sync_errors", unsigned_integer(facts.sync_errors));
        put(dict, "trailing_bytes", unsigned_integer(facts.trailing_bytes));
        put(dict, "starts_with_sync", boolean(facts.starts_with_sync));
        put(dict, "pat_before_media", boolean(facts.pat_before_media));
        put(dict, "pmt_before_media", boolean(facts.pmt_before_media));
        put(dict, "has_video", boolean(facts.has_video));
        put(dict, "key_frame_first", optional_value(facts.video_starts_on_key_frame, boolean));
        put(dict, "continuity_errors", unsigned_integer(facts.continuity_errors));
        put(dict, "table_crc_errors", unsigned_integer(facts.table_crc_errors));
        return dict;
    });
}

PyMethodDef functions[] = {
    {"parse_media_playlist", parse_media_playlist, METH_O,
     "parse_media_playlist(data: bytes) -> dict: the segments and tags of a media playlist."},
    {"parse_master_playlist", parse_master_playlist, METH_VARARGS,
     "parse_master_playlist(data: bytes, select=None) -> dict: the variants of a master playlist (the first 1000; "
     "with select, those whose URI select(uri) accepts, wherever listed)."},
    {"read_ts_segment", read_ts_segment, METH_O,
     "read_ts_segment(data: bytes) -> dict: what the segment checks see in MPEG-TS bytes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_hls(Borrowed module) {
    Owned type = Owned::steal(PyType_FromSpec(&hls_output_spec));
    check(PyModule_AddObjectRef(module.get(), "HlsOutput", type.get()));
    check(PyModule_AddFunctions(module.get(), functions));
    Owned codes = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(hls::check_code_count)));
    for (std::size_t i = 0; i < hls::check_code_count; ++i)
        PyTuple_SET_ITEM(codes.get(), static_cast<Py_ssize_t>(i), text(hls::check_codes[i]).release());
    check(PyModule_AddObjectRef(module.get(), "HLS_CHECK_CODES", codes.get()));
}

}  // namespace avwatch::analysis
