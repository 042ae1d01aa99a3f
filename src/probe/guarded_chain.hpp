// A prober chain as this worker's guard runs it, seen through the probe's
// channel: the guard started it (or failed to), its leader exited, and once
// asked to end it, the guard has killed the group and collected the leader
// when it closes the channel.  The leader is the guard's child, never ours,
// so nothing here collects it or signals a pid by number: the group is
// signalled only through a pidfd of its leader, taken while the guard still
// holds the leader uncollected, so it can never reach a recycled pid.
#pragma once

#include "probe/chain_request.hpp"
#include "probe/fd.hpp"

namespace avwatch {

class GuardedChain {
public:
    // Hands `request` to the guard, the chain to write to `out` and `err`.
    // Hold the interpreter lock; throws ErrorSet when the request cannot be
    // sent.  Whether the chain started comes later, as an event.
    static GuardedChain start(const ChainRequest& request, int out, int err);

    // Left without end() (unwinding), the chain is still ended, without
    // waiting: by the request, since a forked child may hold a copy of the
    // channel and keep its end of file from coming.  Either way the group
    // is killed here too, in case the guard died before it could.
    ~GuardedChain();
    GuardedChain(const GuardedChain&) = delete;
    GuardedChain& operator=(const GuardedChain&) = delete;

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
    // After a loss: the next chain gets a new guard.  Hold the interpreter
    // lock.
    void abandon_guard();

    // Takes the events that have arrived, without waiting.
    void read_events() noexcept;

    // Asks the guard to kill the group and waits until it has.  Blocks
    // briefly: release the interpreter lock around it.
    void end() noexcept;

private:
    GuardedChain(Fd channel, std::uint64_t guard) noexcept : channel_(std::move(channel)), guard_(guard) {}
    void request_end() noexcept;
    void kill_group() noexcept;

    Fd channel_;
    Fd leader_;  // pidfd of the group's leader, once started
    std::uint64_t guard_;
    bool started_ = false;
    bool exited_ = false;
    bool lost_ = false;
    int start_error_ = 0;
    int returncode_ = 0;
};

}  // namespace avwatch
