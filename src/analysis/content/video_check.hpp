// What a viewer sees of one video stream, judged on its key frames only:
// black and frozen pictures, the picture's mean luma, and a small JPEG of
// it now and then.  The stream is framed by FFmpeg's parser and only key
// frames reach the decoder (one picture each GOP: cheap, and a freeze or a
// black shorter than a GOP, or between key frames, goes unseen).
#pragma once

#include "analysis/content/es_unit.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

struct AVFrame;

namespace avwatch::content {

// Runs shorter than this (stream time) are not yet black or frozen.
inline constexpr double run_threshold = 2.0;
// Key frames two seconds apart may be stamped a tick under it.
inline constexpr double run_slack = 0.01;
// A thumbnail is made at most this often (stream time).
inline constexpr double thumbnail_interval = 5.0;
inline constexpr int thumbnail_width = 320;

struct VideoReport {
    std::uint16_t pid = 0;
    std::string_view codec;  // the PMT's name
    bool supported = false;  // a decoder exists for it
    std::optional<int> width;
    std::optional<int> height;
    std::uint64_t pictures = 0;  // decoded so far
    std::optional<bool> black;   // nullopt before a picture was decoded
    double black_seconds = 0;    // the current run, in stream time
    std::optional<bool> frozen;
    double frozen_seconds = 0;
    std::optional<double> luma;  // mean luma of the newest picture, 0..255
    std::uint64_t decode_errors = 0;
};

class VideoCheck {
public:
    VideoCheck(std::uint16_t pid, std::string_view codec);
    ~VideoCheck();
    VideoCheck(const VideoCheck&) = delete;
    VideoCheck& operator=(const VideoCheck&) = delete;

    // One PES payload, in arrival order, followed by es_padding readable
    // bytes (as PesAssembler leaves them).
    void unit(const EsUnit& unit);
    // Units lost or dropped before the next one: the parser starts afresh.
    void gap();
    VideoReport report() const;
    // The JPEG made since the last call, if any.
    std::optional<std::vector<std::uint8_t>> take_thumbnail();

private:
    struct Decoder;
    void picture(const std::uint8_t* bytes, int size);
    void judge_picture(const AVFrame& frame);
    std::unique_ptr<Decoder> decoder_;
    VideoReport report_;
};

}  // namespace avwatch::content
