#include "output/segments.hpp"

#include "module/catching.hpp"
#include "module/natives.hpp"
#include "output/paths.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace avwatch {
namespace {

// The media server writes a segment under a ".tmp" name and renames it when
// complete; "chunks*" is its own playlist.  Testing the raw bytes is the same
// as testing the decoded name: the ASCII bytes decode to themselves and no
// other byte decodes to ASCII.
bool is_candidate(std::string_view name) { return !name.ends_with(".tmp") && !name.starts_with("chunks"); }

bool is_dot_entry(std::string_view name) { return name == "." || name == ".."; }

// st_ctime exactly as the interpreter computes it, so that ties and order
// come out as they would with os.path.getctime.
double status_change_time(const struct stat& status) {
    return static_cast<double>(status.st_ctim.tv_sec) + static_cast<double>(status.st_ctim.tv_nsec) * 1e-9;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// What the scan saw, in plain C++: it is filled without the interpreter lock.
struct RawScan {
    enum class Stage { no_folder, listing_failed, stat_failed, done };
    Stage stage = Stage::done;
    int error = 0;
    std::string newest;       // empty when there was no candidate
    std::string failed_name;  // the candidate whose stat failed
};

RawScan scan_without_gil(const char* folder) {
    RawScan scan;
    struct stat status;
    // os.path.isdir: any failure to stat means "not a directory".
    if (stat(folder, &status) != 0 || !S_ISDIR(status.st_mode)) {
        scan.stage = RawScan::Stage::no_folder;
        return scan;
    }
    Directory directory(opendir(folder));
    if (!directory) {
        scan.stage = RawScan::Stage::listing_failed;
        scan.error = errno;
        return scan;
    }
    double newest_time = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(directory.get());
        if (entry == nullptr) {
            if (errno != 0) {
                scan.stage = RawScan::Stage::listing_failed;
                scan.error = errno;
            }
            return scan;
        }
        std::string_view name = entry->d_name;
        if (is_dot_entry(name) || !is_candidate(name))
            continue;
        // Relative to the open folder: one path component to resolve, not
        // the whole tree.  Links are followed, as os.stat follows them.
        if (fstatat(dirfd(directory.get()), entry->d_name, &status, 0) != 0) {
            scan.stage = RawScan::Stage::stat_failed;
            scan.error = errno;
            scan.failed_name = name;
            return scan;
        }
        double time = status_change_time(status);
        if (scan.newest.empty() || time > newest_time) {
            newest_time = time;
            scan.newest = name;
        }
    }
}

Owned decoded_name(const std::string& name) {
    return Owned::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// All four functions of the selection are the interpreter's own.
bool is_native_listing(const Call& call) {
    OsModules found = os_modules_if_present(call);
    return resolves_to_native(found.path, "isdir", Native::isdir) &&
           resolves_to_native(found.os, "listdir", Native::listdir) &&
           resolves_to_native(found.path, "getctime", Native::getctime) &&
           resolves_to_native(found.path, "join", Native::join);
}

SegmentScan native_scan(Borrowed folder) {
    PyObject* raw_path = nullptr;
    if (!PyUnicode_FSConverter(folder.get(), &raw_path)) {
        // os.path.isdir answers False for a path it cannot encode or that
        // holds a NUL (ValueError and its UnicodeEncodeError).
        if (!catch_error(PyExc_ValueError))
            throw ErrorSet{};
        return SegmentScan{SegmentScan::Outcome::no_folder, {}, {}};
    }
    Owned path = Owned::steal(raw_path);

    RawScan scan;
    {
        WithoutGil unlocked;
        scan = scan_without_gil(PyBytes_AS_STRING(path.get()));
    }

    switch (scan.stage) {
    case RawScan::Stage::no_folder:
        return SegmentScan{SegmentScan::Outcome::no_folder, {}, {}};
    case RawScan::Stage::listing_failed:
        raise_os_error(scan.error, folder.get());
    case RawScan::Stage::stat_failed:
        raise_os_error(scan.error, join_path(folder, decoded_name(scan.failed_name)).get());
    case RawScan::Stage::done:
        break;
    }
    if (scan.newest.empty())
        return SegmentScan{SegmentScan::Outcome::no_candidates, {}, {}};
    Owned newest = decoded_name(scan.newest);
    Owned newest_path = join_path(folder, newest);
    return SegmentScan{SegmentScan::Outcome::found, newest, newest_path};
}

bool has_excluded_name(Borrowed name) {
    Owned suffix = text(".tmp");
    Owned prefix = text("chunks");
    return truthy(call_method(name, "endswith", {suffix})) || truthy(call_method(name, "startswith", {prefix}));
}

// os.path.getctime(os.path.join(folder, name))
Owned joined_ctime(const Call& call, Borrowed folder, Borrowed name) {
    Owned joined = avwatch::call(os_path_function(call, "join"), {folder, name});
    return avwatch::call(os_path_function(call, "getctime"), {joined});
}

SegmentScan interpreted_scan(const Call& call, Borrowed folder) {
    if (!truthy(avwatch::call(os_path_function(call, "isdir"), {folder})))
        return SegmentScan{SegmentScan::Outcome::no_folder, {}, {}};
    Owned listing = avwatch::call(os_function(call, "listdir"), {folder});
    Owned names = Owned::steal(PyObject_GetIter(listing.get()));
    Owned candidates = Owned::steal(PyList_New(0));
    while (PyObject* next = PyIter_Next(names.get())) {
        Owned name = Owned::steal(next);
        if (!has_excluded_name(name))
            check(PyList_Append(candidates.get(), name.get()));
    }
    if (PyErr_Occurred())
        throw ErrorSet{};
    if (PyList_GET_SIZE(candidates.get()) == 0)  // our own list
        return SegmentScan{SegmentScan::Outcome::no_candidates, {}, {}};

    // max(): the first of the greatest keys, compared as `key > best`.
    Owned newest;
    Owned newest_time;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        Owned name = Owned::share(PyList_GET_ITEM(candidates.get(), i));
        Owned time = joined_ctime(call, folder, name);
        if (!newest || check(PyObject_RichCompareBool(time.get(), newest_time.get(), Py_GT)) == 1) {
            newest = name;
            newest_time = time;
        }
    }
    Owned newest_path = avwatch::call(os_path_function(call, "join"), {folder, newest});
    return SegmentScan{SegmentScan::Outcome::found, newest, newest_path};
}

}  // namespace

SegmentScan scan_segments(const Call& call, Borrowed folder) {
    return is_native_listing(call) ? native_scan(folder) : interpreted_scan(call, folder);
}

}  // namespace avwatch
