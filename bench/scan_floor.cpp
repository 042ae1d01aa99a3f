// The floor under the output monitor's segment scan: readdir and one
// fstatat per entry, nothing else.  Built and run by bench/output_scan.py.
//
// usage: scan_floor FOLDER ROUNDS   (prints the median seconds per round)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

// The newest entry's ctime, so the work cannot be optimised away.
double scan(const char* folder) {
    DIR* directory = opendir(folder);
    if (directory == nullptr) {
        std::perror(folder);
        std::exit(1);
    }
    double newest = 0;
    struct stat status;
    while (const dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (fstatat(dirfd(directory), entry->d_name, &status, 0) == 0)
            newest = std::max(newest, status.st_ctim.tv_sec + status.st_ctim.tv_nsec * 1e-9);
    }
    closedir(directory);
    return newest;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER ROUNDS\n", argv[0]);
        return 2;
    }
    int rounds = std::atoi(argv[2]);
    volatile double sink = scan(argv[1]);  // warm-up, as the other measurements have
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto started = std::chrono::steady_clock::now();
        sink = scan(argv[1]);
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    (void)sink;
    std::sort(times.begin(), times.end());
    std::printf("%.9f\n", times[times.size() / 2]);
    return 0;
}
