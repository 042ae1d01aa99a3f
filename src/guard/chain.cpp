#include "guard/chain.hpp"

#include "probe/fd.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace avwatch::guard {
namespace {

std::vector<char*> pointers(const std::vector<std::string>& items) {
    std::vector<char*> result;
    for (const std::string& item : items)
        result.push_back(const_cast<char*>(item.c_str()));
    result.push_back(nullptr);
    return result;
}

bool is_ignored(std::uint64_t ignored_signals, int signal) {
    // The interpreter's exec restores these two for its children.
    if (signal == SIGPIPE || signal == SIGXFSZ || signal > 64)
        return false;
    return (ignored_signals >> (signal - 1)) & 1;
}

bool same_limit(const rlimit& one, const rlimit& other) {
    return one.rlim_cur == other.rlim_cur && one.rlim_max == other.rlim_max;
}

bool same_groups(std::vector<gid_t> wanted) {
    std::vector<gid_t> current(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    if (::getgroups(static_cast<int>(current.size()), current.data()) != static_cast<int>(wanted.size()))
        return false;
    std::sort(current.begin(), current.end());
    std::sort(wanted.begin(), wanted.end());
    return current == wanted;
}

// Changes to the worker's user ids; 0, or the errno.  A guard of another
// user (root) forks without the worker's process limit, so the limit is
// enforced where the kernel checks it after a change of user: the change
// marks the process when the new user already has more processes than the
// limit, and exec then fails with EAGAIN.  Under the limit less one during
// the change, that is exactly when the worker's own fork would have failed
// (its user has as many as the limit); the exec sees the limit itself.
int become_user(const guard_protocol::Inherited& wanted) {
    const rlimit& processes = wanted.limits[RLIMIT_NPROC];
    bool lowered = false;
    if (processes.rlim_cur != RLIM_INFINITY && processes.rlim_cur > 0) {
        rlimit less{processes.rlim_cur - 1, processes.rlim_max};
        lowered = ::setrlimit(RLIMIT_NPROC, &less) == 0;
    }
    int error = ::setresuid(wanted.uids[0], wanted.uids[1], static_cast<uid_t>(-1)) == 0 ? 0 : errno;
    if (lowered)
        ::setrlimit(RLIMIT_NPROC, &processes);
    return error;
}

// Takes on what the worker has now where the guard differs; 0, or the errno.
// Only what differs is set, so an unprivileged guard never needs a privilege
// for what it already has.  Limits and groups first: they may need the
// privilege that the ids give up.  The nice value is a courtesy: a guard
// that may not lower its own (the worker had the right, the guard not)
// runs the chain at its own.
int take_on(const guard_protocol::Inherited& wanted, const std::vector<gid_t>& groups) {
    if (::getpriority(PRIO_PROCESS, 0) != wanted.nice)
        ::setpriority(PRIO_PROCESS, 0, wanted.nice);
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        auto which = static_cast<__rlimit_resource_t>(resource);
        rlimit current{};
        if (::getrlimit(which, &current) != 0 || same_limit(current, wanted.limits[resource]))
            continue;
        if (::setrlimit(which, &wanted.limits[resource]) != 0)
            return errno;
    }
    if (!same_groups(groups) && ::setgroups(groups.size(), groups.data()) != 0)
        return errno;
    // The saved ids are left: exec replaces them with the effective ones.
    if ((::getgid() != wanted.gids[0] || ::getegid() != wanted.gids[1]) &&
        ::setresgid(wanted.gids[0], wanted.gids[1], static_cast<gid_t>(-1)) != 0)
        return errno;
    if (::getuid() != wanted.uids[0] || ::geteuid() != wanted.uids[1])
        return become_user(wanted);
    return 0;
}

// In the forked child: wait for go, set up and exec, or write the errno
// to `start`.  The guard is single-threaded, so the child may do what it
// likes; it still keeps to system calls.
[[noreturn]] void become_chain(char* const* candidates, char* const* argv, char* const* envp,
                               const guard_protocol::SpawnRequest& request, const std::vector<gid_t>& groups,
                               const ChainFds& fds, int start, int guards_end) {
    int error = 0;
    ::setpgid(0, 0);
    // Or this copy would keep the end of file below from ever coming.
    ::close(guards_end);
    // Nothing of the chain runs before the worker can kill it: a guard that
    // died before handing over the pidfd leaves end of file here.
    char word = 0;
    ssize_t count;
    while ((count = ::read(start, &word, sizeof word)) < 0 && errno == EINTR) {
    }
    if (count != sizeof word)
        ::_exit(127);
    struct sigaction action {};
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP)
            continue;
        action.sa_handler = is_ignored(request.ignored_signals, signal) ? SIG_IGN : SIG_DFL;
        ::sigaction(signal, &action, nullptr);  // EINVAL for the C library's own: left as they are
    }
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    // The directory first: the worker's ids may not be allowed to enter it,
    // though a child of the worker would have started there all the same.
    if (::fchdir(fds.cwd) != 0 || ::dup2(fds.devnull, STDIN_FILENO) < 0 || ::dup2(fds.out, STDOUT_FILENO) < 0 ||
        ::dup2(fds.err, STDERR_FILENO) < 0)
        error = errno;
    else
        error = take_on(request.inherited, groups);
    if (error == 0) {
        // Everything else closes; `start` closes itself on a successful exec.
        ::syscall(SYS_close_range, STDERR_FILENO + 1, start - 1, 0);
        ::syscall(SYS_close_range, start + 1, ~0U, 0);
        for (char* const* candidate = candidates; *candidate != nullptr; ++candidate) {
            ::execve(*candidate, argv, envp);
            if (errno != ENOENT && errno != ENOTDIR && error == 0)
                error = errno;
        }
        if (error == 0)
            error = errno;
    }
    while (::write(start, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// A fork from the worker would fail once its user has as many processes as
// the worker's limit allows; the guard's own limit may be higher (it is the
// worker's at the guard's start), so it forks under the worker's.  (A guard
// that runs as another user, root, is not limited; the leader's change of
// user then makes its exec fail the same way.)
class ProcessLimit {
public:
    explicit ProcessLimit(const rlimit& wanted) noexcept {
        lowered_ = ::getrlimit(RLIMIT_NPROC, &own_) == 0 && wanted.rlim_cur < own_.rlim_cur;
        if (lowered_) {
            rlimit lower{wanted.rlim_cur, own_.rlim_max};
            lowered_ = ::setrlimit(RLIMIT_NPROC, &lower) == 0;
        }
    }
    ~ProcessLimit() {
        if (lowered_)
            ::setrlimit(RLIMIT_NPROC, &own_);
    }
    ProcessLimit(const ProcessLimit&) = delete;
    ProcessLimit& operator=(const ProcessLimit&) = delete;

private:
    rlimit own_{};
    bool lowered_;
};

}  // namespace

ForkedChain fork_chain(const guard_protocol::Body& body, const guard_protocol::SpawnRequest& request,
                       const ChainFds& fds) {
    if (body.candidates.empty() || body.argv.empty())
        return ForkedChain{-1, -1, EINVAL};
    std::vector<char*> candidates = pointers(body.candidates);
    std::vector<char*> argv = pointers(body.argv);
    std::vector<char*> envp = pointers(body.environment);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return ForkedChain{-1, -1, errno};
    Fd ours(pair[0]);
    Fd leaders(pair[1]);
    pid_t pid;
    {
        ProcessLimit limit(request.inherited.limits[RLIMIT_NPROC]);
        pid = ::fork();
    }
    if (pid == 0)
        become_chain(candidates.data(), argv.data(), envp.data(), request, body.groups, fds, leaders.get(),
                     ours.get());
    if (pid < 0)
        return ForkedChain{-1, -1, errno};
    // Also here, so the group exists before the worker hears of it.
    ::setpgid(pid, pid);
    return ForkedChain{pid, ours.release(), 0};
}

void go(int start_socket) {
    char word = 1;
    ::send(start_socket, &word, sizeof word, MSG_NOSIGNAL | MSG_DONTWAIT);
}

int start_outcome(int start_socket) {
    int error = 0;
    ssize_t count;
    while ((count = ::recv(start_socket, &error, sizeof error, MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    ::close(start_socket);
    if (count == 0)
        return 0;  // exec'd: the socket closed without a word
    return count == sizeof error && error != 0 ? error : EIO;
}

}  // namespace avwatch::guard
