// A Modbus slave made of the engine alone, for end-to-end tests with third-party masters.
//
//   pomrel_testserver [--tcp-port N] [--rtu PATH] [--ascii PATH] [--enron] [--baud N]
//                     [--udp-port N] [--rtu-over-tcp-port N] [--endpoint PROTOCOL ADDRESS PORT DEVICE]
//                     [--tls-port N --tls-cert FILE --tls-key FILE [--tls-ca FILE] [--tls-read-only ROLE]...
//                      [--tls-unit UNIT DEVICE]...]
//
// Prints "tcp <port>" (and "udp", "rtu-over-tcp", "tls", "endpoint <n>" with theirs) when the
// servers listen, then "ready", and serves until SIGTERM or SIGINT. An endpoint maps unit 1 to
// DEVICE. On SIGUSR1 it prints each network server's counters ("status <name> valid invalid
// sessions handshake-failures roles...").
// Device 1 holds every point type at addresses 1..100 with known values, ENRON blocks at 5001
// (longs) and 7001 (floats); device 2 holds registers 1001..1010. Device 1's identification
// (function 43) takes two answers; device 2 has the default one.
#include "engine/ProtocolEngine.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Memory {
    pomrel::RegisterWord words[1000];
};

void Usage()
{
    std::fprintf(stderr, "usage: pomrel_testserver [--tcp-port N] [--rtu PATH] [--ascii PATH] [--enron] [--baud N]\n"
                         "         [--udp-port N] [--rtu-over-tcp-port N] [--endpoint PROTOCOL ADDRESS PORT DEVICE]\n"
                         "         [--tls-port N --tls-cert FILE --tls-key FILE [--tls-ca FILE] [--tls-read-only ROLE]...\n"
                         "          [--tls-unit UNIT DEVICE]...]\n");
    std::exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    int tcpPort = -1;
    std::string rtuPath;
    std::string asciiPath;
    bool enron = false;
    unsigned baud = 9600;
    std::vector<std::pair<std::string, pomrel::ServerEndpoint>> servers;  // name, endpoint
    pomrel::ServerEndpoint tls;
    tls.protocol = pomrel::ServerProtocol::Tls;
    int tlsPort = -1;
    int endpoints = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage();
            return argv[++i];
        };
        if (arg == "--tcp-port")
            tcpPort = std::atoi(value().c_str());
        else if (arg == "--rtu")
            rtuPath = value();
        else if (arg == "--ascii")
            asciiPath = value();
        else if (arg == "--enron")
            enron = true;
        else if (arg == "--baud")
            baud = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--udp-port" || arg == "--rtu-over-tcp-port") {
            pomrel::ServerEndpoint e;
            e.protocol = arg == "--udp-port" ? pomrel::ServerProtocol::Udp : pomrel::ServerProtocol::RtuOverTcp;
            e.port = static_cast<std::uint16_t>(std::atoi(value().c_str()));
            servers.emplace_back(arg.substr(2, arg.size() - 7), e);
        } else if (arg == "--endpoint") {
            pomrel::ServerEndpoint e;
            const std::string protocol = value();
            e.protocol = protocol == "udp" ? pomrel::ServerProtocol::Udp
                         : protocol == "rtu-over-tcp" ? pomrel::ServerProtocol::RtuOverTcp
                                                      : pomrel::ServerProtocol::Tcp;
            e.address = value();
            e.port = static_cast<std::uint16_t>(std::atoi(value().c_str()));
            e.units[1] = static_cast<std::uint8_t>(std::atoi(value().c_str()));
            e.number = ++endpoints;
            servers.emplace_back("endpoint " + std::to_string(e.number), e);
        } else if (arg == "--tls-port")
            tlsPort = std::atoi(value().c_str());
        else if (arg == "--tls-cert")
            tls.tls.cert = value();
        else if (arg == "--tls-key")
            tls.tls.key = value();
        else if (arg == "--tls-ca")
            tls.tls.ca = value();
        else if (arg == "--tls-read-only")
            tls.tls.readOnlyRoles.push_back(value());
        else if (arg == "--tls-unit") {
            const int unit = std::atoi(value().c_str());
            tls.units[static_cast<std::uint8_t>(unit)] = static_cast<std::uint8_t>(std::atoi(value().c_str()));
        }        else
            Usage();
    }

    // Block SIGTERM/SIGINT before the engine starts its thread, so that only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    static Memory coils, inputs, holding, inputRegs, enronLongs, enronFloats, device2;
    for (int i = 0; i < 1000; ++i) {
        coils.words[i] = (i % 3 == 0) ? 1 : 0;
        inputs.words[i] = (i % 2 == 0) ? 1 : 0;
        holding.words[i] = static_cast<std::uint16_t>(i * 10);
        inputRegs.words[i] = static_cast<std::uint16_t>(1000 + i);
        device2.words[i] = static_cast<std::uint16_t>(2000 + i);
    }
    // ENRON point i: low word at 2i, high word at 2i + 1.
    for (int i = 0; i < 10; ++i) {
        const std::uint32_t longValue = 100000u * static_cast<std::uint32_t>(i + 1) + static_cast<std::uint32_t>(i);
        enronLongs.words[2 * i] = static_cast<std::uint16_t>(longValue);
        enronLongs.words[2 * i + 1] = static_cast<std::uint16_t>(longValue >> 16);
        const float f = 1.5f * static_cast<float>(i + 1);
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        enronFloats.words[2 * i] = static_cast<std::uint16_t>(bits);
        enronFloats.words[2 * i + 1] = static_cast<std::uint16_t>(bits >> 16);
    }

    pomrel::ProtocolEngine engine;
    engine.DefineDataBlock(1, 1, 1, 100, coils.words);
    engine.DefineDataBlock(1, 2, 1, 100, inputs.words);
    engine.DefineDataBlock(1, 3, 1, 100, holding.words);
    engine.DefineDataBlock(1, 4, 1, 100, inputRegs.words);
    engine.DefineDataBlock(1, 3, 5001, 10, enronLongs.words);
    engine.DefineDataBlock(1, 3, 7001, 10, enronFloats.words);
    engine.DefineDataBlock(2, 3, 1001, 10, device2.words);
    engine.SetDeviceIdentity(1, {{0x00, "Orvane"}, {0x01, "PX-7"}, {0x02, "2.1"}, {0x04, "Pump"},
                                 {0x80, std::string(100, 'a')}, {0x81, std::string(100, 'b')},
                                 {0x82, std::string(100, 'c')}});

    std::vector<pomrel::Handle> handles;
    if (tcpPort >= 0) {
        engine.SetTCPServicePort(static_cast<std::uint16_t>(tcpPort));
        const pomrel::Handle h = engine.OpenTCPConnection(nullptr, 1026);
        if (h == pomrel::kNoHandle) {
            std::fprintf(stderr, "tcp: %s\n", engine.LastOpenError().c_str());
            return 1;
        }
        std::printf("tcp %u\n", engine.BoundTcpPort(h));
        handles.push_back(h);
    }
    if (tlsPort >= 0) {
        tls.port = static_cast<std::uint16_t>(tlsPort);
        servers.emplace_back("tls", tls);
    }
    std::vector<std::pair<std::string, pomrel::Handle>> network;
    for (const auto& [name, endpoint] : servers) {
        const pomrel::Handle h = engine.OpenServer(endpoint);
        if (h == pomrel::kNoHandle) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), engine.LastOpenError().c_str());
            return 1;
        }
        std::printf("%s %u\n", name.c_str(), engine.BoundTcpPort(h));
        network.emplace_back(name, h);
        handles.push_back(h);
    }
    pomrel::PortSettings settings;
    settings.baudRate = baud;
    settings.parity = 0;
    int port = 1;
    for (const auto& [path, mode] : {std::pair{rtuPath, 1}, std::pair{asciiPath, 0}}) {
        if (path.empty())
            continue;
        engine.SetPortPath(port, path);
        const pomrel::Handle h = engine.OpenConnection(nullptr, port, mode, port, settings);
        if (h == pomrel::kNoHandle) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), engine.LastOpenError().c_str());
            return 1;
        }
        if (enron)
            engine.SetProtocolOptions(h, 1);
        handles.push_back(h);
        ++port;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&signals, &received) == 0 && received == SIGUSR1) {
        for (const auto& [name, h] : network) {
            const pomrel::ServerCounters c = engine.ServerStatus(h);
            std::printf("status %s %u %u %u %u", name.c_str(), c.validMessages, c.invalidChecks, c.sessions,
                        c.handshakeFailures);
            for (const std::string& role : c.roles)
                std::printf(" %s", role.c_str());
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    for (const pomrel::Handle h : handles) {
        std::uint32_t valid = 0, invalid = 0;
        engine.SlaveStatus(h, valid, invalid, 0);
        std::printf("connection %lld: %u valid, %u invalid\n", static_cast<long long>(h), valid, invalid);
        engine.CloseConnection(h);
    }
    return 0;
}
