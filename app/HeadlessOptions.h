// Command line of kelvaro64-headless.
#pragma once

#include "http/HttpAddress.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct HeadlessOptions {
    bool help = false;
    bool version = false;
    bool save = false;                        // write the user's settings files at exit
    std::optional<int> tcpPort;               // overrides the service port for this run
    std::optional<int> automationPort;        // overrides the automation port
    std::optional<int> httpPort;              // HTTP door on loopback (over KELVARO64_HTTP_PORT); 0 off
    std::optional<web::ListenAddress> metricsAddress;  // read-only /metrics and /health door
    std::optional<std::uint32_t> maxConnections;    // Modbus/TCP sessions at once (over the set-up's)
    std::optional<std::uint32_t> requestTimeoutMs;  // incomplete Modbus/TCP request limit (over the set-up's)
    std::string scenario;                     // set-up extras file loaded after the set-up
    std::string capture;                      // pcapng capture of every frame, from the start
    std::string trafficLog;                   // JSON Lines log of every frame, from the start
    bool learn = false;                       // serve what masters ask for that nothing serves
    std::string accessReport;                 // access statistics and unserved requests, written at exit
    std::uint64_t trafficLogRotateBytes = 0;  // the log rotates at this size; 0 never
    std::optional<int> udpPort, rtuOverTcpPort, tlsPort;  // network servers opened for this run
    std::string tlsCert, tlsKey, tlsCa;       // the TLS server's PEM files (cert and key needed)
    std::vector<std::string> files;           // .tst restored, others opened as documents
    std::string error;                        // non-empty: the line is not understood
};

HeadlessOptions ParseHeadlessOptions(const std::vector<std::string>& args);
const char* HeadlessUsage();
