#include "probe/runner.hpp"

#include "module/api.hpp"

#include "probe/json_scan.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace avwatch {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Ctrl-C must not wait longer than this.
constexpr milliseconds signal_check_interval{100};
// Without a pidfd the leader's exit is only noticed by asking this often.
constexpr milliseconds exit_check_interval{10};

// A file descriptor, closed on scope exit.
class Fd {
public:
    Fd() noexcept = default;
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

// argv as the interpreter's subprocess encodes it (os.fsencode of each).
class Arguments {
public:
    explicit Arguments(Borrowed command) {
        Owned items = Owned::steal(PySequence_Fast(command.get(), "the prober command must be a sequence"));
        Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        if (count == 0) {
            PyErr_SetString(PyExc_IndexError, "the prober command is empty");
            throw ErrorSet{};
        }
        program_ = Owned::share(PySequence_Fast_GET_ITEM(items.get(), 0));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* encoded = nullptr;
            if (!PyUnicode_FSConverter(PySequence_Fast_GET_ITEM(items.get(), i), &encoded))
                throw ErrorSet{};
            encoded_.push_back(Owned::steal(encoded));
            pointers_.push_back(PyBytes_AS_STRING(encoded));
        }
        pointers_.push_back(nullptr);
    }

    char* const* argv() const noexcept { return pointers_.data(); }
    // The program as given, for the error that names it.
    PyObject* program() const noexcept { return program_.get(); }

private:
    Owned program_;
    std::vector<Owned> encoded_;
    std::vector<char*> pointers_;
};

// How the child starts: the interpreter's defaults (restore_signals, an
// empty signal mask, only the three standard descriptors), in a group of
// its own, stdin on /dev/null, stdout and stderr on our pipes.
class SpawnSettings {
public:
    SpawnSettings(int stdout_fd, int stderr_fd) {
        note(posix_spawnattr_init(&attributes_));
        note(posix_spawn_file_actions_init(&actions_));
        sigset_t empty_mask;
        sigemptyset(&empty_mask);
        sigset_t restored;  // what the interpreter ignores for itself
        sigemptyset(&restored);
        sigaddset(&restored, SIGPIPE);
        sigaddset(&restored, SIGXFSZ);
        note(posix_spawnattr_setflags(&attributes_,
                                      POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
        note(posix_spawnattr_setpgroup(&attributes_, 0));
        note(posix_spawnattr_setsigmask(&attributes_, &empty_mask));
        note(posix_spawnattr_setsigdefault(&attributes_, &restored));
        note(posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
        note(posix_spawn_file_actions_adddup2(&actions_, stdout_fd, STDOUT_FILENO));
        note(posix_spawn_file_actions_adddup2(&actions_, stderr_fd, STDERR_FILENO));
        note(posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1));
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    // 0, or the errno of the first failure.
    int spawn(pid_t& pid, const Arguments& arguments) {
        if (error_ != 0)
            return error_;
        return posix_spawnp(&pid, arguments.argv()[0], &actions_, &attributes_, arguments.argv(), environ);
    }

private:
    void note(int error) noexcept {
        if (error_ == 0)
            error_ = error;
    }

    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
    int error_ = 0;
};

// The started process, leader of the group.  It is left unreaped (a zombie
// once it has exited) until the group has been killed: while it is not
// collected its pid cannot be reused, so killpg() cannot reach another
// group that later got the same number (another probe's, in another thread).
class Leader {
public:
    explicit Leader(pid_t pid) noexcept : pid_(pid) {
        // Optional: it wakes the wait the moment the leader exits.
        // (Through syscall(): glibc's header lacks C linkage for C++.)
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0)
            pidfd_.reset(pidfd);
    }
    ~Leader() { end_group(); }
    Leader(const Leader&) = delete;
    Leader& operator=(const Leader&) = delete;

    const Fd& pidfd() const noexcept { return pidfd_; }
    bool has_exited() const noexcept { return exited_; }
    int returncode() const noexcept { return returncode_; }

    // Has the leader exited?  Learns its status without collecting it.
    bool check_exit() noexcept {
        if (exited_)
            return true;
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            if (info.si_pid == pid_) {
                exited_ = true;
                returncode_ = info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
            }
        } else if (errno == ECHILD) {
            // Collected behind our back (SIGCHLD ignored); the interpreter's
            // subprocess reports 0 then.
            exited_ = true;
            collected_ = true;
            returncode_ = 0;
        }
        if (exited_)
            pidfd_.reset();
        return exited_;
    }

    // Kills what is left of the group and collects the leader.  Blocks
    // briefly: release the interpreter lock around it.
    void end_group() noexcept {
        if (ended_)
            return;
        ended_ = true;
        pidfd_.reset();
        ::killpg(pid_, SIGKILL);  // ESRCH: the group is gone already
        if (collected_)
            return;
        // In case the leader has left its group.
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

private:
    pid_t pid_;
    Fd pidfd_;
    bool exited_ = false;
    bool collected_ = false;
    bool ended_ = false;
    int returncode_ = 0;
};

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

enum class Wake { finished, timed_out, slice_over, failed };

// Waits, touching no Python object, until the chain has finished, the
// deadline has passed or a signal check is due.  `error` gets the errno of
// a failed poll().
Wake wait_slice(Leader& leader, Output& output, Clock::time_point deadline, int& error) {
    Clock::time_point slice_end = std::min(deadline, Clock::now() + signal_check_interval);
    std::vector<pollfd> fds;
    while (true) {
        if (leader.check_exit() && output.has_answer())
            return Wake::finished;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return Wake::timed_out;
        if (now >= slice_end)
            return Wake::slice_over;

        fds.clear();
        output.watch(fds);
        auto wait = slice_end - now;
        if (!leader.has_exited()) {
            if (leader.pidfd().is_open())
                fds.push_back({leader.pidfd().get(), POLLIN, 0});
            else
                wait = std::min<Clock::duration>(wait, exit_check_interval);
        }
        // Rounded up, so the wait never spins on a remainder below 1 ms.
        auto wait_ms = std::chrono::ceil<milliseconds>(wait).count();
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
    Arguments arguments(command);
    Pipe out;
    Pipe err;
    if (int error = open_pipe(out))
        raise_os_error(error);
    if (int error = open_pipe(err))
        raise_os_error(error);

    pid_t pid = 0;
    int spawn_error;
    {
        // The interpreter lock stays held: the PATH search reads environ,
        // which os.environ changes under that lock.
        SpawnSettings settings(out.write_end.get(), err.write_end.get());
        spawn_error = settings.spawn(pid, arguments);
    }
    // Only the child may hold the write ends, or end of file never comes.
    out.write_end.reset();
    err.write_end.reset();
    if (spawn_error != 0)
        raise_os_error(spawn_error, arguments.program());

    Leader leader(pid);
    Output output(std::move(out.read_end), std::move(err.read_end));
    Clock::time_point deadline = Clock::now() + limit;
    while (true) {
        Wake wake;
        int poll_error = 0;
        {
            WithoutGil unlocked;
            wake = wait_slice(leader, output, deadline, poll_error);
            if (wake != Wake::slice_over)
                leader.end_group();
        }
        switch (wake) {
        case Wake::finished:
            return ProberOutput{leader.returncode(), output.take_answer()};
        case Wake::timed_out:
            return std::nullopt;
        case Wake::failed:
            raise_os_error(poll_error);
        case Wake::slice_over:
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            {
                WithoutGil unlocked;
                leader.end_group();
            }
            throw ErrorSet{};
        }
    }
}

}  // namespace avwatch
