#include "analysis/content/loudness_meter.hpp"

#include <algorithm>
#include <cmath>

#include <ebur128.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace avwatch::content {
namespace {

constexpr int meter_mode =
    EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_HISTOGRAM;

int r128_channel(AVChannel channel) {
    switch (channel) {
        case AV_CHAN_FRONT_LEFT: return EBUR128_LEFT;
        case AV_CHAN_FRONT_RIGHT: return EBUR128_RIGHT;
        case AV_CHAN_FRONT_CENTER: return EBUR128_CENTER;
        case AV_CHAN_LOW_FREQUENCY:
        case AV_CHAN_LOW_FREQUENCY_2: return EBUR128_UNUSED;
        case AV_CHAN_BACK_LEFT:
        case AV_CHAN_SIDE_LEFT:
        case AV_CHAN_SURROUND_DIRECT_LEFT: return EBUR128_LEFT_SURROUND;
        case AV_CHAN_BACK_RIGHT:
        case AV_CHAN_SIDE_RIGHT:
        case AV_CHAN_SURROUND_DIRECT_RIGHT: return EBUR128_RIGHT_SURROUND;
        case AV_CHAN_BACK_CENTER: return EBUR128_Mp180;
        default: return EBUR128_Mp000;  // any other speaker counts at unit weight
    }
}

// One of libebur128's readings, floored; nullopt when it failed.
template <typename Reading>
std::optional<double> floored(Reading reading, ebur128_state* state, double floor) {
    double value = 0;
    if (reading(state, &value) != EBUR128_SUCCESS)
        return std::nullopt;
    return std::isfinite(value) ? std::max(value, floor) : floor;
}

}  // namespace

LoudnessMeter::~LoudnessMeter() {
    if (state_ != nullptr)
        ebur128_destroy(&state_);
}

bool LoudnessMeter::ready(const AVChannelLayout& layout, int sample_rate) {
    const int channels = layout.nb_channels;
    if (state_ != nullptr && channels == channels_ && sample_rate == sample_rate_)
        return true;
    if (state_ != nullptr)
        ebur128_destroy(&state_);
    metered_ = 0;
    channels_ = channels;
    sample_rate_ = sample_rate;
    state_ = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(sample_rate), meter_mode);
    if (state_ == nullptr)
        return false;
    AVChannelLayout named{};
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&named, channels);
    else if (av_channel_layout_copy(&named, &layout) < 0)
        av_channel_layout_default(&named, channels);
    // Mono and stereo keep libebur128's own map (mono: one channel at unit weight).
    if (channels > 2) {
        for (int index = 0; index < channels; ++index)
            ebur128_set_channel(state_, static_cast<unsigned>(index),
                                r128_channel(av_channel_layout_channel_from_index(&named, static_cast<unsigned>(index))));
    }
    av_channel_layout_uninit(&named);
    return true;
}

bool LoudnessMeter::add(const float* samples, std::size_t frames, const AVChannelLayout& layout, int sample_rate) {
    if (!ready(layout, sample_rate))
        return false;
    if (ebur128_add_frames_float(state_, samples, frames) != EBUR128_SUCCESS)
        return false;
    metered_ += frames;
    double peak = peak_.value_or(0.0);
    for (int channel = 0; channel < channels_; ++channel) {
        double value = 0;
        if (ebur128_prev_sample_peak(state_, static_cast<unsigned>(channel), &value) == EBUR128_SUCCESS)
            peak = std::max(peak, value);
    }
    peak_ = peak;
    return true;
}

std::optional<double> LoudnessMeter::momentary() const {
    if (state_ == nullptr || metered_ * 10 < static_cast<std::uint64_t>(sample_rate_) * 4)
        return std::nullopt;
    return floored(ebur128_loudness_momentary, state_, loudness_floor);
}

std::optional<double> LoudnessMeter::short_term() const {
    if (state_ == nullptr || metered_ < static_cast<std::uint64_t>(sample_rate_) * 3)
        return std::nullopt;
    return floored(ebur128_loudness_shortterm, state_, loudness_floor);
}

std::optional<double> LoudnessMeter::integrated() const {
    if (state_ == nullptr || metered_ * 10 < static_cast<std::uint64_t>(sample_rate_) * 4)
        return std::nullopt;
    return floored(ebur128_loudness_global, state_, integrated_floor);
}

std::optional<double> LoudnessMeter::take_sample_peak() {
    std::optional<double> peak = peak_;
    peak_.reset();
    if (!peak)
        return std::nullopt;
    return *peak > 0 ? std::max(20.0 * std::log10(*peak), loudness_floor) : loudness_floor;
}

}  // namespace avwatch::content
