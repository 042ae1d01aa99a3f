#include "analysis/hls/files.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define AVWATCH_HAS_OPENAT2 1
#endif
#include <memory>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace avwatch::hls {

namespace {

// Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
constexpr int read_flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

FileIdentity identity_of(const struct stat& status) {
    FileIdentity identity;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = static_cast<std::uint64_t>(status.st_size);
    // A file may be dated centuries off: saturated, not wrapped.
    std::int64_t ns = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(status.st_mtim.tv_sec), std::int64_t{1'000'000'000}, &ns) ||
        __builtin_add_overflow(ns, static_cast<std::int64_t>(status.st_mtim.tv_nsec), &ns))
        ns = status.st_mtim.tv_sec < 0 ? INT64_MIN : INT64_MAX;
    identity.modified_ns = ns;
    return identity;
}

FileLookup failure(int error) {
    FileLookup lookup;
    lookup.status = (error == ENOENT || error == ENOTDIR) ? FileStatus::missing : FileStatus::failed;
    lookup.error = error;
    return lookup;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

// Keeps `opened` in `file` if it is a regular file: `file` is left closed
// (-1) and the lookup says why otherwise.
FileLookup keep_regular(FdCloser& opened, FdCloser& file, struct stat& status) {
    if (fstat(opened.fd, &status) != 0)
        return failure(errno);
    FileLookup lookup;
    lookup.identity = identity_of(status);
    if (!S_ISREG(status.st_mode)) {
        lookup.status = FileStatus::not_regular;
        return lookup;
    }
    lookup.status = FileStatus::ok;
    std::swap(file.fd, opened.fd);
    return lookup;
}

FileLookup open_regular(const std::string& path, FdCloser& file, struct stat& status) {
    FdCloser opened{open(path.c_str(), read_flags)};
    if (opened.fd < 0)
        return failure(errno);
    return keep_regular(opened, file, status);
}

FileLookup outside() {
    FileLookup lookup;
    lookup.status = FileStatus::outside;
    return lookup;
}

std::optional<std::string> real_path(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (!real)
        return std::nullopt;
    return std::string(real.get());
}

#if defined(SYS_openat2) && defined(AVWATCH_HAS_OPENAT2)
// openat2 came with Linux 5.6; a seccomp filter may refuse it too.
std::atomic<bool> openat2_refused{false};
#endif

double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

FileLookup look_up(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return failure(errno);
    FileLookup lookup;
    lookup.status = S_ISREG(status.st_mode) ? FileStatus::ok : FileStatus::not_regular;
    lookup.identity = identity_of(status);
    return lookup;
}

FileLookup read_file(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& into) {
    into.clear();
    FdCloser file{-1};
    struct stat status;
    FileLookup lookup = open_regular(path, file, status);
    if (file.fd < 0)
        return lookup;
    std::size_t wanted = std::min<std::size_t>(limit, static_cast<std::size_t>(status.st_size));
    into.resize(wanted);
    std::size_t got = 0;
    while (got < wanted) {
        ssize_t n = read(file.fd, into.data() + got, wanted - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            into.clear();
            return failure(errno);
        }
        if (n == 0)  // truncated since the fstat
            break;
        got += static_cast<std::size_t>(n);
    }
    into.resize(got);
    lookup.status = FileStatus::ok;
    return lookup;
}

OpenFile& OpenFile::operator=(OpenFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

OpenFile::~OpenFile() {
    if (fd_ >= 0)
        close(fd_);
}

Folder::Folder(const std::string& path)
    : path_(path), handle_(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

FileLookup Folder::open(const std::string& relative, OpenFile& into) {
    into = OpenFile();
    if (relative.empty() || relative.front() == '/')
        return outside();
    if (!handle_)
        return failure(ENOENT);
#if defined(SYS_openat2) && defined(AVWATCH_HAS_OPENAT2)
    if (!openat2_refused.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = read_flags;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        FdCloser opened{static_cast<int>(syscall(SYS_openat2, handle_.fd(), relative.c_str(), &how, sizeof how))};
        if (opened.fd >= 0) {
            FdCloser file{-1};
            struct stat status;
            FileLookup lookup = keep_regular(opened, file, status);
            into = OpenFile(std::exchange(file.fd, -1));
            return lookup;
        }
        if (errno == EXDEV)
            return outside();
        if (errno != ENOSYS && errno != EPERM)
            return failure(errno);
        openat2_refused.store(true, std::memory_order_relaxed);
    }
#endif
    return open_checked(relative, into);
}

// Without openat2: open, then hold where the descriptor leads against the
// folder's real path (what was opened, not what the path names now).
FileLookup Folder::open_checked(const std::string& relative, OpenFile& into) {
    FdCloser opened{openat(handle_.fd(), relative.c_str(), read_flags)};
    if (opened.fd < 0)
        return failure(errno);
    if (!real_path_)
        real_path_ = real_path(path_);
    if (!real_path_)
        return failure(errno);
    char link[PATH_MAX];
    std::string proc = "/proc/self/fd/" + std::to_string(opened.fd);
    ssize_t n = readlink(proc.c_str(), link, sizeof link);
    std::optional<std::string> target;
    if (n > 0 && static_cast<std::size_t>(n) < sizeof link)
        target = std::string(link, static_cast<std::size_t>(n));
    else  // no /proc: the path's own resolution
        target = real_path(path_ + "/" + relative);
    if (!target)
        return failure(errno);
    std::string prefix = *real_path_ == "/" ? "/" : *real_path_ + "/";
    if (!target->starts_with(prefix))
        return outside();
    FdCloser file{-1};
    struct stat status;
    FileLookup lookup = keep_regular(opened, file, status);
    into = OpenFile(std::exchange(file.fd, -1));
    return lookup;
}

FileLookup read_in_pieces(const OpenFile& file, std::size_t limit, std::span<std::uint8_t> buffer,
                          const std::function<void(std::span<const std::uint8_t>)>& piece,
                          const std::function<bool()>& stop) {
    FileLookup lookup;
    std::size_t left = limit;
    while (left > 0) {
        if (stop && stop())
            return failure(EINTR);
        ssize_t n = read(file.fd(), buffer.data(), std::min(left, buffer.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failure(errno);
        if (n == 0)
            break;
        piece(buffer.first(static_cast<std::size_t>(n)));
        left -= static_cast<std::size_t>(n);
    }
    lookup.status = FileStatus::ok;
    return lookup;
}

bool list_folder(const std::string& path, std::size_t limit, std::vector<FolderEntry>& into, int& error) {
    into.clear();
    std::unique_ptr<DIR, DirectoryCloser> directory(opendir(path.c_str()));
    if (!directory) {
        error = errno;
        return false;
    }
    while (into.size() < limit) {
        errno = 0;
        const dirent* entry = readdir(directory.get());
        if (entry == nullptr) {
            if (errno != 0) {
                error = errno;
                return false;
            }
            break;
        }
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat status;
            regular = fstatat(dirfd(directory.get()), entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode);
        }
        into.push_back(FolderEntry{std::string(name), regular});
    }
    return true;
}

double wall_clock() { return seconds(CLOCK_REALTIME); }

double monotonic_clock() { return seconds(CLOCK_MONOTONIC); }

}  // namespace avwatch::hls
