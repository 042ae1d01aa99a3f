// The file system reads of a check, each bounded and none that can block:
// a playlist or segment that is a FIFO or a device is refused unread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace avwatch::hls {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;  // since the epoch

    bool operator==(const FileIdentity&) const = default;
};

enum class FileStatus { ok, missing, not_regular, failed };

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

// Reads at most `limit` bytes of a regular file piece by piece through
// `buffer`, handing each piece to `piece` while it is still in the cache.
FileLookup read_in_pieces(const std::string& path, std::size_t limit, std::span<std::uint8_t> buffer,
                          const std::function<void(std::span<const std::uint8_t>)>& piece);

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
