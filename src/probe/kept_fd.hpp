// A descriptor kept from one call to the next.  A caller may close it
// behind our back (a daemonizing library's os.closerange()) and the number
// then go to a socket or pidfd of its own: so it is known by its identity,
// the device and inode it had when it was opened, and used, closed or
// signalled through only while the number still has that identity.
#pragma once

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace avwatch {

class KeptFd {
public:
    KeptFd() noexcept = default;
    explicit KeptFd(int fd) noexcept : fd_(fd) {
        struct stat status {};
        if (fd_ >= 0 && ::fstat(fd_, &status) == 0) {
            device_ = status.st_dev;
            inode_ = status.st_ino;
        }
    }
    KeptFd(KeptFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), device_(other.device_), inode_(other.inode_) {}
    KeptFd& operator=(KeptFd&& other) noexcept {
        close();
        fd_ = std::exchange(other.fd_, -1);
        device_ = other.device_;
        inode_ = other.inode_;
        return *this;
    }
    ~KeptFd() { close(); }
    KeptFd(const KeptFd&) = delete;
    KeptFd& operator=(const KeptFd&) = delete;

    // The descriptor, or -1 once it is no longer the one we opened.
    int get() const noexcept { return is_ours() ? fd_ : -1; }
    bool is_ours() const noexcept {
        struct stat status {};
        return fd_ >= 0 && ::fstat(fd_, &status) == 0 && status.st_dev == device_ && status.st_ino == inode_;
    }
    // Closes it if it is still ours; a number taken over is left alone.
    void close() noexcept {
        if (is_ours())
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace avwatch
