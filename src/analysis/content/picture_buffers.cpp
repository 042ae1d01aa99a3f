#include "analysis/content/picture_buffers.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <cstddef>

namespace avwatch::content {
namespace {

// The widest SIMD alignment FFmpeg builds for (AVX-512), and the slack its
// default allocator leaves after each plane for reads past the end.
constexpr int stride_align = 64;
constexpr std::size_t plane_slack = 16 + stride_align - 1;

}  // namespace

int unpooled_picture_buffer(AVCodecContext* context, AVFrame* frame, int flags) {
    auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if ((context->codec->capabilities & AV_CODEC_CAP_DR1) == 0 || descriptor == nullptr ||
        (descriptor->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL)) != 0)
        return avcodec_default_get_buffer2(context, frame, flags);
    int width = frame->width;
    int height = frame->height;
    int align[AV_NUM_DATA_POINTERS] = {};
    avcodec_align_dimensions2(context, &width, &height, align);
    int linesize[4] = {};
    // Wider until every line starts aligned, as the default allocator does.
    for (int tries = 0;; ++tries) {
        if (tries > 16 || av_image_fill_linesizes(linesize, format, width) < 0)
            return AVERROR(EINVAL);
        bool aligned = true;
        for (int i = 0; i < 4; ++i)
            aligned = aligned && (align[i] <= 0 || linesize[i] % align[i] == 0) && linesize[i] % stride_align == 0;
        if (aligned)
            break;
        width += width & ~(width - 1);
    }
    std::ptrdiff_t strides[4] = {linesize[0], linesize[1], linesize[2], linesize[3]};
    std::size_t sizes[4] = {};
    if (av_image_fill_plane_sizes(sizes, format, height, strides) < 0)
        return AVERROR(EINVAL);
    for (int i = 0; i < 4 && sizes[i] > 0; ++i) {
        // Zeroed: a decoder may pass on a picture it could not finish.
        frame->buf[i] = av_buffer_allocz(sizes[i] + plane_slack);
        if (frame->buf[i] == nullptr) {
            for (AVBufferRef*& buffer : frame->buf)
                av_buffer_unref(&buffer);
            return AVERROR(ENOMEM);
        }
        frame->data[i] = frame->buf[i]->data;
        frame->linesize[i] = linesize[i];
    }
    frame->extended_data = frame->data;
    return 0;
}

}  // namespace avwatch::content
