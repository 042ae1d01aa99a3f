// One input watched continuously: a receiver and an analyser driven by a
// thread of their own, which closes a report every window and keeps the
// newest few for the caller.
#pragma once

#include "analysis/input/sockets.hpp"
#include "analysis/ts/analyser.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace avwatch::input {

struct WatchSettings {
    ts::Settings analysis;
    ts::Nanos window = ts::nanos_per_second;
};

class Watch {
public:
    // Opens the socket here, so that a missing privilege is the caller's error.
    Watch(const std::string& uri, WatchSettings settings);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // The oldest report not yet taken, waiting until `deadline` (monotonic)
    // at most; nullopt when none came.  Rethrows the thread's error.
    std::optional<ts::Report> next(ts::Nanos deadline);
    void stop() noexcept;
    const char* method() const noexcept { return receiver_->method(); }
    // Reports dropped because the caller did not take them in time.
    std::uint64_t dropped() const noexcept { return dropped_.load(); }

private:
    void run() noexcept;
    void publish(ts::Report report);

    static constexpr std::size_t kept_reports = 8;

    WatchSettings settings_;
    std::unique_ptr<Receiver> receiver_;
    ts::Analyser analyser_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> dropped_{0};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<ts::Report> reports_;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace avwatch::input
