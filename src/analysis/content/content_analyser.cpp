#include "analysis/content/content_analyser.hpp"

#include "analysis/content/silence_run.hpp"

#include <algorithm>

namespace avwatch::content {

bool ContentAnalyser::program(std::span<const ts::ElementaryStream> streams) {
    std::vector<ts::ElementaryStream> watched;
    bool video = false;
    std::size_t audio = 0;
    for (const ts::ElementaryStream& stream : streams) {
        if (stream.kind == "video" && !video) {
            video = true;
            watched.push_back(stream);
        } else if (stream.kind == "audio" && audio < max_audio_checks) {
            ++audio;
            watched.push_back(stream);
        }
    }
    if (watched == watched_)
        return false;  // a new PMT version with the same streams: the checks go on
    watched_ = std::move(watched);
    video_.reset();
    audio_.clear();
    pids_.clear();
    for (const ts::ElementaryStream& stream : watched_) {
        if (stream.kind == "video") {
            video_ = std::make_unique<Video>();
            video_->pid = stream.pid;
            video_->check = std::make_unique<VideoCheck>(stream.pid, stream.codec);
        } else {
            auto check = std::make_unique<Audio>();
            check->pid = stream.pid;
            check->check = std::make_unique<AudioCheck>(stream.pid, stream.codec);
            audio_.push_back(std::move(check));
        }
        pids_.push_back(stream.pid);
    }
    return true;
}

void ContentAnalyser::packet(const ts::Packet& packet, bool lost, std::optional<ts::Nanos> arrival) {
    std::uint16_t pid = packet.pid();
    if (video_ && video_->pid == pid) {
        Video& v = *video_;
        if (arrival && packet.payload_size() > 0)  // a PCR alone is no picture
            v.last_arrival = arrival;
        v.pes.packet(packet, lost, [&](const EsUnit& unit) {
            if (v.pes.counts().dropped != v.dropped) {
                v.dropped = v.pes.counts().dropped;
                v.check->gap();
            }
            v.check->unit(unit);
        });
        return;
    }
    for (auto& audio : audio_)
        if (audio->pid == pid) {
            if (arrival && packet.payload_size() > 0)
                audio->last_arrival = arrival;
            audio->pes.packet(packet, lost, [&](const EsUnit& unit) { audio->check->unit(unit); });
            return;
        }
}

void ContentAnalyser::gap() {
    if (video_) {
        video_->pes.reset();
        video_->check->gap();
    }
    for (auto& audio : audio_)
        audio->pes.reset();
}

namespace {

// How long a stream has been missing while the input flows (0: it is not);
// a stream never seen counts from its first report.
double missing_seconds(std::optional<ts::Nanos>& last_arrival, const std::optional<ContentAnalyser::Flowing>& flowing) {
    if (!flowing)
        return 0;
    if (!last_arrival)
        last_arrival = flowing->now;
    ts::Nanos missing = flowing->now - std::max(*last_arrival, flowing->since);
    return missing > 0 ? static_cast<double>(missing) / ts::nanos_per_second : 0;
}

}  // namespace

ContentReport ContentAnalyser::report(std::optional<Flowing> flowing) {
    ContentReport report;
    if (video_) {
        report.video = video_->check->report();
        report.video->decode_errors += video_->pes.counts().dropped;  // units that never reached the decoder
        report.thumbnail = video_->check->take_thumbnail();
        double missing = missing_seconds(video_->last_arrival, flowing);
        if (missing >= run_threshold) {  // a player holds its last picture
            report.video->frozen = true;
            report.video->frozen_seconds = std::max(report.video->frozen_seconds, missing);
        }
    }
    for (auto& audio : audio_) {
        AudioReport& heard = report.audio.emplace_back(audio->check->report());
        heard.decode_errors += audio->pes.counts().dropped;
        double missing = missing_seconds(audio->last_arrival, flowing);
        if (missing >= silence_seconds) {  // nothing to hear, and no loudness to measure
            heard.silent = true;
            heard.silent_seconds = std::max(heard.silent_seconds, missing);
            heard.momentary.reset();
            heard.short_term.reset();
            heard.last_minute.reset();
        }
    }
    return report;
}

}  // namespace avwatch::content
