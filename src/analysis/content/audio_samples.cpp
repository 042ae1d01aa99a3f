#include "analysis/content/audio_samples.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

namespace avwatch::content {
namespace {

// A float decoder fed a corrupt frame can output anything: NaN and levels
// far past full scale would make the meters' figures meaningless or
// infinite, so floats are kept finite, within +12 dBFS (real sound
// overshoots full scale by far less).
constexpr float largest_level = 4.0f;

float bounded(double value) {
    if (!(value == value))
        return 0.0f;  // NaN
    return static_cast<float>(std::clamp(value, double{-largest_level}, double{largest_level}));
}

template <typename Sample>
float to_float(Sample value);

template <>
float to_float(float value) { return bounded(value); }
template <>
float to_float(double value) { return bounded(value); }
template <>
float to_float(std::int16_t value) { return static_cast<float>(value) * (1.0f / 32768.0f); }
template <>
float to_float(std::int32_t value) { return static_cast<float>(static_cast<double>(value) * (1.0 / 2147483648.0)); }
template <>
float to_float(std::uint8_t value) { return (static_cast<float>(value) - 128.0f) * (1.0f / 128.0f); }

template <typename Sample>
Sample read(const std::uint8_t* plane, std::size_t index) {
    Sample value;  // the frame's planes carry no alignment promise for every format
    std::memcpy(&value, plane + index * sizeof(Sample), sizeof(Sample));
    return value;
}

template <typename Sample>
void from_packed(const AVFrame& frame, int channels, float* out) {
    const std::size_t count = static_cast<std::size_t>(frame.nb_samples) * static_cast<std::size_t>(channels);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = to_float(read<Sample>(frame.extended_data[0], i));
}

template <typename Sample>
void from_planar(const AVFrame& frame, int channels, float* out) {
    const auto samples = static_cast<std::size_t>(frame.nb_samples);
    const auto stride = static_cast<std::size_t>(channels);
    for (int channel = 0; channel < channels; ++channel) {
        const std::uint8_t* plane = frame.extended_data[channel];
        for (std::size_t i = 0; i < samples; ++i)
            out[i * stride + static_cast<std::size_t>(channel)] = to_float(read<Sample>(plane, i));
    }
}

}  // namespace

bool interleaved_floats(const AVFrame& frame, int channels, std::vector<float>& out) {
    out.resize(static_cast<std::size_t>(frame.nb_samples) * static_cast<std::size_t>(channels));
    float* to = out.data();
    switch (frame.format) {
        case AV_SAMPLE_FMT_FLT: from_packed<float>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_FLTP: from_planar<float>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_S16: from_packed<std::int16_t>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_S16P: from_planar<std::int16_t>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_S32: from_packed<std::int32_t>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_S32P: from_planar<std::int32_t>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_DBL: from_packed<double>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_DBLP: from_planar<double>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_U8: from_packed<std::uint8_t>(frame, channels, to); return true;
        case AV_SAMPLE_FMT_U8P: from_planar<std::uint8_t>(frame, channels, to); return true;
        default: out.clear(); return false;
    }
}

}  // namespace avwatch::content
