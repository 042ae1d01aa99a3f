#include "analysis/input/watch.hpp"

#include <chrono>
#include <thread>

namespace avwatch::input {
namespace {

// Behind, the thread reads on at once for this long at most, so that idle
// windows still close in time.
constexpr auto drain_interval = std::chrono::milliseconds(50);

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
    receiver_->wake();
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
        // A window closes once what arrived in it can all have been read.
        const ts::Nanos latency = receiver_->latency();
        auto take = [&](const Datagram& d) {
            // Split by arrival, not by when the thread got round to reading.
            for (; d.arrival >= boundary; boundary += settings_.window)
                publish(analyser_.close_window(boundary));
            analyser_.receive_drops(d.lost_before);
            if (d.after_loss)
                analyser_.receive_gap(d.arrival);
            analyser_.datagram(d.payload, d.arrival);
        };
        bool behind = false;
        while (!stopping_) {
            // Behind (a flood, or the thread was held up): read on at once,
            // so that the socket's buffer overflows as little as it can.
            if (!behind)
                receiver_->wait(boundary + latency);
            ts::Nanos drain_end = monotonic_now() + ts::millis(drain_interval.count());
            behind = false;
            receiver_->fit_first();
            while (receiver_->receive(take) == Batch::messages) {
                if (stopping_ || monotonic_now() >= drain_end) {
                    behind = true;
                    break;
                }
            }
            ts::Nanos now = monotonic_now();
            if (now >= boundary + latency)  // once a window: a system call
                analyser_.receive_drops(receiver_->uncounted_drops());
            while (now >= boundary + latency) {
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
