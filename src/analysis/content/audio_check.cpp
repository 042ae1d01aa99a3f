#include "analysis/content/audio_check.hpp"

#include "analysis/content/audio_samples.hpp"
#include "analysis/content/loudness_meter.hpp"
#include "analysis/content/silence_run.hpp"
#include "analysis/content/audio_timeline.hpp"

#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace avwatch::content {
namespace {

// A parser that finds no frame in this many bytes is fed garbage: it is
// made anew, since it would otherwise keep every byte waiting for a sync.
constexpr std::size_t parser_budget = 1 << 20;
// More channels than any broadcast carries is a corrupt frame.
constexpr int most_channels = 32;
// No audio PES comes near this; the decoder's sizes are ints.
constexpr std::size_t largest_unit = 16 << 20;

void quiet_ffmpeg() {
    // A corrupt stream would log every frame on the monitor's stderr; the
    // report counts the errors instead.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

const AVCodec* audio_decoder(std::string_view codec) {
    const AVCodec* decoder = avcodec_find_decoder_by_name(std::string(codec).c_str());
    return decoder != nullptr && decoder->type == AVMEDIA_TYPE_AUDIO ? decoder : nullptr;
}

}  // namespace

struct AudioCheck::State {
    const AVCodec* decoder = nullptr;
    AVCodecContext* context = nullptr;
    AVCodecParserContext* parser = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    std::size_t unparsed = 0;            // bytes given to the parser since it last gave a frame
    std::vector<std::uint8_t> padded;    // the PES payload with the padding FFmpeg reads past the end
    std::vector<float> samples;
    LoudnessMeter meter;
    SilenceRun silence;
    AudioTimeline timeline;
    double decoded_seconds = 0;
    std::optional<int> channels;
    std::optional<int> sample_rate;
    std::uint64_t frames = 0;
    std::uint64_t decode_errors = 0;

    explicit State(const AVCodec* codec) : decoder(codec) {
        context = avcodec_alloc_context3(decoder);
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (context == nullptr || packet == nullptr || frame == nullptr) {
            close();
            return;
        }
        context->thread_count = 1;
        context->pkt_timebase = AVRational{1, 90000};
        if (avcodec_open2(context, decoder, nullptr) < 0) {
            close();
            return;
        }
        parser = av_parser_init(decoder->id);  // none: each PES payload is one packet
    }

    ~State() { close(); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    bool open() const { return context != nullptr; }

    void close() {
        if (parser != nullptr)
            av_parser_close(parser);
        parser = nullptr;
        avcodec_free_context(&context);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }

    void feed(const EsUnit& unit) {
        padded.assign(unit.bytes.begin(), unit.bytes.end());
        padded.resize(unit.bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        const std::int64_t pts = unit.pts ? *unit.pts : AV_NOPTS_VALUE;
        if (parser == nullptr) {
            decode(padded.data(), static_cast<int>(unit.bytes.size()), pts);
            return;
        }
        const std::uint8_t* data = padded.data();
        int left = static_cast<int>(unit.bytes.size());
        std::int64_t stamp = pts;
        while (left > 0) {
            std::uint8_t* out = nullptr;
            int out_size = 0;
            const int used = av_parser_parse2(parser, context, &out, &out_size, data, left, stamp, AV_NOPTS_VALUE, 0);
            stamp = AV_NOPTS_VALUE;  // the timestamp belongs to the first frame that starts in this payload
            if (used < 0) {
                ++decode_errors;
                break;
            }
            data += used;
            left -= used;
            unparsed += static_cast<std::size_t>(used);
            if (out_size > 0) {
                unparsed = 0;
                decode(out, out_size, parser->pts);
            } else if (unparsed > parser_budget) {
                ++decode_errors;
                restart_parser();
            }
            if (used == 0 && out_size == 0)
                break;  // no progress: never spin
        }
    }

    void restart_parser() {
        av_parser_close(parser);
        parser = av_parser_init(decoder->id);
        unparsed = 0;
    }

    void decode(std::uint8_t* data, int size, std::int64_t pts) {
        packet->data = data;
        packet->size = size;
        packet->pts = pts;
        packet->dts = AV_NOPTS_VALUE;
        const int sent = avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        if (sent < 0 && sent != AVERROR(EAGAIN))
            ++decode_errors;
        for (;;) {
            const int received = avcodec_receive_frame(context, frame);
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                break;
            if (received < 0) {
                ++decode_errors;
                break;
            }
            take(*frame);
            av_frame_unref(frame);
        }
    }

    void take(const AVFrame& decoded) {
        const int count = decoded.ch_layout.nb_channels;
        const int rate = decoded.sample_rate;
        if (decoded.nb_samples <= 0 || count <= 0 || count > most_channels || rate <= 0 ||
            !interleaved_floats(decoded, count, samples)) {
            ++decode_errors;
            return;
        }
        ++frames;
        channels = count;
        sample_rate = rate;
        const std::int64_t stamp = decoded.pts != AV_NOPTS_VALUE ? decoded.pts : decoded.best_effort_timestamp;
        const double start = timeline.place(stamp != AV_NOPTS_VALUE ? std::optional<std::int64_t>(stamp) : std::nullopt,
                                         decoded.nb_samples, rate);
        decoded_seconds += static_cast<double>(decoded.nb_samples) / rate;
        const auto length = static_cast<std::size_t>(decoded.nb_samples);
        silence.add(samples.data(), length, count, rate, start);
        if (!meter.add(samples.data(), length, decoded.ch_layout, rate))
            ++decode_errors;
    }
};

AudioCheck::AudioCheck(std::uint16_t pid, std::string_view codec) : pid_(pid), codec_(codec) {
    quiet_ffmpeg();
    if (const AVCodec* decoder = audio_decoder(codec_)) {
        state_ = std::make_unique<State>(decoder);
        if (!state_->open())
            state_.reset();
    }
}

AudioCheck::~AudioCheck() = default;

void AudioCheck::unit(const EsUnit& unit) {
    if (!state_ || unit.bytes.empty())
        return;
    if (unit.bytes.size() > largest_unit)
        ++state_->decode_errors;
    else
        state_->feed(unit);
}

AudioReport AudioCheck::report() {
    AudioReport report;
    report.pid = pid_;
    report.codec = codec_;
    if (!state_)
        return report;
    State& state = *state_;
    report.supported = true;
    report.channels = state.channels;
    report.sample_rate = state.sample_rate;
    report.silent_seconds = state.silence.seconds(state.timeline.now());
    if (state.decoded_seconds >= silence_seconds)
        report.silent = report.silent_seconds >= silence_seconds;
    report.momentary = state.meter.momentary();
    report.short_term = state.meter.short_term();
    report.integrated = state.meter.integrated();
    report.sample_peak = state.meter.take_sample_peak();
    report.frames = state.frames;
    report.decode_errors = state.decode_errors;
    return report;
}

}  // namespace avwatch::content
