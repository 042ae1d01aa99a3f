#include "analysis/module/content_values.hpp"

#include "analysis/module/values.hpp"

#include <cmath>

namespace avwatch::analysis {
namespace {

void set(Borrowed dict, const char* key, const Owned& value) {
    check(PyDict_SetItemString(dict.get(), key, value.get()));
}

Owned count(std::uint64_t value) { return Owned::steal(PyLong_FromUnsignedLongLong(value)); }
Owned whole(int value) { return integer(value); }
Owned flag(bool value) { return boolean(value); }
// JSON has no infinity or NaN: a silent stream's loudness is None.
Owned finite(double value) { return std::isfinite(value) ? real(value) : none(); }

Owned video_dict(const content::VideoReport& video) {
    Owned dict = Owned::steal(PyDict_New());
    set(dict, "pid", integer(video.pid));
    set(dict, "codec", text(video.codec));
    set(dict, "supported", boolean(video.supported));
    set(dict, "width", optional(video.width, whole));
    set(dict, "height", optional(video.height, whole));
    set(dict, "pictures", count(video.pictures));
    set(dict, "black", optional(video.black, flag));
    set(dict, "black_seconds", real(video.black_seconds));
    set(dict, "frozen", optional(video.frozen, flag));
    set(dict, "frozen_seconds", real(video.frozen_seconds));
    set(dict, "luma", optional(video.luma, finite));
    set(dict, "decode_errors", count(video.decode_errors));
    return dict;
}

Owned audio_dict(const content::AudioReport& audio) {
    Owned dict = Owned::steal(PyDict_New());
    set(dict, "pid", integer(audio.pid));
    set(dict, "codec", text(audio.codec));
    set(dict, "supported", boolean(audio.supported));
    set(dict, "channels", optional(audio.channels, whole));
    set(dict, "sample_rate", optional(audio.sample_rate, whole));
    set(dict, "silent", optional(audio.silent, flag));
    set(dict, "silent_seconds", real(audio.silent_seconds));
    set(dict, "momentary", optional(audio.momentary, finite));
    set(dict, "short_term", optional(audio.short_term, finite));
    set(dict, "integrated", optional(audio.integrated, finite));
    set(dict, "sample_peak", optional(audio.sample_peak, finite));
    set(dict, "frames", count(audio.frames));
    set(dict, "decode_errors", count(audio.decode_errors));
    return dict;
}

}  // namespace

void put_content(Borrowed dict, const content::ContentReport& report) {
    Owned content = Owned::steal(PyDict_New());
    set(content, "video", report.video ? video_dict(*report.video) : none());
    Owned audio = Owned::steal(PyList_New(0));
    for (const content::AudioReport& stream : report.audio)
        check(PyList_Append(audio.get(), audio_dict(stream).get()));
    set(content, "audio", audio);
    set(dict, "content", content);
    const auto& jpeg = report.thumbnail;
    set(dict, "thumbnail", jpeg ? Owned::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(jpeg->data()),
                                                                       static_cast<Py_ssize_t>(jpeg->size())))
                                : none());
}

}  // namespace avwatch::analysis
