#include "probe/runner.hpp"

#include "module/api.hpp"

#include "probe/json_scan.hpp"

#include "probe/chain_request.hpp"
#include "probe/guard_link.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace avwatch {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Ctrl-C must not wait longer than this.
constexpr milliseconds signal_check_interval{100};

// A file descriptor, closed on scope exit.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

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

// The chain as the guard runs it, seen through the probe's channel: the
// guard started it (or failed to), its leader exited, and once asked to end
// it, the guard has killed the group and collected the leader when it
// closes the channel.  The leader is the guard's child, never ours, so
// nothing here signals or collects a pid.
class GuardedChain {
public:
    explicit GuardedChain(Fd channel) noexcept : channel_(std::move(channel)) {}
    // Left without end() (unwinding), the chain is still ended, without
    // waiting: by the request, since a forked child may hold a copy of the
    // channel and keep its end of file from coming.
    ~GuardedChain() {
        if (channel_.is_open())
            request_end();
    }
    GuardedChain(const GuardedChain&) = delete;
    GuardedChain& operator=(const GuardedChain&) = delete;

    const Fd& channel() const noexcept { return channel_; }
    bool has_exited() const noexcept { return exited_; }
    int returncode() const noexcept { return returncode_; }
    // The errno of a failed start, or 0.
    int start_error() const noexcept { return start_error_; }
    // The guard went away before the chain's end.
    bool is_lost() const noexcept { return lost_; }

    // Takes the events that have arrived, without waiting.
    void read_events() noexcept {
        while (channel_.is_open() && !lost_) {
            guard_protocol::Event event{};
            ssize_t size = ::recv(channel_.get(), &event, sizeof event, MSG_DONTWAIT);
            if (size < 0 && errno == EINTR)
                continue;
            if (size < 0 && errno == EAGAIN)
                return;
            if (size != sizeof event) {
                lost_ = start_error_ == 0;
                return;
            }
            switch (event.kind) {
            case guard_protocol::EventKind::started:
                break;
            case guard_protocol::EventKind::failed:
                start_error_ = event.value;
                break;
            case guard_protocol::EventKind::exited:
                exited_ = true;
                returncode_ = event.value;
                break;
            }
        }
    }

    // Asks the guard to kill the group and waits until it has.  Blocks
    // briefly: release the interpreter lock around it.
    void end() noexcept {
        if (!channel_.is_open())
            return;
        request_end();
        char drained[sizeof(guard_protocol::Event)];
        while (true) {
            ssize_t size = ::recv(channel_.get(), drained, sizeof drained, 0);
            if (size == 0 || (size < 0 && errno != EINTR))
                break;
        }
        channel_.reset();
    }

private:
    void request_end() noexcept {
        char request = 0;
        ::send(channel_.get(), &request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    Fd channel_;
    bool exited_ = false;
    bool lost_ = false;
    int start_error_ = 0;
    int returncode_ = 0;
};

// The request's strings in a memfd (the environment can be larger than a
// socket message may be).  0, or the errno.
int body_file(const guard_protocol::Body& body, Fd& file) {
    file.reset(::memfd_create("avwatch-chain", MFD_CLOEXEC));
    if (!file.is_open())
        return errno;
    std::string encoded = guard_protocol::encode(body);
    std::size_t done = 0;
    while (done < encoded.size()) {
        ssize_t count = ::write(file.get(), encoded.data() + done, encoded.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return count < 0 ? errno : EIO;
        done += static_cast<std::size_t>(count);
    }
    return 0;
}

// The chain's output as it arrives: stdout up to its first complete JSON
// value, stderr read and dropped so the chain never blocks on it.
class Output {
public:
    Output(Fd out, Fd err) noexcept : out_(std::move(out)), err_(std::move(err)) {}

    // At end of file, or holding a complete JSON value.
    bool has_answer() const noexcept { return !out_.is_open() || scanner_.complete(); }

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
        if (count == 0 || scanner_.complete())
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

enum class Wake { finished, timed_out, slice_over, start_failed, lost, failed };

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
        if (chain.is_lost())
            return Wake::lost;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return Wake::timed_out;
        if (now >= slice_end)
            return Wake::slice_over;

        fds.clear();
        output.watch(fds);
        if (!chain.has_exited())
            fds.push_back({chain.channel().get(), POLLIN, 0});
        // Rounded up, so the wait never spins on a remainder below 1 ms.
        auto wait_ms = std::chrono::ceil<milliseconds>(slice_end - now).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(wait_ms)) < 0) {
            if (errno == EINTR)
                return Wake::slice_over;  // a signal: let the interpreter see it now
            error = errno;
            return Wake::failed;
        }
        output.read_ready(fds);
    }
}

}  // namespace

std::optional<ProberOutput> run_prober(Borrowed command, milliseconds limit) {
    ChainRequest request = chain_request(command);
    Pipe out;
    Pipe err;
    if (int error = open_pipe(out))
        raise_os_error(error);
    if (int error = open_pipe(err))
        raise_os_error(error);
    Fd body;
    if (int error = body_file(request.body, body))
        raise_os_error(error);
    Fd cwd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!cwd.is_open())
        raise_os_error(errno);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        raise_os_error(errno);
    Fd channel(pair[0]);
    Fd guards_channel(pair[1]);

    int fds[guard_protocol::SpawnFd::count];
    fds[guard_protocol::SpawnFd::channel] = guards_channel.get();
    fds[guard_protocol::SpawnFd::body] = body.get();
    fds[guard_protocol::SpawnFd::out] = out.write_end.get();
    fds[guard_protocol::SpawnFd::err] = err.write_end.get();
    fds[guard_protocol::SpawnFd::cwd] = cwd.get();
    send_to_guard(request.header, fds);
    // Only the chain may hold the write ends, or end of file never comes.
    out.write_end.reset();
    err.write_end.reset();
    guards_channel.reset();

    GuardedChain chain(std::move(channel));
    Output output(std::move(out.read_end), std::move(err.read_end));
    Clock::time_point deadline = Clock::now() + limit;
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
            return std::nullopt;
        case Wake::start_failed:
            raise_os_error(chain.start_error(), request.program.get());
        case Wake::lost:
            PyErr_SetString(PyExc_RuntimeError, "avwatch: the prober guard ended during a probe");
            throw ErrorSet{};
        case Wake::failed:
            raise_os_error(poll_error);
        case Wake::slice_over:
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            WithoutGil unlocked;
            chain.end();
            throw ErrorSet{};
        }
    }
}

}  // namespace avwatch
