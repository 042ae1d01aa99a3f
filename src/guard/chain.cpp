#include "guard/chain.hpp"

#include "probe/fd.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <sys/resource.h>
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
    if ((::getuid() != wanted.uids[0] || ::geteuid() != wanted.uids[1]) &&
        ::setresuid(wanted.uids[0], wanted.uids[1], static_cast<uid_t>(-1)) != 0)
        return errno;
    return 0;
}

// In the forked child: set up and exec, or write the errno to `report`.
// The guard is single-threaded, so the child may do what it likes; it
// still keeps to system calls.
[[noreturn]] void become_chain(char* const* candidates, char* const* argv, char* const* envp,
                               const guard_protocol::SpawnRequest& request, const std::vector<gid_t>& groups,
                               const ChainFds& fds, int report) {
    int error = 0;
    ::setpgid(0, 0);
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
        // Everything else closes; `report` closes itself on a successful exec.
        ::syscall(SYS_close_range, STDERR_FILENO + 1, report - 1, 0);
        ::syscall(SYS_close_range, report + 1, ~0U, 0);
        for (char* const* candidate = candidates; *candidate != nullptr; ++candidate) {
            ::execve(*candidate, argv, envp);
            if (errno != ENOENT && errno != ENOTDIR && error == 0)
                error = errno;
        }
        if (error == 0)
            error = errno;
    }
    while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

}  // namespace

pid_t start_chain(const guard_protocol::Body& body, const guard_protocol::SpawnRequest& request,
                  const ChainFds& fds) {
    if (body.candidates.empty() || body.argv.empty())
        return -EINVAL;
    std::vector<char*> candidates = pointers(body.candidates);
    std::vector<char*> argv = pointers(body.argv);
    std::vector<char*> envp = pointers(body.environment);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return -errno;
    Fd report_read(report[0]);
    Fd report_write(report[1]);
    pid_t pid = ::fork();
    if (pid == 0)
        become_chain(candidates.data(), argv.data(), envp.data(), request, body.groups, fds, report_write.get());
    int fork_error = errno;
    report_write.reset();  // or the read below never sees end of file
    if (pid < 0)
        return -fork_error;
    int error = 0;
    ssize_t count;
    while ((count = ::read(report_read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (count == 0)
        return pid;  // exec'd: the report pipe closed without a word
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return -(count == sizeof error && error != 0 ? error : EIO);
}

}  // namespace avwatch::guard
