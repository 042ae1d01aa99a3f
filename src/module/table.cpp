#include "module/table.hpp"

#include "module/bodies.hpp"

namespace avwatch {
namespace {

// Annotations hold the type objects themselves.  Each builder makes a fresh
// dict, so no two functions share one.
Owned annotations(std::initializer_list<std::pair<const char*, PyObject*>> entries) {
    Owned dict = Owned::steal(PyDict_New());
    for (const auto& [name, type] : entries)
        check(PyDict_SetItemString(dict.get(), name, type));
    return dict;
}

PyObject* str_type() { return reinterpret_cast<PyObject*>(&PyUnicode_Type); }
PyObject* int_type() { return reinterpret_cast<PyObject*>(&PyLong_Type); }

// The broker's class is read from the module global `redis` now, at creation.
Owned monitor_annotations(Borrowed globals) {
    PyObject* redis = PyDict_GetItemString(globals.get(), "redis");
    if (redis == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'redis' is not defined");
        throw ErrorSet{};
    }
    Owned client_class = attr(redis, "StrictRedis");
    return annotations({{"ch_uid", str_type()}, {"pipe_name", str_type()}, {"broker", client_class.get()}});
}

Owned freshness_annotations(Borrowed) { return annotations({{"file", str_type()}, {"fragment_time", int_type()}}); }

Owned playlist_annotations(Borrowed) {
    return annotations({{"playlist", str_type()}, {"pipe_name", str_type()}, {"return", int_type()}});
}

Owned no_annotations(Borrowed) { return annotations({}); }

Owned bit_depth_annotations(Borrowed) { return annotations({{"sample_format", str_type()}}); }

Owned probe_annotations(Borrowed) {
    return annotations(
        {{"uri", str_type()}, {"program_id", str_type()}, {"video_id", str_type()}, {"audio_id", str_type()}});
}

constexpr const char* monitor_parameters[] = {"ch_uid", "pipe_name", "broker", nullptr};
constexpr const char* freshness_parameters[] = {"file", "fragment_time", nullptr};
constexpr const char* playlist_parameters[] = {"playlist", "pipe_name", nullptr};
constexpr const char* no_parameters[] = {nullptr};
constexpr const char* bit_depth_parameters[] = {"sample_format", nullptr};
constexpr const char* probe_parameters[] = {"uri", "program_id", "video_id", "audio_id", nullptr};
constexpr const char* to_int_parameters[] = {"number", nullptr};

constexpr FunctionDefinition table[] = {
    {"ffmpeg_output_bitrate", monitor_parameters, 0, monitor_annotations, ffmpeg_output_bitrate},
    {"is_ts_file_recent", freshness_parameters, 0, freshness_annotations, is_ts_file_recent},
    {"get_bitrate_from_playlist", playlist_parameters, 0, playlist_annotations, get_bitrate_from_playlist},
    {"get_srs_fragment_time", no_parameters, 0, no_annotations, get_srs_fragment_time},
    {"ffmpeg_input_bitrate", monitor_parameters, 0, monitor_annotations, ffmpeg_input_bitrate},
    {"get_bit_depth", bit_depth_parameters, 0, bit_depth_annotations, get_bit_depth},
    {"get_ffprobe_info", probe_parameters, 3, probe_annotations, get_ffprobe_info},
    {"to_int", to_int_parameters, 0, no_annotations, to_int},
};

}  // namespace

std::span<const FunctionDefinition> public_functions() { return table; }

}  // namespace avwatch
