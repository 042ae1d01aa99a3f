#include "probe/guard_link.hpp"

#include "module/api.hpp"
#include "probe/fd.hpp"
#include "probe/kept_fd.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace avwatch {

struct GuardProcess {
    KeptFd socket;
    KeptFd pidfd;
    pid_t pid = -1;
    // In clock ticks after boot, as /proc gives it: with the pid, who the
    // guard is once the pidfd is no longer ours.
    unsigned long long start_time = 0;
    std::atomic<bool> stuck{false};
};

namespace {

namespace protocol = guard_protocol;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds signal_check_interval{100};
// How long a retired guard's end is waited for before it is left to a
// later probe to collect.
constexpr std::chrono::milliseconds collect_patience{200};

// The guard in use, and retired ones not yet collected.  Read and changed
// with the interpreter lock held, except by the fork handler, which runs
// alone in the child.
GuardRef current;
std::vector<GuardRef> retired;

// A forked child must not share its parent's guard: it would keep the
// guard's socket open after the parent died, and its probes would mix with
// the parent's.  So it closes the guard's descriptors and forgets it,
// leaking what it cannot free here (a child of a multi-threaded process may
// only call async-signal-safe functions; the retired guards are not its
// children to collect).  It starts its own guard when it probes.
void forget_guards_in_child() {
    if (current) {
        current->socket.close();
        current->pidfd.close();
    }
    ::new (&current) GuardRef();
    ::new (&retired) std::vector<GuardRef>();
}

// The guard program: avwatch.libexec/avwatch-guard beside this module.
std::string guard_path() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&guard_path), &info) == 0 || info.dli_fname == nullptr)
        return "avwatch.libexec/avwatch-guard";
    std::string module = info.dli_fname;
    std::size_t slash = module.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".") : module.substr(0, slash);
    return folder + "/avwatch.libexec/avwatch-guard";
}

// Field 22 of /proc/PID/stat (0 when unreadable), and the state in `state`.
unsigned long long start_time_of(pid_t pid, char* state = nullptr) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return 0;
    char line[1024];
    std::size_t size = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[size] = '\0';
    // The command name may hold anything: the fields start after its last ')'.
    const char* rest = nullptr;
    for (const char* at = line; *at != '\0'; ++at)
        if (*at == ')')
            rest = at + 1;
    char found_state = 0;
    unsigned long long start = 0;
    if (rest == nullptr ||
        std::sscanf(rest, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                    &found_state, &start) != 2)
        return 0;
    if (state != nullptr)
        *state = found_state;
    return start;
}

// 0, or the errno.  The guard gets `socket` as descriptor 3, stdin and
// stdout on /dev/null, stderr shared (for its diagnostics), default signal
// actions, and a session of its own.
int spawn_guard(pid_t& pid, const std::string& path, int socket, posix_spawn_file_actions_t& actions,
                posix_spawnattr_t& attributes) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    int error = 0;
    for (int step : {
             posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
             posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0),
             posix_spawn_file_actions_adddup2(&actions, socket, protocol::control_fd),
             posix_spawn_file_actions_addclosefrom_np(&actions, protocol::control_fd + 1),
             posix_spawnattr_setflags(&attributes,
                                      POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
             posix_spawnattr_setsigmask(&attributes, &none),
             posix_spawnattr_setsigdefault(&attributes, &all),
         })
        if (error == 0)
            error = step;
    char* argv[] = {const_cast<char*>("avwatch-guard"), nullptr};
    if (error == 0)
        error = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    return error;
}

