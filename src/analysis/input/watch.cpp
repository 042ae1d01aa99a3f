#include "analysis/input/watch.hpp"

#include <poll.h>

#include <chrono>

namespace avwatch::input {
namespace {

// How long the thread waits for data before it looks at the clock and the
// stop flag again.
constexpr int poll_milliseconds = 50;

}  // namespace

Watch::Watch(const std::string& uri, WatchSettings settings)
    : settings_(settings),
      receiver_(open_receiver(parse_udp_uri(uri), uri)),
      analyser_(settings.analysis, monotonic_now()) {
    thread_ = std::thread([this] { run(); });
}

Watch::~Watch() { stop(); }

void Watch::stop() noexcept {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
}

void Watch::publish(ts::Report report) {
    {
        std::lock_guard lock(mutex_);
        if (reports_.size() == kept_reports) {
            reports_.pop_front();
            ++dropped_;
        }
        reports_.push_back(std::move(report));
    }
    ready_.notify_one();
}

void Watch::run() noexcept {
    try {
        ts::Nanos boundary = monotonic_now() + settings_.window;
        pollfd watched{receiver_->fd(), POLLIN, 0};
        while (!stopping_) {
            int ready = poll(&watched, 1, poll_milliseconds);
            if (ready > 0) {
                // Drain what is queued, a batch at a time, before looking at the clock.
                for (int batches = 0; batches < 64; ++batches) {
                    auto datagrams = receiver_->receive();
                    for (const Datagram& d : datagrams)
                        analyser_.datagram(d.payload, d.arrival);
                    if (datagrams.size() < Batch::messages)
                        break;
                }
            }
            ts::Nanos now = monotonic_now();
            while (now >= boundary) {
                publish(analyser_.close_window(boundary));
                boundary += settings_.window;
            }
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            error_ = std::current_exception();
        }
        ready_.notify_one();
    }
}

std::optional<ts::Report> Watch::next(ts::Nanos deadline) {
    std::unique_lock lock(mutex_);
    auto wait = std::chrono::nanoseconds(deadline - monotonic_now());
    ready_.wait_for(lock, wait, [&] { return !reports_.empty() || error_; });
    if (!reports_.empty()) {
        ts::Report report = std::move(reports_.front());
        reports_.pop_front();
        return report;
    }
    if (error_)
        std::rethrow_exception(error_);
    return std::nullopt;
}

}  // namespace avwatch::input
