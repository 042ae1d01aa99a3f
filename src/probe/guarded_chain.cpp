#include "probe/guarded_chain.hpp"

#include "module/api.hpp"
#include "probe/guard_link.hpp"
#include "probe/live_leaders.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#ifndef PIDFD_SIGNAL_PROCESS_GROUP
#define PIDFD_SIGNAL_PROCESS_GROUP (1U << 2)  // Linux 6.9
#endif

namespace avwatch {
namespace {

namespace protocol = guard_protocol;

// A healthy guard reports a start within milliseconds (it only forks); one
// that has not within this is stopped or hung, and replaced.
constexpr std::chrono::milliseconds start_patience{1000};
// How long the guard has to confirm an end before it is left to it.
constexpr std::chrono::milliseconds end_patience{250};

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

GuardedChain GuardedChain::start(const ChainRequest& request, int out, int err, Clock::time_point deadline) {
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
    GuardRef guard = send_to_guard(request.header, fds, deadline);
    if (!guard)
        return GuardedChain(Fd(), nullptr, deadline);
    return GuardedChain(std::move(ours), std::move(guard), std::min(deadline, Clock::now() + start_patience));
}

GuardedChain::~GuardedChain() {
    if (channel_.is_open())
        request_end();
    kill_group();
}

void GuardedChain::read_events() noexcept {
    while (channel_.is_open() && !lost_) {
        protocol::Event event{};
        iovec data{&event, sizeof event};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t size = ::recvmsg(channel_.get(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && errno == EAGAIN)
            return;
        int attached = -1;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header))
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
                header->cmsg_len == CMSG_LEN(sizeof(int)))
                std::memcpy(&attached, CMSG_DATA(header), sizeof attached);
        if (size != sizeof event) {
            if (attached >= 0)
                ::close(attached);
            lost_ = true;
            return;
        }
        switch (event.kind) {
        case protocol::EventKind::started:
            take_started(event.value, attached);
            attached = -1;
            break;
        case protocol::EventKind::failed:
            start_error_ = event.value;
            break;
        case protocol::EventKind::exited:
            exited_ = true;
            returncode_ = event.value;
            break;
        }
        if (attached >= 0)
            ::close(attached);
    }
}

void GuardedChain::take_started(int leader_pid, int leader_pidfd) noexcept {
    started_ = true;
    // The guard sends a pidfd of the leader, taken while the leader could
    // not yet run; a guard that could not take one (before Linux 5.3) sends
    // the pid, still the leader's, since the guard collects it only after
    // killing its group.
    leader_.reset(leader_pidfd >= 0 ? leader_pidfd : static_cast<int>(::syscall(SYS_pidfd_open, leader_pid, 0)));
    remember_leader(leader_.get());
}

void GuardedChain::retire_guard(bool stuck) { avwatch::retire_guard(guard_, stuck); }

void GuardedChain::end() noexcept {
    kill_group();
    if (!channel_.is_open())
        return;
    request_end();
    // A guard that cannot confirm in time (stopped, or hung) is not waited
    // on: the group is dead already, and the guard collects it when it can.
    if (!guard_was_stuck()) {
        Clock::time_point until = Clock::now() + end_patience;
        char drained[sizeof(protocol::Event)];
        while (true) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd closing{channel_.get(), POLLIN, 0};
            if (left <= 0 || (::poll(&closing, 1, static_cast<int>(left)) < 0 && errno != EINTR))
                break;
            if (closing.revents == 0)
                continue;
            ssize_t size = ::recv(channel_.get(), drained, sizeof drained, MSG_DONTWAIT);
            if (size == 0 || (size < 0 && errno != EINTR && errno != EAGAIN))
                break;
        }
    }
    channel_.reset();
}

// The guard kills the group too; but a guard that was killed, or that
// hangs, would leave the chain running, and nothing else would end it.
// Signals the group whose id is the leader's pid, by the pid itself rather
// than its number (before Linux 6.9 this fails harmlessly, and such a chain
// is left to the guard).
void GuardedChain::kill_group() noexcept {
    if (leader_.is_open()) {
        ::syscall(SYS_pidfd_send_signal, leader_.get(), SIGKILL, nullptr, PIDFD_SIGNAL_PROCESS_GROUP);
        forget_leader(leader_.get());  // before the number can be reused
    }
    leader_.reset();
}

void GuardedChain::request_end() noexcept {
    char request = 0;
    ::send(channel_.get(), &request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace avwatch
