#include "analysis/content/content_analyser.hpp"

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

void ContentAnalyser::packet(const ts::Packet& packet, bool lost) {
    std::uint16_t pid = packet.pid();
    if (video_ && video_->pid == pid) {
        Video& v = *video_;
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

ContentReport ContentAnalyser::report() {
    ContentReport report;
    if (video_) {
        report.video = video_->check->report();
        report.video->decode_errors += video_->pes.counts().dropped;  // units that never reached the decoder
        report.thumbnail = video_->check->take_thumbnail();
    }
    for (auto& audio : audio_) {
        report.audio.push_back(audio->check->report());
        report.audio.back().decode_errors += audio->pes.counts().dropped;
    }
    return report;
}

}  // namespace avwatch::content
