// avwatch-guard: the parent of every prober chain that one worker starts.
//
// A worker can end without running any code of its own (SIGKILL, SIGTERM's
// default action, an abort), so the chains it started must be ended by
// something that outlives it.  This process is started by the worker on its
// first probe, in a session of its own (the worker's terminal and group
// signals never reach it), starts each chain on request, and kills the
// chains' process groups when asked or when its socket from the worker
// reaches end of file, which happens however the worker dies.  As a child
// subreaper it also ends what the chains leave behind: whatever is
// reparented to it and belongs to no chain in flight (cpulimit's orphans, a
// prober's child that escaped into a session of its own) is killed and
// collected.  Since it alone collects the leaders, and only after killing
// their groups, no group it signals can have been recycled.
//
// Single-threaded: one poll loop that never waits on anything but it, so a
// chain slow to start holds up no other.

#include "guard/chain.hpp"
#include "probe/guard_protocol.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace avwatch::guard {
namespace {

namespace protocol = guard_protocol;
using Clock = std::chrono::steady_clock;

// How often the children are looked over while chains may leave orphans:
// an escaped process lives at most about this long after its chain.
constexpr std::chrono::milliseconds sweep_interval{200};
// After the last chain ended, orphans may still be on their way here.
constexpr std::chrono::seconds sweep_after_chains{2};
// At the worker's end: how long to go on killing what is reparented here.
constexpr std::chrono::seconds last_sweep{2};

struct Probe {
    int channel;
    pid_t leader;
    int start_socket;  // until the exec's outcome is known, else -1
    bool exited;
    bool ending;  // the group was killed; the leader is not yet collected
};

// This process's children, zombies included; false when /proc cannot say.
bool read_children(std::vector<pid_t>& children) {
    children.clear();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(::getpid()));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return false;
    int pid;
    while (std::fscanf(file, "%d", &pid) == 1)
        children.push_back(pid);
    std::fclose(file);
    return true;
}

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
            for (const Probe& probe : probes_) {
                if (!probe.ending)
                    fds.push_back({probe.channel, POLLIN, 0});
                if (probe.start_socket >= 0)
                    fds.push_back({probe.start_socket, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), sweep_due() ? static_cast<int>(sweep_interval.count()) : -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            // Before anything changes `probes_`.
            std::vector<int> ready;
            for (std::size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents != 0)
                    ready.push_back(fds[i].fd);
            for (int fd : ready)
                serve_ready(fd);
            if (fds[1].revents != 0)
                drain(signals);
            note_exits();
            sweep(false);
            if (fds[0].revents != 0 && !serve_request())
                break;
        }
        for (const Probe& probe : probes_)
            kill_group(probe.leader);
        // What the chains leave now comes here: end it all, for a while.
        auto until = Clock::now() + last_sweep;
        while (sweep(true) && Clock::now() < until) {
            pollfd wait{signals, POLLIN, 0};
            ::poll(&wait, 1, 20);
            drain(signals);
        }
    }

