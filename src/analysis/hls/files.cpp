#include "analysis/hls/files.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace avwatch::hls {

namespace {

FileIdentity identity_of(const struct stat& status) {
    FileIdentity identity;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = static_cast<std::uint64_t>(status.st_size);
    identity.modified_ns = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
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

// Opens `path` for reading if it is a regular file: `file` is left closed
// (-1) and the lookup says why otherwise.  Non-blocking: opening a FIFO for
// reading would otherwise wait for a writer.
FileLookup open_regular(const std::string& path, FdCloser& file, struct stat& status) {
    FdCloser opened{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (opened.fd < 0)
        return failure(errno);
    if (fstat(opened.fd, &status) != 0)
        return failure(errno);
    FileLookup lookup;
    lookup.identity = identity_of(status);
    if (!S_ISREG(status.st_mode)) {
        lookup.status = FileStatus::not_regular;
        return lookup;
    }
    std::swap(file.fd, opened.fd);
    return lookup;
}

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

FileLookup read_in_pieces(const std::string& path, std::size_t limit, std::span<std::uint8_t> buffer,
                          const std::function<void(std::span<const std::uint8_t>)>& piece) {
    FdCloser file{-1};
    struct stat status;
    FileLookup lookup = open_regular(path, file, status);
    if (file.fd < 0)
        return lookup;
    std::size_t left = limit;
    while (left > 0) {
        ssize_t n = read(file.fd, buffer.data(), std::min(left, buffer.size()));
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
