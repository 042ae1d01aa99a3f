// avwatch-guard: the parent of every prober chain that one worker starts.
//
// A worker can end without running any code of its own (SIGKILL, SIGTERM's
// default action, an abort), so the chains it started must be ended by
// something that outlives it.  This process is started by the worker on its
// first probe, in a session of its own (the worker's terminal and group
// signals never reach it), starts each chain on request, and kills the
// chains' process groups when asked or when its socket from the worker
// reaches end of file, which happens however the worker dies.  As a child
// subreaper it also collects what the chains leave behind (cpulimit's
// orphans).  Since it alone collects the leaders, and only after killing
// their groups, no group it signals can have been recycled.
//
// Single-threaded: one poll loop.

#include "guard/chain.hpp"
#include "probe/guard_protocol.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace avwatch::guard {
namespace {

namespace protocol = guard_protocol;

struct Probe {
    int channel;
    pid_t leader;
    bool exited;
};

class Guard {
public:
    explicit Guard(int devnull) noexcept : devnull_(devnull) {}

    // Serves until the worker is gone.
    void run(int signals) {
        std::vector<pollfd> fds;
        while (true) {
            fds.clear();
            fds.push_back({protocol::control_fd, POLLIN, 0});
            fds.push_back({signals, POLLIN, 0});
            for (const Probe& probe : probes_)
                fds.push_back({probe.channel, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            // Channels first: `probes_` still matches `fds` here.
            std::vector<int> ended;
            for (std::size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents != 0)
                    ended.push_back(fds[i].fd);
            for (int channel : ended)
                end_probe(channel);
            if (fds[1].revents != 0) {
                drain(signals);
                note_exits();
                collect_orphans();
            }
            if (fds[0].revents != 0 && !serve_request())
                break;
        }
        for (const Probe& probe : probes_)
            kill_group(probe.leader);
    }

private:
    // False at end of file: the worker is gone.
    bool serve_request() {
        protocol::SpawnRequest request{};
        iovec data{&request, sizeof request};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * protocol::SpawnFd::count)];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t size = ::recvmsg(protocol::control_fd, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (size < 0)
            return errno == EINTR || errno == EAGAIN;
        if (size == 0)
            return false;
        std::vector<int> fds;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
                continue;
            std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const auto* received = reinterpret_cast<const int*>(CMSG_DATA(header));
            fds.insert(fds.end(), received, received + count);
        }
        if (size == sizeof request && fds.size() == protocol::SpawnFd::count)
            spawn(request, fds);
        else if (!fds.empty() && fds.size() == protocol::SpawnFd::count)
            report(fds[protocol::SpawnFd::channel], protocol::EventKind::failed, EINVAL);
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (i != protocol::SpawnFd::channel || !is_in_flight(fds[i]))
                ::close(fds[i]);
        return true;
    }

    void spawn(const protocol::SpawnRequest& request, const std::vector<int>& fds) {
        int channel = fds[protocol::SpawnFd::channel];
        protocol::Body body;
        std::string encoded;
        if (!read_all(fds[protocol::SpawnFd::body], encoded) || !protocol::decode(encoded, body)) {
            report(channel, protocol::EventKind::failed, EINVAL);
            return;
        }
        pid_t pid = start_chain(body, request,
                                ChainFds{devnull_, fds[protocol::SpawnFd::out], fds[protocol::SpawnFd::err],
                                         fds[protocol::SpawnFd::cwd]});
        if (pid < 0) {
            report(channel, protocol::EventKind::failed, -pid);
            return;
        }
        probes_.push_back({channel, pid, false});
        report(channel, protocol::EventKind::started, pid);
    }

    static bool read_all(int fd, std::string& into) {
        struct stat status {};
        if (::fstat(fd, &status) != 0)
            return false;
        into.resize(static_cast<std::size_t>(status.st_size));
        std::size_t done = 0;
        while (done < into.size()) {
            ssize_t count = ::pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(done));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return false;
            done += static_cast<std::size_t>(count);
        }
        return true;
    }

    // Never blocks: a worker thread that stopped reading must not stall the
    // others' probes (two small events per probe fit any socket buffer).
    static void report(int channel, protocol::EventKind kind, int value) {
        protocol::Event event{kind, value};
        ::send(channel, &event, sizeof event, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    bool is_in_flight(int channel) const {
        return std::any_of(probes_.begin(), probes_.end(), [&](const Probe& probe) { return probe.channel == channel; });
    }

    bool is_leader(pid_t pid) const {
        return std::any_of(probes_.begin(), probes_.end(), [&](const Probe& probe) { return probe.leader == pid; });
    }

    // Reports leaders that exited, leaving them uncollected: their pids,
    // and so their groups' ids, stay ours until the group is killed.
    void note_exits() {
        for (Probe& probe : probes_) {
            if (probe.exited)
                continue;
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(probe.leader), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                info.si_pid != probe.leader)
                continue;
            probe.exited = true;
            report(probe.channel, protocol::EventKind::exited,
                   info.si_code == CLD_EXITED ? info.si_status : -info.si_status);
        }
    }

    // Collects exited children that are not leaders in flight.  The kernel
    // offers the oldest first, so an exited leader waiting for its end
    // holds back those behind it until then.
    void collect_orphans() {
        while (true) {
            siginfo_t info{};
            if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0 ||
                is_leader(info.si_pid))
                return;
            ::waitpid(info.si_pid, nullptr, WNOHANG);
        }
    }

    void end_probe(int channel) {
        auto probe = std::find_if(probes_.begin(), probes_.end(), [&](const Probe& p) { return p.channel == channel; });
        if (probe == probes_.end())
            return;
        pid_t leader = probe->leader;
        probes_.erase(probe);
        kill_group(leader);
        while (::waitpid(leader, nullptr, 0) < 0 && errno == EINTR) {
        }
        // Closing tells the worker that the group is gone.
        ::close(channel);
        collect_orphans();
    }

    static void kill_group(pid_t leader) {
        ::killpg(leader, SIGKILL);
        ::kill(leader, SIGKILL);  // in case it left its group
    }

    static void drain(int signals) {
        signalfd_siginfo info;
        while (::read(signals, &info, sizeof info) > 0) {
        }
    }

    int devnull_;
    std::vector<Probe> probes_;
};

}  // namespace
}  // namespace avwatch::guard

int main() {
    using namespace avwatch::guard;
    // Orphans of the chains come to us, not to init.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Descriptors 0 to 2 stay taken, so none of ours is ever one of them
    // (the worker may have had stderr closed).
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd)
            return 1;
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t child_exits;
    sigemptyset(&child_exits);
    sigaddset(&child_exits, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &child_exits, nullptr);
    int signals = ::signalfd(-1, &child_exits, SFD_CLOEXEC | SFD_NONBLOCK);
    int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (signals < 0 || devnull < 0)
        return 1;
    Guard(devnull).run(signals);
    return 0;
}
