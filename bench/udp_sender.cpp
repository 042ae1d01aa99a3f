// Sends a TS file to COUNT loopback ports at RATE bits per second each, in
// 1316-byte datagrams, looping the file, for SECONDS: the load of
// bench/inputs.py, in a process of its own so that its cost stays apart.
//   udp_sender FILE BASE_PORT COUNT RATE SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s FILE BASE_PORT COUNT RATE SECONDS\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<char> ts((std::istreambuf_iterator<char>(file)), {});
    const std::size_t size = 1316;
    std::size_t datagrams = ts.size() / size;
    int base = std::atoi(argv[2]), count = std::atoi(argv[3]);
    double rate = std::atof(argv[4]), seconds = std::atof(argv[5]);
    if (datagrams == 0 || count <= 0)
        return 2;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int buffer = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    std::vector<sockaddr_in> targets(count);
    for (int i = 0; i < count; ++i) {
        targets[i].sin_family = AF_INET;
        targets[i].sin_port = htons(static_cast<std::uint16_t>(base + i));
        targets[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    double per_second = rate / 8 / size;
    auto start = std::chrono::steady_clock::now();
    std::vector<std::size_t> sent(count, 0);
    std::vector<mmsghdr> messages;
    std::vector<iovec> vectors;
    while (true) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed >= seconds)
            break;
        auto due = static_cast<std::size_t>(elapsed * per_second);
        for (int i = 0; i < count; ++i) {
            messages.clear();
            vectors.clear();
            vectors.reserve(due - sent[i] + 1);
            for (std::size_t n = sent[i]; n < due; ++n) {
                vectors.push_back({ts.data() + (n % datagrams) * size, size});
                mmsghdr message{};
                message.msg_hdr.msg_name = &targets[i];
                message.msg_hdr.msg_namelen = sizeof targets[i];
                messages.push_back(message);
            }
            for (std::size_t m = 0; m < messages.size(); ++m) {
                messages[m].msg_hdr.msg_iov = &vectors[m];
                messages[m].msg_hdr.msg_iovlen = 1;
            }
            for (std::size_t at = 0; at < messages.size();) {
                int done = sendmmsg(fd, messages.data() + at, messages.size() - at, 0);
                if (done <= 0)
                    break;
                at += done;
            }
            sent[i] = due;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(fd);
    return 0;
}
