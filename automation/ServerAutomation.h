// The network-server methods of automation: OpenServer, OpenEndpoint, CloseServer, ListServers.
// Plain code over the program's list of servers; RegisterServerMethods puts them in the method
// registry like the fault methods (result {status, value}; a refused call: status -1 and a message).
#pragma once

#include "automation/FaultAutomation.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

class MethodRegistry;
namespace servers { class NetworkServers; }

class ServerAutomation {
public:
    explicit ServerAutomation(servers::NetworkServers& list) : list_(list) {}

    /// The main server of "udp", "rtu-over-tcp" or "tls" on `port` (0: any free port), in place
    /// of the one open; `options` holds the TLS keys of a set-up ("cert", "key", "ca",
    /// "read_only_roles") and nothing for the others. value: {"id", "port"} (the port bound).
    /// A server that cannot open: status -1, the reason, and value {"id"} (it stays listed).
    FaultCallResult OpenServer(const std::string& protocol, std::int64_t port, const nlohmann::json& options);
    /// An extra endpoint, written as one of the set-up's "endpoints"; value as OpenServer's.
    FaultCallResult OpenEndpoint(const nlohmann::json& endpoint);
    /// Closes server `id` (it stays listed, closed, and leaves the set-up).
    FaultCallResult CloseServer(std::int64_t id);
    /// value: every server: id, protocol, address, port, units, endpoint number, state, error and
    /// its counters.
    FaultCallResult ListServers() const;

private:
    FaultCallResult Opened(std::uint32_t id) const;
    servers::NetworkServers& list_;
};

/// Adds OpenServer, OpenEndpoint, CloseServer and ListServers on `methods` to the registry, as the
/// "servers" family.
void RegisterServerMethods(MethodRegistry& registry, ServerAutomation& methods);
