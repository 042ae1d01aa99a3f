#include "analysis/content/video_check.hpp"

#include "analysis/content/luma_judge.hpp"
#include "analysis/content/pes_assembler.hpp"
#include "analysis/content/picture_buffers.hpp"
#include "analysis/content/stream_clock.hpp"
#include "analysis/content/thumbnail.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <mutex>

namespace avwatch::content {
namespace {

AVCodecID codec_id(std::string_view codec) {
    if (codec == "h264")
        return AV_CODEC_ID_H264;
    if (codec == "hevc")
        return AV_CODEC_ID_HEVC;
    if (codec == "mpeg2video")
        return AV_CODEC_ID_MPEG2VIDEO;
    if (codec == "mpeg1video")
        return AV_CODEC_ID_MPEG1VIDEO;
    if (codec == "mpeg4")
        return AV_CODEC_ID_MPEG4;
    return AV_CODEC_ID_NONE;
}

// Corrupt streams make the decoders talk on stderr: the counts say it.
void quiet_library() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Pictures above this (a 4K frame) are refused: a lying SPS must not cost
// hundreds of megabytes.
constexpr std::int64_t max_pixels = 4096 * 2304;
// Bytes the parser may hold without framing a picture before it starts over.
constexpr std::size_t max_unframed = video_pes_cap;

}  // namespace

struct VideoCheck::Decoder {
    AVCodecID id = AV_CODEC_ID_NONE;
    AVCodecParserContext* parser = nullptr;
    AVCodecContext* parse_context = nullptr;  // the parser's own: it writes fields the decoder must not see
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int lowres = 0;
    std::size_t unframed = 0;
    StreamClock clock;
    double time = 0;  // of the newest picture framed
    std::optional<double> time_known;
    LumaJudge judge;
    Thumbnailer thumbnailer;
    std::optional<double> last_thumbnail;
    std::uint64_t thumbnail_epoch = 0;
    std::optional<std::vector<std::uint8_t>> thumbnail;

    ~Decoder() {
        if (parser)
            av_parser_close(parser);
        avcodec_free_context(&parse_context);
        avcodec_free_context(&context);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }

    bool open() {
        const AVCodec* codec = avcodec_find_decoder(id);
        if (codec == nullptr)
            return false;
        context = avcodec_alloc_context3(codec);
        parse_context = avcodec_alloc_context3(nullptr);
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (!context || !parse_context || !packet || !frame)
            return false;
        context->thread_count = 1;
        // Only intra pictures are sent; anything else that slips through is
        // skipped, and the loop filter is worth little for these judgements.
        context->skip_frame = AVDISCARD_NONINTRA;
        context->skip_loop_filter = AVDISCARD_ALL;
        context->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;  // an open GOP's I picture too
        context->max_pixels = max_pixels;
        context->get_buffer2 = unpooled_picture_buffer;
        lowres = std::min<int>(codec->max_lowres, 1);
        context->lowres = lowres;
        if (avcodec_open2(context, codec, nullptr) < 0)
            return false;
        return restart_parser();
    }

