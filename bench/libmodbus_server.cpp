// kelvaro_libmodbus_server: reference Modbus/TCP slave built on libmodbus, in the classic
// select() loop (modbus_tcp_listen + select + modbus_receive / modbus_reply), holding
// registers 0..9999 mapped, any number of clients (up to FD_SETSIZE).
//
// Usage: kelvaro_libmodbus_server [--port P] [--max-seconds S]
// Binds 127.0.0.1 (port 0 = a free port), prints "PORT <n>" and serves until SIGTERM/SIGINT or
// until S seconds have passed (default 1800).

#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }
} // namespace

int main(int argc, char** argv)
{
    int port = 0;
    double maxSeconds = 1800;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--max-seconds" && i + 1 < argc)
            maxSeconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: kelvaro_libmodbus_server [--port P] [--max-seconds S]\n");
            return 2;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;   // no SA_RESTART: select() returns EINTR
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 10000, 0);
    if (ctx == nullptr || map == nullptr) {
        std::fprintf(stderr, "libmodbus_server: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 10000; ++i)
        map->tab_registers[i] = static_cast<uint16_t>(i);

    const int server = modbus_tcp_listen(ctx, 1024);
    if (server < 0) {
        std::fprintf(stderr, "libmodbus_server: listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    sockaddr_in bound{};
    socklen_t bl = sizeof bound;
    getsockname(server, reinterpret_cast<sockaddr*>(&bound), &bl);
    std::printf("PORT %u\n", unsigned(ntohs(bound.sin_port)));
    std::fflush(stdout);

    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    fd_set refset;
    FD_ZERO(&refset);
    FD_SET(server, &refset);
    int fdmax = server;
    const time_t start = time(nullptr);

    while (!g_stop && difftime(time(nullptr), start) < maxSeconds) {
        fd_set rdset = refset;
        timeval tv{0, 500000};
        const int n = select(fdmax + 1, &rdset, nullptr, nullptr, &tv);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("libmodbus_server: select");
            break;
        }
        for (int fd = 0; fd <= fdmax && n > 0; ++fd) {
            if (!FD_ISSET(fd, &rdset))
                continue;
            if (fd == server) {
                int listening = server;
                const int c = modbus_tcp_accept(ctx, &listening);
                if (c < 0)
                    continue;
                // Replies go out at once, as a real slave's should (libmodbus leaves Nagle on).
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                if (c >= FD_SETSIZE) {
                    close(c);
                    continue;
                }
                FD_SET(c, &refset);
                if (c > fdmax)
                    fdmax = c;
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc == -1) {
                close(fd);
                FD_CLR(fd, &refset);
                if (fd == fdmax)
                    while (fdmax > server && !FD_ISSET(fdmax, &refset))
                        --fdmax;
            }
        }
    }
    for (int fd = 0; fd <= fdmax; ++fd)
        if (fd != server && FD_ISSET(fd, &refset))
            close(fd);
    close(server);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
