// A prober chain as this worker's guard runs it, seen through the probe's
// channel: the guard started it (or failed to), its leader exited, and once
// asked to end it, the guard has killed the group and collected the leader
// when it closes the channel.  The leader is the guard's child, never ours,
// so nothing here collects it or signals a pid by number: the group is
// signalled only through a pidfd of its leader, which the guard hands over
// with the start, before anything of the chain runs, so the chain can be
// ended from the moment it exists, whatever becomes of the guard.
#pragma once

#include "probe/chain_request.hpp"
#include "probe/fd.hpp"
#include "probe/guard_link.hpp"

#include <chrono>

namespace avwatch {

class GuardedChain {
public:
    using Clock = std::chrono::steady_clock;

    // Hands `request` to the guard, the chain to write to `out` and `err`.
    // Hold the interpreter lock; throws ErrorSet when the request cannot be
    // sent.  Whether the chain started comes later, as an event; a guard
    // that took nothing in by `deadline` has been retired (is_taken() is
    // false).
    static GuardedChain start(const ChainRequest& request, int out, int err, Clock::time_point deadline);

    // Left without end() (unwinding), the chain is still ended, without
    // waiting: by the request, since a forked child may hold a copy of the
    // channel and keep its end of file from coming.  Either way the group
    // is killed here too, in case the guard died before it could.
    ~GuardedChain();
    GuardedChain(const GuardedChain&) = delete;
    GuardedChain& operator=(const GuardedChain&) = delete;

    bool is_taken() const noexcept { return channel_.is_open() || guard_ != nullptr; }
    // Becomes readable when an event arrives.
    int channel() const noexcept { return channel_.get(); }
    bool has_exited() const noexcept { return exited_; }
    // The leader's exit status, or minus the signal that ended it.
    int returncode() const noexcept { return returncode_; }
    // The errno of a failed start, or 0.
    int start_error() const noexcept { return start_error_; }
    // The guard went away before the chain's end: before reporting the
    // start, or after.
    bool is_lost() const noexcept { return lost_; }
    bool has_started() const noexcept { return started_; }
    // A healthy guard reports the start at once; one that has not by this
    // time is stuck.
    Clock::time_point start_due() const noexcept { return start_due_; }
    // The guard is lost (then the next chain gets a new one), or, with
    // `stuck`, hung and to be killed.  Hold the interpreter lock.
    void retire_guard(bool stuck);
    // Whether this worker retired the guard for not answering.
    bool guard_was_stuck() const noexcept { return was_retired_as_stuck(guard_); }

    // Takes the events that have arrived, without waiting.
    void read_events() noexcept;

    // Kills the group and asks the guard to collect it, waiting briefly
    // for that.  Release the interpreter lock around it.
    void end() noexcept;

private:
    GuardedChain(Fd channel, GuardRef guard, Clock::time_point start_due) noexcept
        : channel_(std::move(channel)), guard_(std::move(guard)), start_due_(start_due) {}
    void take_started(int leader_pid, int leader_pidfd) noexcept;
    void request_end() noexcept;
    void kill_group() noexcept;

    Fd channel_;
    Fd leader_;  // pidfd of the group's leader, once started
    GuardRef guard_;
    Clock::time_point start_due_;
    bool started_ = false;
    bool exited_ = false;
    bool lost_ = false;
    int start_error_ = 0;
    int returncode_ = 0;
};

}  // namespace avwatch
