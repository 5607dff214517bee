#include "http/MetricsSources.h"

#include "behaviour/BehaviourBook.h"
#include "connections/ConnectionManager.h"
#include "connections/PortTable.h"
#include "engine/ProtocolEngine.h"
#include "faults/FaultBook.h"
#include "servers/NetworkServers.h"
#include "servers/ServerSetup.h"

namespace web {

std::string ServerLinkName(const char* protocol, int endpointNumber) {
    std::string link = protocol;
    if (endpointNumber > 0)
        link += ":" + std::to_string(endpointNumber);
    return link;
}

MetricsSnapshot CollectMetrics(const MetricsSources& sources) {
    MetricsSnapshot s;
    s.documents = sources.documents;
    if (sources.engine) {
        pomrel::ProtocolEngine& engine = *sources.engine;
        s.functions = engine.FunctionCounts();
        s.droppedFrameRecords = engine.DroppedFrameRecords();
        if (sources.connections) {
            const ConnectionManager& c = *sources.connections;
            if (c.IsServerOpen()) {
                const pomrel::ServerCounters counters = engine.ServerStatus(c.ServerHandle());
                s.invalidFrames.push_back({"tcp", counters.invalidChecks});
                s.connections.push_back({"tcp", counters.sessions});
            }
            for (int port = 1; port <= PortTable::kPorts; ++port) {
                const pomrel::Handle h = c.SerialHandle(port);
                if (h == pomrel::kNoHandle)
                    continue;
                std::uint32_t valid = 0, invalid = 0;
                engine.SlaveStatus(h, valid, invalid, 0);
                s.invalidFrames.push_back({"serial:" + std::to_string(port), invalid});
            }
        }
    }
    if (sources.servers) {
        for (const servers::NetworkServers::Entry& e : sources.servers->Entries()) {
            if (!e.Open())
                continue;
            const pomrel::ServerCounters counters = sources.servers->Counters(e);
            const std::string link = ServerLinkName(servers::ProtocolName(e.endpoint.protocol), e.endpoint.number);
            s.invalidFrames.push_back({link, counters.invalidChecks});
            // A datagram server keeps no connections.
            if (e.endpoint.protocol != pomrel::ServerProtocol::Udp)
                s.connections.push_back({link, counters.sessions});
        }
    }
    if (sources.faults)
        sources.faults->Visit([&s](const pomrel::FaultRule& rule, std::uint64_t, std::uint64_t fired) {
            s.faults.push_back({rule.id, rule.name, fired});
        });
    if (sources.behaviour) {
        const behaviour::BehaviourBook& b = *sources.behaviour;
        for (const auto& g : b.Generators()) s.generatorUpdates.push_back({g.id, g.spec.name, g.updates});
        for (const auto& r : b.Reactions()) s.reactionsFired.push_back({r.id, r.spec.name, r.fired});
        for (const auto& c : b.Scripts()) s.scriptCalls.push_back({c.id, c.spec.name, c.calls});
        s.droppedWrites = b.DroppedWrites();
    }
    return s;
}

}  // namespace web
