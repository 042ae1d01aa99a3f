#include "probe/guarded_chain.hpp"

#include "module/api.hpp"
#include "probe/guard_link.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>

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
    // The chain runs where the worker is now, wherever the guard started.
    Fd cwd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
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

void GuardedChain::request_end() noexcept {
    char request = 0;
    ::send(channel_.get(), &request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace avwatch
