#include "guard/chain.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
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

// In the forked child: set up and exec, or write the errno to `report`.
// The guard is single-threaded, so the child may do what it likes; it
// still keeps to system calls.
[[noreturn]] void become_chain(char* const* candidates, char* const* argv, char* const* envp,
                               std::uint64_t ignored_signals, const ChainFds& fds, int report) {
    int error = 0;
    ::setpgid(0, 0);
    struct sigaction action {};
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP)
            continue;
        action.sa_handler = is_ignored(ignored_signals, signal) ? SIG_IGN : SIG_DFL;
        ::sigaction(signal, &action, nullptr);  // EINVAL for the C library's own: left as they are
    }
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    if (::fchdir(fds.cwd) != 0 || ::dup2(fds.devnull, STDIN_FILENO) < 0 || ::dup2(fds.out, STDOUT_FILENO) < 0 ||
        ::dup2(fds.err, STDERR_FILENO) < 0) {
        error = errno;
    } else {
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

pid_t start_chain(const guard_protocol::Body& body, std::uint64_t ignored_signals, const ChainFds& fds) {
    if (body.candidates.empty() || body.argv.empty())
        return -EINVAL;
    std::vector<char*> candidates = pointers(body.candidates);
    std::vector<char*> argv = pointers(body.argv);
    std::vector<char*> envp = pointers(body.environment);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return -errno;
    pid_t pid = ::fork();
    if (pid == 0)
        become_chain(candidates.data(), argv.data(), envp.data(), ignored_signals, fds, report[1]);
    int fork_error = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return -fork_error;
    }
    int error = 0;
    ssize_t count;
    while ((count = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (count == 0)
        return pid;  // exec'd: the report pipe closed without a word
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return -(count == sizeof error && error != 0 ? error : EIO);
}

}  // namespace avwatch::guard
