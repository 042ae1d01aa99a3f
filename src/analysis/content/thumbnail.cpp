#include "analysis/content/thumbnail.hpp"

#include "analysis/content/video_check.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cmath>

namespace avwatch::content {
namespace {

constexpr int jpeg_quality = 5;  // the encoder's qscale: 2 best, 31 worst

}  // namespace

Thumbnailer::~Thumbnailer() {
    sws_freeContext(scaler_);
    avcodec_free_context(&encoder_);
    av_frame_free(&small_);
}

bool Thumbnailer::prepare(int width, int height) {
    if (encoder_ && encoder_->width == width && encoder_->height == height)
        return true;
    avcodec_free_context(&encoder_);
    av_frame_free(&small_);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr)
        return false;
    encoder_ = avcodec_alloc_context3(codec);
    small_ = av_frame_alloc();
    if (!encoder_ || !small_)
        return false;
    encoder_->width = width;
    encoder_->height = height;
    encoder_->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder_->color_range = AVCOL_RANGE_JPEG;
    encoder_->time_base = AVRational{1, 25};
    encoder_->thread_count = 1;
    encoder_->flags |= AV_CODEC_FLAG_QSCALE;
    encoder_->global_quality = FF_QP2LAMBDA * jpeg_quality;
    small_->width = width;
    small_->height = height;
    small_->format = AV_PIX_FMT_YUVJ420P;
    if (avcodec_open2(encoder_, codec, nullptr) < 0 || av_frame_get_buffer(small_, 0) < 0) {
        avcodec_free_context(&encoder_);
        return false;
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> Thumbnailer::make(const AVFrame& picture) {
    if (picture.width <= 0 || picture.height <= 0)
        return std::nullopt;
    double aspect = static_cast<double>(picture.width) / picture.height;
    if (picture.sample_aspect_ratio.num > 0 && picture.sample_aspect_ratio.den > 0)
        aspect *= av_q2d(picture.sample_aspect_ratio);
    int height = static_cast<int>(std::lround(thumbnail_width / aspect / 2)) * 2;
    if (height < 2 || height > 4 * thumbnail_width)
        return std::nullopt;
    if (!prepare(thumbnail_width, height))
        return std::nullopt;
    scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                   thumbnail_width, height, AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr,
                                   nullptr);
    if (scaler_ == nullptr || av_frame_make_writable(small_) < 0)
        return std::nullopt;
    sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, small_->data, small_->linesize);
    small_->quality = encoder_->global_quality;
    small_->pts = pictures_++;  // the encoder wants its input's times to go forward
    std::optional<std::vector<std::uint8_t>> jpeg;
    if (avcodec_send_frame(encoder_, small_) < 0)
        return std::nullopt;
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr)
        return std::nullopt;
    if (avcodec_receive_packet(encoder_, packet) >= 0)
        jpeg.emplace(packet->data, packet->data + packet->size);
    av_packet_free(&packet);
    return jpeg;
}

}  // namespace avwatch::content
