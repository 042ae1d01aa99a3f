#include "probe/runner.hpp"

#include "module/api.hpp"

#include "probe/chain_request.hpp"
#include "probe/fd.hpp"
#include "probe/guarded_chain.hpp"
#include "probe/json_scan.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <vector>

namespace avwatch {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Ctrl-C must not wait longer than this.
constexpr milliseconds signal_check_interval{100};
// Far above any real answer (a few kB per stream): a prober that prints
// more is broken, and its output is not kept.
constexpr std::size_t answer_cap = 4 << 20;

struct Pipe {
    Fd read_end;
    Fd write_end;
};

// 0, or the errno of the failure.
int open_pipe(Pipe& pipe) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return errno;
    pipe.read_end.reset(ends[0]);
    pipe.write_end.reset(ends[1]);
    return 0;
}

// The chain's output as it arrives: stdout up to its first complete JSON
// value, stderr read and dropped so the chain never blocks on it.
class Output {
public:
    Output(Fd out, Fd err) noexcept : out_(std::move(out)), err_(std::move(err)) {}

    // At end of file, or holding a complete JSON value.
    bool has_answer() const noexcept { return !out_.is_open() || scanner_.complete(); }
    bool is_over_cap() const noexcept { return answer_.size() > answer_cap; }

    // Adds the open pipes to `fds`.
    void watch(std::vector<pollfd>& fds) const {
        if (out_.is_open())
            fds.push_back({out_.get(), POLLIN, 0});
        if (err_.is_open())
            fds.push_back({err_.get(), POLLIN, 0});
    }

    void read_ready(const std::vector<pollfd>& fds) {
        for (const pollfd& entry : fds) {
            if (entry.revents == 0)
                continue;
            if (entry.fd == out_.get())
                read_stdout();
            else if (entry.fd == err_.get())
                read_some(err_);
        }
    }

    std::string take_answer() {
        if (scanner_.complete())
            answer_.resize(scanner_.end());
        return std::move(answer_);
    }

private:
    // One read; the pipe is closed at end of file or on an error.
    std::size_t read_some(Fd& fd) {
        ssize_t count = ::read(fd.get(), buffer_, sizeof buffer_);
        if (count > 0)
            return static_cast<std::size_t>(count);
        if (count == 0 || (errno != EINTR && errno != EAGAIN))
            fd.reset();
        return 0;
    }

    void read_stdout() {
        std::size_t count = read_some(out_);
        if (count == 0 || scanner_.complete() || is_over_cap())
            return;  // what follows the answer is dropped
        answer_.append(buffer_, count);
        scanner_.feed(reinterpret_cast<const unsigned char*>(buffer_), count);
    }

    Fd out_;
    Fd err_;
    std::string answer_;
    JsonValueScanner scanner_;
    char buffer_[16384];
};

enum class Wake { finished, timed_out, slice_over, start_failed, lost, stuck, overflowed, failed };

// Waits, touching no Python object, until the chain has finished, the
// deadline has passed or a signal check is due.  `error` gets the errno of
// a failed poll().
Wake wait_slice(GuardedChain& chain, Output& output, Clock::time_point deadline, int& error) {
    Clock::time_point slice_end = std::min(deadline, Clock::now() + signal_check_interval);
    std::vector<pollfd> fds;
    while (true) {
        chain.read_events();
        if (chain.start_error() != 0)
            return Wake::start_failed;
        if (chain.has_exited() && output.has_answer())
            return Wake::finished;
        if (output.is_over_cap())
            return Wake::overflowed;
        if (chain.is_lost())
            return Wake::lost;
        Clock::time_point now = Clock::now();
        if (!chain.has_started() && now >= chain.start_due())
            return Wake::stuck;
        if (now >= deadline)
            return Wake::timed_out;
        if (now >= slice_end)
            return Wake::slice_over;

        fds.clear();
        output.watch(fds);
        if (!chain.has_exited())
            fds.push_back({chain.channel(), POLLIN, 0});
        Clock::time_point wake_by = chain.has_started() ? slice_end : std::min(slice_end, chain.start_due());
        // Rounded up, so the wait never spins on a remainder below 1 ms.
        auto wait_ms = std::chrono::ceil<milliseconds>(wake_by - now).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(wait_ms)) < 0) {
            if (errno == EINTR)
                return Wake::slice_over;  // a signal: let the interpreter see it now
            error = errno;
            return Wake::failed;
        }
        output.read_ready(fds);
    }
}

// One run of the chain.  Sets `retry` instead when `may_retry` and the
// guard died, or hung, before starting it.
std::optional<ProberOutput> run_once(const ChainRequest& request, Clock::time_point deadline, bool may_retry,
                                     bool& retry) {
    Pipe out;
    Pipe err;
    if (int error = open_pipe(out))
        raise_os_error(error);
    if (int error = open_pipe(err))
        raise_os_error(error);
    GuardedChain chain = GuardedChain::start(request, out.write_end.get(), err.write_end.get(), deadline);
    if (!chain.is_taken())
        return std::nullopt;  // the guard took nothing in: as a prober that timed out
    // Only the chain may hold the write ends, or end of file never comes.
    out.write_end.reset();
    err.write_end.reset();
    Output output(std::move(out.read_end), std::move(err.read_end));
    while (true) {
        Wake wake;
        int poll_error = 0;
        {
            WithoutGil unlocked;
            wake = wait_slice(chain, output, deadline, poll_error);
            if (wake != Wake::slice_over)
                chain.end();
        }
        switch (wake) {
        case Wake::finished:
            return ProberOutput{chain.returncode(), output.take_answer()};
        case Wake::timed_out:
        case Wake::overflowed:  // an unusable answer
            return std::nullopt;
        case Wake::stuck:
            chain.retire_guard(true);
            retry = may_retry;
            return std::nullopt;
        case Wake::start_failed:
            raise_os_error(chain.start_error(), request.program.get());
        case Wake::lost:
            // A guard this worker killed for hanging took the chain with
            // it: as a prober that timed out.
            if (chain.guard_was_stuck())
                return std::nullopt;
            chain.retire_guard(false);
            if (may_retry && !chain.has_started()) {
                retry = true;
                return std::nullopt;
            }
            PyErr_SetString(PyExc_RuntimeError, "avwatch: the prober guard ended during a probe");
            throw ErrorSet{};
        case Wake::failed:
            raise_os_error(poll_error);
        case Wake::slice_over:
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            {
                WithoutGil unlocked;
                chain.end();
            }
            throw ErrorSet{};
        }
    }
}

}  // namespace

std::optional<ProberOutput> run_prober(Borrowed command, milliseconds limit) {
    ChainRequest request = chain_request(command);
    Clock::time_point deadline = Clock::now() + limit;
    bool retry = false;
    std::optional<ProberOutput> output = run_once(request, deadline, true, retry);
    if (!retry)
        return output;
    // The guard died or hung with the request unserved: once more, with a
    // new one, in what is left of the limit.
    return run_once(request, deadline, false, retry);
}

}  // namespace avwatch
