#include "probe/live_leaders.hpp"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef PIDFD_SIGNAL_PROCESS_GROUP
#define PIDFD_SIGNAL_PROCESS_GROUP (1U << 2)  // Linux 6.9
#endif

namespace avwatch {
namespace {

// A slot holds the owning process's pid and the pidfd, 0 when free: a
// forked child inherits the table but leaves its parent's chains alone.
constexpr std::size_t slot_count = 1024;
std::atomic<std::uint64_t> slots[slot_count];
std::atomic<bool> exit_handler_installed{false};

std::uint64_t entry_of(int pidfd) noexcept {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid())) << 32) |
           static_cast<std::uint32_t>(pidfd);
}

void end_remaining_groups() noexcept {
    auto owner = static_cast<std::uint32_t>(::getpid());
    for (auto& slot : slots) {
        std::uint64_t entry = slot.exchange(0);
        if (entry != 0 && static_cast<std::uint32_t>(entry >> 32) == owner)
            ::syscall(SYS_pidfd_send_signal, static_cast<int>(entry & 0xffffffffu), SIGKILL, nullptr,
                      PIDFD_SIGNAL_PROCESS_GROUP);
    }
}

}  // namespace

void remember_leader(int pidfd) noexcept {
    if (pidfd < 0)
        return;
    if (!exit_handler_installed.exchange(true))
        std::atexit(end_remaining_groups);
    std::uint64_t entry = entry_of(pidfd);
    for (auto& slot : slots) {
        std::uint64_t free = 0;
        if (slot.compare_exchange_strong(free, entry))
            return;
    }
}

void forget_leader(int pidfd) noexcept {
    if (pidfd < 0)
        return;
    std::uint64_t entry = entry_of(pidfd);
    for (auto& slot : slots) {
        std::uint64_t expected = entry;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

}  // namespace avwatch
