#include "probe/reduce.hpp"

#include "module/catching.hpp"

namespace avwatch {
namespace {

Owned multiply(Borrowed a, Borrowed b) { return Owned::steal(PyNumber_Multiply(a.get(), b.get())); }

// The stream's id differs from `wanted` as passed and from the hexadecimal
// form of its integer value (ffprobe prints PIDs as 0x100).  An id that
// int() rejects (empty, or already hexadecimal text) can only match as text.
bool is_different_id(Borrowed id, Borrowed wanted) {
    if (!differs(id, to_str(wanted)))
        return false;
    PyObject* number = PyNumber_Long(wanted.get());
    if (number == nullptr) {
        if (!catch_error(PyExc_ValueError))
            throw ErrorSet{};
        return true;
    }
    Owned owned_number = Owned::steal(number);
    Owned hexadecimal = Owned::steal(PyNumber_ToBase(owned_number.get(), 16));
    return differs(id, hexadecimal);
}

class StreamReducer {
public:
    StreamReducer(const Call& call, const StreamFilter& filter, Borrowed record)
        : call_(call), filter_(filter), record_(record), width_(integer(0)), height_(integer(0)) {}

    void apply(Borrowed stream) {
        Owned codec_type = item_or_none(stream, "codec_type");
        if (!truthy(codec_type))
            return;
        if (filter_.is_udp_stream && !is_kept(stream))
            return;
        if (equals(codec_type, "audio"))
            apply_audio(stream);
        else if (equals(codec_type, "video"))
            apply_video(stream);
    }

    void finish() {
        set_item(record_, "vresolution", concat({formatted(width_), text("x"), formatted(height_)}));
        Owned sum = Owned::steal(PyNumber_Add(item(record_, "abitrate").get(), item(record_, "vbitrate").get()));
        set_item(record_, "bitrate", to_int(sum));
    }

private:
    Owned to_int(Borrowed value) const { return avwatch::call(call_.global("to_int"), {value}); }

    bool is_kept(Borrowed stream) const {
        Owned id = item_or_none(stream, "id");
        if (!truthy(id))
            return false;
        bool is_different_video_id = is_different_id(id, filter_.video_id);
        bool is_different_audio_id = is_different_id(id, filter_.audio_id);
        return !(is_different_video_id && is_different_audio_id);
    }

    void apply_audio(Borrowed stream) {
        if (contains(stream, "codec_name"))
            set_item(record_, "acodec", item(stream, "codec_name"));
        if (contains(stream, "bit_rate")) {
            set_item(record_, "abitrate", to_int(item(stream, "bit_rate")));
            return;
        }
        // Uncompressed audio: depth x rate x channels.
        if (contains(stream, "sample_fmt") && contains(stream, "sample_rate") && contains(stream, "channels")) {
            Owned bit_depth = avwatch::call(call_.global("get_bit_depth"), {item(stream, "sample_fmt")});
            Owned per_channel = multiply(bit_depth, to_int(item(stream, "sample_rate")));
            set_item(record_, "abitrate", multiply(per_channel, to_int(item(stream, "channels"))));
        }
    }

    void apply_video(Borrowed stream) {
        Owned bits_per_raw_sample = integer(8);
        if (contains(stream, "codec_name"))
            set_item(record_, "vcodec", item(stream, "codec_name"));
        if (contains(stream, "width"))
            width_ = item(stream, "width");
        if (contains(stream, "height"))
            height_ = item(stream, "height");
        if (contains(stream, "r_frame_rate"))
            set_item(record_, "vfps", frames_per_second(item(stream, "r_frame_rate")));
        if (contains(stream, "bit_rate")) {
            set_item(record_, "vbitrate", to_int(item(stream, "bit_rate")));
            return;
        }
        if (contains(stream, "bits_per_raw_sample"))
            bits_per_raw_sample = item(stream, "bits_per_raw_sample");
        if (truthy(width_) && truthy(height_))
            set_item(record_, "vbitrate", video_estimate(stream, bits_per_raw_sample));
    }

    // "30000/1001" -> 29.  ffprobe says "0/0" for an unknown rate: 0.
    Owned frames_per_second(Borrowed r_frame_rate) const {
        Owned split_fps = call_method(r_frame_rate, "split", {text("/")});
        Owned numerator = Owned::steal(PyNumber_Float(Owned::steal(PySequence_GetItem(split_fps.get(), 0)).get()));
        Owned denominator = Owned::steal(PyNumber_Float(Owned::steal(PySequence_GetItem(split_fps.get(), 1)).get()));
        if (PyFloat_AS_DOUBLE(denominator.get()) == 0.0)
            return integer(0);
        return to_int(Owned::steal(PyNumber_TrueDivide(numerator.get(), denominator.get())));
    }

    // width x height x fps x bits/100, read from this stream's own members.
    Owned video_estimate(Borrowed stream, Borrowed bits_per_raw_sample) const {
        Owned product = multiply(to_int(item(stream, "width")), to_int(item(stream, "height")));
        product = multiply(product, item(record_, "vfps"));
        Owned hundred = integer(100);
        Owned bits_share =
            Owned::steal(PyNumber_TrueDivide(to_int(bits_per_raw_sample).get(), hundred.get()));
        return to_int(multiply(product, bits_share));
    }

    const Call& call_;
    const StreamFilter& filter_;
    Borrowed record_;
    Owned width_;   // running: never reset between streams
    Owned height_;
};

}  // namespace

Owned default_stream_record() {
    Owned record = Owned::steal(PyDict_New());
    Owned empty = text("");
    Owned zero = integer(0);
    for (const char* key : {"acodec", "vcodec", "vresolution"})
        set_item(record, key, empty);
    for (const char* key : {"vfps", "vbitrate", "abitrate", "bitrate"})
        set_item(record, key, zero);
    return record;
}

void reduce_streams(const Call& call, Borrowed streams, const StreamFilter& filter, Borrowed record) {
    StreamReducer reducer(call, filter, record);
    Owned iterator = Owned::steal(PyObject_GetIter(streams.get()));
    while (PyObject* next = PyIter_Next(iterator.get())) {
        Owned stream = Owned::steal(next);
        reducer.apply(stream);
    }
    if (PyErr_Occurred())
        throw ErrorSet{};
    reducer.finish();
}

}  // namespace avwatch
