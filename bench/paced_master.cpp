// kelvaro_paced_master: Modbus/TCP masters at a fixed total request rate (lock-step, one thread
// per connection, each request at its own scheduled time), for measurements at a given load
// rather than flat out.
//
// Usage: kelvaro_paced_master --port P [--rate 20000] [--connections 20] [--seconds 5]
// Prints "PACED requests=<n> seconds=<s> rps=<r> late=<n>" (late: requests sent more than 10 ms
// after their time, so the rate asked for was not reached) and exits 1 on a wrong answer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    int port = 0, connections = 20;
    double rate = 20000, seconds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--port") port = std::atoi(argv[i + 1]);
        else if (a == "--rate") rate = std::atof(argv[i + 1]);
        else if (a == "--connections") connections = std::atoi(argv[i + 1]);
        else if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    }
    if (port <= 0 || rate <= 0 || connections < 1 || connections > 1000 || seconds <= 0) {
        std::fprintf(stderr, "usage: kelvaro_paced_master --port P [--rate R] [--connections N] [--seconds S]\n");
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(connections / rate));
    const auto start = Clock::now() + std::chrono::milliseconds(200);
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::atomic<long> done{0}, late{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<std::uint16_t>(port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            timeval timeout{2, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                ++wrong;
                ::close(fd);
                return;
            }
            // Connections spread over one period, so the requests come evenly.
            auto next = start + period * c / connections;
            for (std::uint16_t tid = 1; next < end; ++tid, next += period) {
                std::this_thread::sleep_until(next);
                if (Clock::now() - next > std::chrono::milliseconds(10))
                    ++late;
                // Read 2 holding registers from wire address 0 of device 1.
                const unsigned char request[12] = {static_cast<unsigned char>(tid >> 8), static_cast<unsigned char>(tid),
                                                   0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
                if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
                    ++wrong;
                    break;
                }
                unsigned char answer[13];
                std::size_t got = 0;
                while (got < sizeof answer) {
                    const ssize_t n = ::recv(fd, answer + got, sizeof answer - got, 0);
                    if (n <= 0)
                        break;
                    got += static_cast<std::size_t>(n);
                }
                if (got != sizeof answer || answer[0] != request[0] || answer[1] != request[1] || answer[7] != 3) {
                    ++wrong;
                    break;
                }
                ++done;
            }
            ::close(fd);
        });
    }
    for (auto& t : threads)
        t.join();
    std::printf("PACED requests=%ld seconds=%.3f rps=%.0f late=%ld wrong=%ld\n", done.load(), seconds,
                double(done.load()) / seconds, late.load(), wrong.load());
    return wrong.load() == 0 ? 0 : 1;
}
