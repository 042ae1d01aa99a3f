// Decoded pictures in buffers of their own instead of the decoder's pool:
// a key frame's picture is freed once judged, so a check waiting for the
// next key frame holds no picture (the pool would keep two 1080p pictures,
// 6 MB, per channel; freed buffers go back to the process's heap, which the
// other channels' decodes reuse).
#pragma once

struct AVCodecContext;
struct AVFrame;

namespace avwatch::content {

// An AVCodecContext::get_buffer2 laid out as FFmpeg's default one.
int unpooled_picture_buffer(AVCodecContext* context, AVFrame* frame, int flags);

}  // namespace avwatch::content
