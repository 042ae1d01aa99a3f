// The file system reads of a check, each bounded and none that can block:
// a playlist or segment that is a FIFO or a device is refused unread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace avwatch::hls {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;  // since the epoch

    bool operator==(const FileIdentity&) const = default;
};

// outside: the path leads out of the folder it was opened beneath (a
// symlink to elsewhere).
enum class FileStatus { ok, missing, not_regular, outside, failed };

struct FileLookup {
    FileStatus status = FileStatus::failed;
    int error = 0;  // errno when failed
    FileIdentity identity;
};

// stat() of a path, links followed.
FileLookup look_up(const std::string& path);

// Reads at most `limit` bytes of a regular file into `into` (replacing its
// content); the identity is that of the file opened.
FileLookup read_file(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& into);

// A file descriptor, closed with its holder.
class OpenFile {
public:
    OpenFile() = default;
    explicit OpenFile(int fd) : fd_(fd) {}
    OpenFile(OpenFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OpenFile& operator=(OpenFile&& other) noexcept;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile();

    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A folder held open, whose files are opened beneath it: no component of
// the path, symlinks included, may lead out of it.
class Folder {
public:
    explicit Folder(const std::string& path);

    // Opens `relative` for reading if it is a regular file inside the
    // folder (`into` is left closed otherwise, and the lookup says why).
    // Non-blocking, as every open here.
    FileLookup open(const std::string& relative, OpenFile& into);

private:
    FileLookup open_checked(const std::string& relative, OpenFile& into);

    std::string path_;
    OpenFile handle_;
    std::optional<std::string> real_path_;  // for the check without openat2
};

// Reads at most `limit` bytes of an open file piece by piece through
// `buffer`, handing each piece to `piece` while it is still in the cache.
// `stop` is asked before each read: true ends it (failed, EINTR).
FileLookup read_in_pieces(const OpenFile& file, std::size_t limit, std::span<std::uint8_t> buffer,
                          const std::function<void(std::span<const std::uint8_t>)>& piece,
                          const std::function<bool()>& stop);

struct FolderEntry {
    std::string name;
    bool regular = false;
};

// The entries of a folder other than . and .., at most `limit` of them.
// False (with errno in `error`) when it cannot be listed.
bool list_folder(const std::string& path, std::size_t limit, std::vector<FolderEntry>& into, int& error);

double wall_clock();       // seconds since the epoch
double monotonic_clock();  // seconds, for intervals

}  // namespace avwatch::hls
