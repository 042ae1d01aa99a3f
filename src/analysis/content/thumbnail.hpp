// Small JPEGs of decoded pictures: scaled to thumbnail_width pixels wide
// (the display aspect kept) and encoded by FFmpeg's MJPEG encoder.  The
// scaler and encoder are kept between pictures of the same size.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

struct AVFrame;
struct AVCodecContext;
struct SwsContext;

namespace avwatch::content {

class Thumbnailer {
public:
    Thumbnailer() = default;
    ~Thumbnailer();
    Thumbnailer(const Thumbnailer&) = delete;
    Thumbnailer& operator=(const Thumbnailer&) = delete;

    // The JPEG of `picture` 320 px wide; nullopt when it cannot be made.
    std::optional<std::vector<std::uint8_t>> make(const AVFrame& picture);

private:
    bool prepare(int width, int height);

    SwsContext* scaler_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    AVFrame* small_ = nullptr;
    std::int64_t pictures_ = 0;
};

}  // namespace avwatch::content
