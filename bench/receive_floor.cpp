// The receive floor of bench/inputs.py: the analyser's own sockets (the same
// packet socket, kernel filter and batched receives, one thread per input
// waking every 50 ms to drain its socket, as the analyser's does) with nothing parsed.  Prints
// {"cpu": seconds, "datagrams": n, "packets": n} for the measured interval.
//   receive_floor BASE_PORT COUNT WARMUP SECONDS
#include "analysis/input/sockets.hpp"
#include "analysis/input/udp_uri.hpp"

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    int base = std::atoi(argv[1]), count = std::atoi(argv[2]);
    double warmup = std::atof(argv[3]), seconds = std::atof(argv[4]);
    std::atomic<bool> stopping{false}, counting{false};
    std::atomic<unsigned long long> datagrams{0}, packets{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        std::string uri = "udp://127.0.0.1:" + std::to_string(base + i);
        auto receiver = std::shared_ptr<avwatch::input::Receiver>(
            avwatch::input::open_receiver(avwatch::input::parse_udp_uri(uri), uri));
        threads.emplace_back([&, receiver] {
            while (!stopping) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                unsigned long long ready = 0, bytes = 0;
                auto take = [&](const avwatch::input::Datagram& d) {
                    ++ready;
                    bytes += d.payload.size();
                };
                for (int batches = 0; batches < 64; ++batches) {
                    if (receiver->receive(take) < avwatch::input::Batch::messages)
                        break;
                }
                if (counting) {
                    datagrams += ready;
                    packets += bytes / 188;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    double before = cpu_seconds();
    counting = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    counting = false;
    double used = cpu_seconds() - before;
    stopping = true;
    for (auto& thread : threads)
        thread.join();
    std::printf("{\"cpu\": %.4f, \"datagrams\": %llu, \"packets\": %llu}\n", used, datagrams.load(), packets.load());
    return 0;
}
