// The floor of bench/inputs.py: what any receiver of the inputs costs at
// least.  One plain UDP socket per port, all drained by one thread every
// 50 ms with batched receives (recvmmsg) and kernel timestamps, as the
// analyser's threads drain theirs, nothing parsed.  Runs until stdin closes,
// then prints the datagrams it received.
//   plain_udp_receiver BASE_PORT COUNT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    int base = std::atoi(argv[1]), count = std::atoi(argv[2]);
    std::vector<int> sockets;
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int buffer = 2 << 20, on = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(base + i));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
            std::perror("plain_udp_receiver");
            return 1;
        }
        sockets.push_back(fd);
    }
    constexpr int batch = 32, size = 2048, control = 64;
    static std::array<char, batch * size> buffers;
    static std::array<char, batch * control> controls;
    std::array<mmsghdr, batch> headers{};
    std::array<iovec, batch> vectors{};
    unsigned long long received = 0;
    std::puts("ready");
    std::fflush(stdout);
    pollfd input{0, POLLIN, 0};
    // Wakes every 50 ms; stdin closing (or any byte) ends the run.
    while (poll(&input, 1, 50) == 0) {
        for (int fd : sockets) {
            for (int round = 0; round < 64; ++round) {
                for (int i = 0; i < batch; ++i) {
                    vectors[i] = {buffers.data() + i * size, size};
                    headers[i].msg_hdr = msghdr{};
                    headers[i].msg_hdr.msg_iov = &vectors[i];
                    headers[i].msg_hdr.msg_iovlen = 1;
                    headers[i].msg_hdr.msg_control = controls.data() + i * control;
                    headers[i].msg_hdr.msg_controllen = control;
                }
                int got = recvmmsg(fd, headers.data(), batch, MSG_DONTWAIT, nullptr);
                if (got <= 0)
                    break;
                received += static_cast<unsigned long long>(got);
                if (got < batch)
                    break;
            }
        }
    }
    std::printf("{\"datagrams\": %llu}\n", received);
    for (int fd : sockets)
        close(fd);
    return 0;
}
