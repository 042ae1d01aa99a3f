#include "probe/guard_link.hpp"

#include "module/api.hpp"
#include "probe/fd.hpp"

#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace avwatch {
namespace {

namespace protocol = guard_protocol;

// The guard's socket and a pidfd of the guard; -1 when there is none.
// Read and changed with the interpreter lock held, except by the fork
// handler, which runs alone in the child.
struct Link {
    int socket = -1;
    int pidfd = -1;
    // Which guard this is: one a probe lost may since have been replaced.
    std::uint64_t generation = 0;
};
Link link;
std::uint64_t guards_started = 0;

// A forked child must not share its parent's guard: it would keep the
// guard's socket open after the parent died, and its probes would mix with
// the parent's.  So it forgets the guard (close() only: a child of a
// multi-threaded process may only call async-signal-safe functions) and
// starts its own when it probes.
void forget_guard_in_child() {
    if (link.socket >= 0)
        ::close(link.socket);
    if (link.pidfd >= 0)
        ::close(link.pidfd);
    link = Link{};
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
        fork_handler_installed = ::pthread_atfork(nullptr, nullptr, forget_guard_in_child) == 0;
    link.socket = ours.release();
    link.generation = ++guards_started;
    // The guard lives until its socket closes; a pidfd lets us collect it
    // if it died early without ever signalling a recycled pid.
    link.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return 0;
}

// Collects a guard that closed its socket (it crashed, or was killed), or
// that is about to.
void drop_guard() {
    Link old = link;
    link = Link{};
    ::close(old.socket);
    if (old.pidfd < 0)
        return;
    ::syscall(SYS_pidfd_send_signal, old.pidfd, SIGKILL, nullptr, 0);
    {
        WithoutGil unlocked;
        siginfo_t info{};
        // ECHILD: a SIGCHLD handler or SIG_IGN collected it already.
        while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(old.pidfd), &info, WEXITED) != 0 &&
               errno == EINTR) {
        }
    }
    ::close(old.pidfd);
}

int send_request(const protocol::SpawnRequest& request, const int (&fds)[protocol::SpawnFd::count]) {
    iovec data{const_cast<protocol::SpawnRequest*>(&request), sizeof request};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fds);
    std::copy(std::begin(fds), std::end(fds), reinterpret_cast<int*>(CMSG_DATA(header)));
    while (::sendmsg(link.socket, &message, MSG_NOSIGNAL) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

}  // namespace

std::uint64_t send_to_guard(const protocol::SpawnRequest& request, const int (&fds)[protocol::SpawnFd::count]) {
    for (int attempt = 0;; ++attempt) {
        if (link.socket < 0) {
            std::string path = guard_path();
            if (int error = start_guard(path)) {
                Owned filename = Owned::steal(PyUnicode_DecodeFSDefault(path.c_str()));
                raise_os_error(error, filename.get());
            }
        }
        int error = send_request(request, fds);
        if (error == 0)
            return link.generation;
        // A guard that died closed its end: start another, once.
        if (attempt > 0 || (error != EPIPE && error != ECONNRESET))
            raise_os_error(error);
        drop_guard();
    }
}

void abandon_guard(std::uint64_t generation) {
    if (link.socket >= 0 && link.generation == generation)
        drop_guard();
}

}  // namespace avwatch