private:
    bool sweep_due() const { return !probes_.empty() || Clock::now() < sweep_until_; }

    // A chain's channel (the worker asks for its end) or its start socket
    // (the exec's outcome) is readable.
    void serve_ready(int fd) {
        auto probe = std::find_if(probes_.begin(), probes_.end(),
                                  [&](const Probe& p) { return p.channel == fd || p.start_socket == fd; });
        if (probe == probes_.end())
            return;
        if (probe->start_socket == fd)
            settle_start(*probe);
        else if (!probe->ending)
            end_probe(*probe);
    }

    void settle_start(Probe& probe) {
        int error = start_outcome(probe.start_socket);
        probe.start_socket = -1;
        if (error != 0)
            report(probe.channel, protocol::EventKind::failed, error);
    }

    // False at end of file: the worker is gone.
    bool serve_request() {
        protocol::SpawnRequest request{};
        // The worker may have raised its descriptor limit since this guard
        // started: make room for what it sends before taking it.
        if (::recv(protocol::control_fd, &request, sizeof request, MSG_PEEK | MSG_DONTWAIT) ==
            static_cast<ssize_t>(sizeof request))
            make_room(request.inherited.limits[RLIMIT_NOFILE]);
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

    static void make_room(const rlimit& wanted) {
        rlimit own{};
        if (::getrlimit(RLIMIT_NOFILE, &own) != 0 || wanted.rlim_cur <= own.rlim_cur)
            return;
        rlimit raised{wanted.rlim_cur, std::max(own.rlim_max, wanted.rlim_cur)};
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            raised = {own.rlim_max, own.rlim_max};  // as far as an unprivileged guard may
            ::setrlimit(RLIMIT_NOFILE, &raised);
        }
    }

    void spawn(const protocol::SpawnRequest& request, const std::vector<int>& fds) {
        int channel = fds[protocol::SpawnFd::channel];
        protocol::Body body;
        std::string encoded;
        if (!read_all(fds[protocol::SpawnFd::body], encoded) || !protocol::decode(encoded, body)) {
            report(channel, protocol::EventKind::failed, EINVAL);
            return;
        }
        ForkedChain chain = fork_chain(body, request,
                                       ChainFds{devnull_, fds[protocol::SpawnFd::out], fds[protocol::SpawnFd::err],
                                                fds[protocol::SpawnFd::cwd]});
        if (chain.leader < 0) {
            report(channel, protocol::EventKind::failed, chain.error);
            return;
        }
        probes_.push_back({channel, chain.leader, chain.start_socket, false, false});
        // The worker gets a pidfd of the leader before the chain may run,
        // so it can end the chain whatever becomes of this guard.
        int leader = static_cast<int>(::syscall(SYS_pidfd_open, chain.leader, 0));
        report(channel, protocol::EventKind::started, chain.leader, leader);
        if (leader >= 0)
            ::close(leader);
        go(chain.start_socket);
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
    // others' probes (three small events per probe fit any socket buffer).
    static void report(int channel, protocol::EventKind kind, int value, int attached = -1) {
        protocol::Event event{kind, value};
        protocol::send_with_fds(channel, &event, sizeof event,
                                attached >= 0 ? std::span<const int>(&attached, 1) : std::span<const int>());
    }

    bool is_in_flight(int channel) const {
        return std::any_of(probes_.begin(), probes_.end(), [&](const Probe& probe) { return probe.channel == channel; });
    }

    // Reports leaders that exited, leaving them uncollected: their pids,
    // and so their groups' ids, stay ours until the group is killed.  A
    // leader that failed to start reports that first.
    void note_exits() {
        for (Probe& probe : probes_) {
            if (probe.exited || probe.ending)
                continue;
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(probe.leader), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                info.si_pid != probe.leader)
                continue;
            if (probe.start_socket >= 0)
                settle_start(probe);
            probe.exited = true;
            report(probe.channel, protocol::EventKind::exited,
                   info.si_code == CLD_EXITED ? info.si_status : -info.si_status);
        }
    }

    // Collects the leaders of ended chains, and kills and collects whatever
    // was reparented here: everything but the chains in flight and their
    // groups when `everything` is false.  True while children are left.
    bool sweep(bool everything) {
        if (!read_children(children_))
            return sweep_by_wait(everything);
        for (pid_t child : children_) {
            auto probe = std::find_if(probes_.begin(), probes_.end(), [&](const Probe& p) { return p.leader == child; });
            if (probe != probes_.end()) {
                if (!probe->ending && !everything)
                    continue;
                if (::waitpid(child, nullptr, WNOHANG) == child)
                    forget(probe);
                continue;
            }
            if (!everything && in_chain_in_flight(child))
                continue;
            // Ours until collected, so the pid cannot have been recycled.
            ::kill(child, SIGKILL);
            if (::waitpid(child, nullptr, WNOHANG) != child)
                sweep_until_ = std::max(sweep_until_, Clock::now() + sweep_interval * 2);
        }
        return !children_.empty();
    }

    // Without /proc: collects exited children that are not leaders in
    // flight, oldest first, as the kernel offers them.
    bool sweep_by_wait(bool everything) {
        while (true) {
            siginfo_t info{};
            if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
                return false;
            auto probe =
                std::find_if(probes_.begin(), probes_.end(), [&](const Probe& p) { return p.leader == info.si_pid; });
            if (probe != probes_.end() && !probe->ending && !everything)
                return true;
            ::waitpid(info.si_pid, nullptr, WNOHANG);
            if (probe != probes_.end())
                forget(probe);
        }
    }

    bool in_chain_in_flight(pid_t pid) const {
        pid_t group = ::getpgid(pid);
        return std::any_of(probes_.begin(), probes_.end(),
                           [&](const Probe& probe) { return !probe.ending && probe.leader == group; });
    }

    void end_probe(Probe& probe) {
        probe.ending = true;
        kill_group(probe.leader);
        if (probe.start_socket >= 0) {
            ::close(probe.start_socket);
            probe.start_socket = -1;
        }
        sweep_until_ = Clock::now() + sweep_after_chains;
    }

    // The leader is collected: closing the channel tells the worker that
    // the group is gone.
    void forget(std::vector<Probe>::iterator probe) {
        ::close(probe->channel);
        if (probe->start_socket >= 0)
            ::close(probe->start_socket);
        probes_.erase(probe);
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
    std::vector<pid_t> children_;
    Clock::time_point sweep_until_{};
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
    // Each chain in flight holds a few descriptors here; poll() has no
    // ceiling of its own, so the soft limit goes as high as it may.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
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
