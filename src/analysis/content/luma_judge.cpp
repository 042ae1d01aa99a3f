#include "analysis/content/luma_judge.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdlib>

namespace avwatch::content {
namespace {

constexpr double black_pixel_share = 0.10;    // of the luma range
constexpr double black_picture_share = 0.98;  // of the pixels
constexpr double frozen_difference = 0.001;   // -60 dB
// Pictures at least this wide are sampled every other pixel of every other
// row: a quarter of the work, the same verdicts.
constexpr int subsample_from = 1280;

bool full_range(const AVFrame& frame) {
    switch (frame.format) {
    case AV_PIX_FMT_YUVJ420P: case AV_PIX_FMT_YUVJ422P: case AV_PIX_FMT_YUVJ444P: case AV_PIX_FMT_YUVJ440P:
        return true;
    default:
        return frame.color_range == AVCOL_RANGE_JPEG;
    }
}

}  // namespace

LumaVerdict LumaJudge::picture(const AVFrame& frame, double time, std::uint64_t epoch) {
    LumaVerdict verdict;
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (format == nullptr || frame.data[0] == nullptr || frame.width <= 0 || frame.height <= 0 ||
        (format->flags & AV_PIX_FMT_FLAG_RGB) != 0)
        return verdict;
    int depth = format->comp[0].depth;
    int shift = depth > 8 ? depth - 8 : 0;
    bool wide = format->comp[0].step > 1 || depth > 8;  // 16-bit samples
    int step = frame.width >= subsample_from ? 2 : 1;
    int width = (frame.width + step - 1) / step;
    int height = (frame.height + step - 1) / step;
    // As blackdetect: the threshold rounded down to a whole luma value.
    int threshold = full_range(frame) ? static_cast<int>(black_pixel_share * 255)
                                      : static_cast<int>(16 + black_pixel_share * (235 - 16));
    bool comparable = !reference_.empty() && reference_width_ == width && reference_height_ == height;
    std::vector<std::uint8_t>& plane = scratch_;  // kept between pictures: no page faults each time
    plane.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    std::uint64_t sum = 0;
    std::uint64_t black = 0;
    std::uint64_t difference = 0;
    // Row by row, in loops simple enough to vectorise: sample, then sum and
    // count, then compare.
    for (int y = 0, row_index = 0; y < frame.height; y += step, ++row_index) {
        const std::uint8_t* row = frame.data[0] + static_cast<std::ptrdiff_t>(y) * frame.linesize[0];
        std::uint8_t* out = plane.data() + static_cast<std::size_t>(row_index) * static_cast<std::size_t>(width);
        if (wide) {
            const auto* samples = reinterpret_cast<const std::uint16_t*>(row);
            for (int x = 0; x < width; ++x)
                out[x] = static_cast<std::uint8_t>((samples[x * step] >> shift) & 0xFF);
        } else if (step == 2) {
            for (int x = 0; x < width; ++x)
                out[x] = row[2 * x];
        } else {
            std::copy_n(row, width, out);
        }
        std::uint32_t row_sum = 0;
        std::uint32_t row_black = 0;
        for (int x = 0; x < width; ++x) {
            row_sum += out[x];
            row_black += out[x] <= threshold ? 1u : 0u;
        }
        sum += row_sum;
        black += row_black;
        if (comparable) {
            const std::uint8_t* before = reference_.data() + (out - plane.data());
            std::uint32_t row_difference = 0;
            for (int x = 0; x < width; ++x)
                row_difference += static_cast<std::uint32_t>(std::abs(static_cast<int>(out[x]) - before[x]));
            difference += row_difference;
        }
    }
    double count = static_cast<double>(plane.size());
    verdict.luma = static_cast<double>(sum) / count;
    bool new_epoch = epoch_ != epoch;
    epoch_ = epoch;

    if (static_cast<double>(black) >= black_picture_share * count) {
        if (!black_since_ || new_epoch)
            black_since_ = time;
        verdict.black_seconds = std::max(0.0, time - *black_since_);
    } else {
        black_since_.reset();
    }

    bool unchanged = comparable && static_cast<double>(difference) / count / 256.0 <= frozen_difference;
    if (unchanged) {
        if (new_epoch)
            reference_time_ = time;
        verdict.frozen_seconds = std::max(0.0, time - reference_time_);
    } else {
        std::swap(reference_, scratch_);
        reference_width_ = width;
        reference_height_ = height;
        reference_time_ = time;
    }
    return verdict;
}

}  // namespace avwatch::content