    bool restart_parser() {
        if (parser)
            av_parser_close(parser);
        parser = av_parser_init(id);
        unframed = 0;
        return parser != nullptr;
    }
};

VideoCheck::VideoCheck(std::uint16_t pid, std::string_view codec) {
    report_.pid = pid;
    report_.codec = codec;
    quiet_library();
    auto decoder = std::make_unique<Decoder>();
    decoder->id = codec_id(codec);
    if (decoder->id != AV_CODEC_ID_NONE && decoder->open()) {
        decoder_ = std::move(decoder);
        report_.supported = true;
    }
}

VideoCheck::~VideoCheck() = default;

void VideoCheck::gap() {
    if (decoder_ && !decoder_->restart_parser())
        decoder_.reset();
}

void VideoCheck::unit(const EsUnit& unit) {
    if (!decoder_)
        return;
    Decoder& d = *decoder_;
    const std::uint8_t* data = unit.bytes.data();
    auto left = static_cast<int>(unit.bytes.size());
    std::int64_t pts = unit.pts ? *unit.pts : AV_NOPTS_VALUE;
    while (left > 0) {
        std::uint8_t* out = nullptr;
        int out_size = 0;
        int used = av_parser_parse2(d.parser, d.parse_context, &out, &out_size, data, left, pts, AV_NOPTS_VALUE, 0);
        pts = AV_NOPTS_VALUE;  // the parser keeps the unit's PTS for the picture it starts
        if (used < 0 || used > left) {
            ++report_.decode_errors;
            gap();
            return;
        }
        data += used;
        left -= used;
        d.unframed += static_cast<std::size_t>(used);
        if (out_size > 0) {
            d.unframed = 0;
            picture(out, out_size);
            if (!decoder_)
                return;
        } else if (d.unframed > max_unframed) {
            ++report_.decode_errors;  // no picture boundary in megabytes: not this codec's stream
            gap();
            return;
        }
        if (used == 0 && out_size == 0)
            break;
    }
}

void VideoCheck::picture(const std::uint8_t* bytes, int size) {
    Decoder& d = *decoder_;
    AVCodecParserContext& parser = *d.parser;
    if (parser.pts != AV_NOPTS_VALUE) {
        d.time = d.clock.at(parser.pts);
        d.time_known = d.time;
    }
    bool key = parser.key_frame == 1 || parser.pict_type == AV_PICTURE_TYPE_I;
    if (!key || !d.time_known)
        return;
    // One picture in, drained at once: a decoder holding pictures back for
    // reordering would otherwise show each key frame a GOP late.
    av_packet_unref(d.packet);
    d.packet->data = const_cast<std::uint8_t*>(bytes);
    d.packet->size = size;
    d.packet->flags = AV_PKT_FLAG_KEY;
    int sent = avcodec_send_packet(d.context, d.packet);
    d.packet->data = nullptr;
    d.packet->size = 0;
    bool decoded = false;
    if (sent >= 0 && avcodec_send_packet(d.context, nullptr) >= 0) {
        while (avcodec_receive_frame(d.context, d.frame) >= 0) {
            if (d.frame->decode_error_flags == 0 && (d.frame->flags & AV_FRAME_FLAG_CORRUPT) == 0 && !decoded) {
                decoded = true;
                judge_picture(*d.frame);
            }
            av_frame_unref(d.frame);
        }
    }
    avcodec_flush_buffers(d.context);
    if (!decoded)
        ++report_.decode_errors;
}

void VideoCheck::judge_picture(const AVFrame& frame) {
    Decoder& d = *decoder_;
    report_.width = frame.width << d.lowres;
    report_.height = frame.height << d.lowres;
    ++report_.pictures;
    std::uint64_t epoch = d.clock.epoch();
    LumaVerdict verdict = d.judge.picture(frame, d.time, epoch);
    report_.luma = verdict.luma;
    report_.black_seconds = verdict.black_seconds;
    report_.black = verdict.black_seconds >= run_threshold - run_slack;
    report_.frozen_seconds = verdict.frozen_seconds;
    report_.frozen = verdict.frozen_seconds >= run_threshold - run_slack;
    if (!d.last_thumbnail || epoch != d.thumbnail_epoch || d.time - *d.last_thumbnail >= thumbnail_interval ||
        d.time < *d.last_thumbnail) {
        if (auto jpeg = d.thumbnailer.make(frame)) {
            d.thumbnail = std::move(jpeg);
            d.last_thumbnail = d.time;
            d.thumbnail_epoch = epoch;
        }
    }
}

VideoReport VideoCheck::report() const { return report_; }

std::optional<std::vector<std::uint8_t>> VideoCheck::take_thumbnail() {
    if (!decoder_ || !decoder_->thumbnail)
        return std::nullopt;
    auto jpeg = std::move(decoder_->thumbnail);
    decoder_->thumbnail.reset();
    return jpeg;
}

}  // namespace avwatch::content
