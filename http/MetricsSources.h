// Where each number of /metrics comes from: the engine's per-function counts and dropped frame
// records, each open link's counters (the Modbus/TCP server and serial ports of the connection
// manager, the network servers), the fault rules' and the behaviour's counters. Called on the user-interface thread,
// which owns those lists. Plain code.
#pragma once

#include "http/Metrics.h"

#include <cstddef>
#include <string>

class ConnectionManager;
namespace faults { class FaultBook; }
namespace behaviour { class BehaviourBook; }
namespace servers { class NetworkServers; }
namespace pomrel { class ProtocolEngine; }

namespace web {

/// The program's sources of counters; a null one is left out.
struct MetricsSources {
    pomrel::ProtocolEngine* engine = nullptr;
    ConnectionManager* connections = nullptr;
    const servers::NetworkServers* servers = nullptr;
    const faults::FaultBook* faults = nullptr;
    const behaviour::BehaviourBook* behaviour = nullptr;
    std::size_t documents = 0;
};

MetricsSnapshot CollectMetrics(const MetricsSources& sources);

/// A network server's link as the rest of the program names it (pomrel::LinkText): its protocol
/// ("udp", "tls", ...), with ":N" for endpoint N.
std::string ServerLinkName(const char* protocol, int endpointNumber);

}  // namespace web
