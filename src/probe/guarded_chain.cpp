#include "probe/guarded_chain.hpp"

#include "module/api.hpp"
#include "probe/guard_link.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#ifndef PIDFD_SIGNAL_PROCESS_GROUP
#define PIDFD_SIGNAL_PROCESS_GROUP (1U << 2)  // Linux 6.9
#endif

namespace avwatch {
namespace {

namespace protocol = guard_protocol;

// The request's strings in a memfd (an environment can be larger than a
// socket message may be).  0, or the errno.
int body_file(const protocol::Body& body, Fd& file) {
    file.reset(::memfd_create("avwatch-chain", MFD_CLOEXEC));
    if (!file.is_open())
        return errno;
    std::string encoded = protocol::encode(body);
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

}  // namespace

GuardedChain GuardedChain::start(const ChainRequest& request, int out, int err) {
    Fd body;
    if (int error = body_file(request.body, body))
        raise_os_error(error);
    // The chain runs where the worker is now, wherever the guard started:
    // even where the worker may no longer enter (it gave up the right after
    // entering), as its own child would.  Only the magic link reaches that.
    Fd cwd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!cwd.is_open() && errno == EACCES)
        cwd.reset(::open("/proc/self/cwd", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!cwd.is_open())
        raise_os_error(errno);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        raise_os_error(errno);
    Fd ours(pair[0]);
    Fd guards(pair[1]);
    int fds[protocol::SpawnFd::count];
    fds[protocol::SpawnFd::channel] = guards.get();
    fds[protocol::SpawnFd::body] = body.get();
    fds[protocol::SpawnFd::out] = out;
    fds[protocol::SpawnFd::err] = err;
    fds[protocol::SpawnFd::cwd] = cwd.get();
    std::uint64_t guard = send_to_guard(request.header, fds);
    return GuardedChain(std::move(ours), guard);
}

GuardedChain::~GuardedChain() {
    if (channel_.is_open())
        request_end();
    kill_group();
}

void GuardedChain::read_events() noexcept {
    while (channel_.is_open() && !lost_) {
        protocol::Event event{};
        ssize_t size = ::recv(channel_.get(), &event, sizeof event, MSG_DONTWAIT);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && errno == EAGAIN)
            return;
        if (size != sizeof event) {
            // The guard closes the channel after a failed start; otherwise
            // only when it is gone.
            lost_ = start_error_ == 0;
            return;
        }
        switch (event.kind) {
        case protocol::EventKind::started:
            started_ = true;
            // The guard collects the leader only after killing its group,
            // so this pid is still the leader's.  Without pidfds (before
            // Linux 5.3) the guard alone ends the group.
            leader_.reset(static_cast<int>(::syscall(SYS_pidfd_open, event.value, 0)));
            break;
        case protocol::EventKind::failed:
            start_error_ = event.value;
            break;
        case protocol::EventKind::exited:
            exited_ = true;
            returncode_ = event.value;
            break;
        }
    }
}

void GuardedChain::abandon_guard() { avwatch::abandon_guard(guard_); }

void GuardedChain::end() noexcept {
    if (!channel_.is_open())
        return;
    request_end();
    char drained[sizeof(protocol::Event)];
    while (true) {
        ssize_t size = ::recv(channel_.get(), drained, sizeof drained, 0);
        if (size == 0 || (size < 0 && errno != EINTR))
            break;
    }
    channel_.reset();
}

// What is left of the group once the guard has killed it is dying anyway;
// but a guard that was killed itself left the chain running, and nothing
// else would end it.  Signals the group whose id is the leader's pid, by
// the pid itself rather than its number (before Linux 6.9 this fails
// harmlessly, and such a chain is left running).
void GuardedChain::kill_group() noexcept {
    if (leader_.is_open())
        ::syscall(SYS_pidfd_send_signal, leader_.get(), SIGKILL, nullptr, PIDFD_SIGNAL_PROCESS_GROUP);
    leader_.reset();
}

void GuardedChain::request_end() noexcept {
    char request = 0;
    ::send(channel_.get(), &request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace avwatch