// 0, or the errno.
int start_guard(const std::string& path) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return errno;
    Fd ours(pair[0]);
    Fd theirs(pair[1]);
    if (theirs.get() <= protocol::control_fd) {
        // Out of the way of the descriptors set up below (a worker may have
        // closed its stdin), and dup2() onto itself would leave
        // close-on-exec set.
        int moved = ::fcntl(theirs.get(), F_DUPFD_CLOEXEC, protocol::control_fd + 1);
        if (moved < 0)
            return errno;
        theirs.reset(moved);
    }
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = posix_spawn_file_actions_init(&actions);
    if (error == 0) {
        error = posix_spawnattr_init(&attributes);
        if (error == 0) {
            error = spawn_guard(pid, path, theirs.get(), actions, attributes);
            posix_spawnattr_destroy(&attributes);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    if (error != 0)
        return error;
    static bool fork_handler_installed = false;
    if (!fork_handler_installed)
        fork_handler_installed = ::pthread_atfork(nullptr, nullptr, forget_guards_in_child) == 0;
    auto guard = std::make_shared<GuardProcess>();
    guard->socket = KeptFd(ours.release());
    // The guard lives until its socket closes; a pidfd lets us kill it when
    // it hangs and collect it without ever signalling a recycled pid.
    guard->pidfd = KeptFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    guard->pid = pid;
    guard->start_time = start_time_of(pid);
    current = std::move(guard);
    return 0;
}

// Whether a retired guard has been collected (or is not ours to collect).
bool collected(GuardProcess& guard) {
    siginfo_t info{};
    if (int pidfd = guard.pidfd.get(); pidfd >= 0) {
        if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) != 0)
            return errno != EINTR;  // ECHILD: a SIGCHLD handler or SIG_IGN took it
        return info.si_pid != 0;
    }
    // The pidfd was closed behind our back: the pid is the guard's while
    // /proc shows it with the guard's start time, and only a zombie is
    // collected by number.
    char state = 0;
    if (guard.pid <= 0 || start_time_of(guard.pid, &state) != guard.start_time)
        return true;
    if (state != 'Z')
        return false;
    return ::waitpid(guard.pid, nullptr, WNOHANG) != 0;
}

void collect_retired() {
    std::erase_if(retired, [](const GuardRef& guard) { return collected(*guard); });
}

int send_request(int socket, const protocol::SpawnRequest& request, const int (&fds)[protocol::SpawnFd::count]) {
    while (protocol::send_with_fds(socket, &request, sizeof request, fds) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// 0, the errno, or ETIMEDOUT when the guard took nothing in before
// `deadline`.  Waits for room without the interpreter lock.
int send_in_time(GuardProcess& guard, const protocol::SpawnRequest& request,
                 const int (&fds)[protocol::SpawnFd::count], Clock::time_point deadline) {
    while (true) {
        int socket = guard.socket.get();
        if (socket < 0)
            return EPIPE;  // closed behind our back: as good as gone
        int error = send_request(socket, request, fds);
        if (error != EAGAIN)
            return error;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return ETIMEDOUT;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline - now, Clock::duration(signal_check_interval)));
        {
            WithoutGil unlocked;
            pollfd room{socket, POLLOUT, 0};
            ::poll(&room, 1, static_cast<int>(wait.count()));
        }
        if (PyErr_CheckSignals() < 0)
            throw ErrorSet{};
    }
}

}  // namespace

GuardRef send_to_guard(const protocol::SpawnRequest& request, const int (&fds)[protocol::SpawnFd::count],
                       Clock::time_point deadline) {
    collect_retired();
    for (int attempt = 0;; ++attempt) {
        if (current && !current->socket.is_ours())
            retire_guard(current, false);
        if (!current) {
            std::string path = guard_path();
            if (int error = start_guard(path)) {
                Owned filename = Owned::steal(PyUnicode_DecodeFSDefault(path.c_str()));
                raise_os_error(error, filename.get());
            }
        }
        GuardRef guard = current;
        int error = send_in_time(*guard, request, fds, deadline);
        if (error == 0)
            return guard;
        if (error == ETIMEDOUT) {
            retire_guard(guard, true);
            return nullptr;
        }
        // A guard that died closed its end: start another, once.
        if (attempt > 0 || (error != EPIPE && error != ECONNRESET))
            raise_os_error(error);
        retire_guard(guard, false);
    }
}

void retire_guard(GuardRef guard, bool kill) {
    if (!guard)
        return;
    if (kill) {
        guard->stuck = true;
        if (int pidfd = guard->pidfd.get(); pidfd >= 0)
            ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    }
    if (current == guard) {
        current.reset();
        retired.push_back(guard);
    }
    // A guard that died or was killed is gone within moments: collected
    // now, not at some later probe.
    if (int pidfd = guard->pidfd.get(); pidfd >= 0) {
        WithoutGil unlocked;
        pollfd ended{pidfd, POLLIN, 0};
        ::poll(&ended, 1, static_cast<int>(collect_patience.count()));
    }
    collect_retired();
}

bool was_retired_as_stuck(const GuardRef& guard) noexcept { return guard && guard->stuck; }

}  // namespace avwatch
