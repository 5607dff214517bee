#include "automation/ServerAutomation.h"

#include "automation/MethodRegistry.h"

#include "servers/NetworkServers.h"

using nlohmann::json;

namespace {

FaultCallResult Refused(std::string message, json value = nullptr) { return {-1, std::move(value), std::move(message)}; }

} // namespace

FaultCallResult ServerAutomation::Opened(std::uint32_t id) const
{
    const servers::NetworkServers::Entry* e = list_.Find(id);
    if (!e)
        return Refused("the server is gone");
    if (!e->Open())
        return Refused(servers::NetworkServers::Title(*e) + ": " + e->error, json{{"id", id}});
    return {0, json{{"id", id}, {"port", e->boundPort}}, {}};
}

FaultCallResult ServerAutomation::OpenServer(const std::string& protocol, std::int64_t port, const json& options)
{
    if (protocol != "udp" && protocol != "rtu-over-tcp" && protocol != "tls")
        return Refused("protocol: \"udp\", \"rtu-over-tcp\" or \"tls\" (Modbus/TCP endpoints: OpenEndpoint)");
    if (port < 0 || port > 65535)
        return Refused("port: a whole number from 0 to 65535");
    if (!options.is_object())
        return Refused("options: a JSON object");
    // The same reader as a set-up's "servers" key, so the same fields and the same words.
    json server = options;
    server["port"] = static_cast<std::uint64_t>(port);   // the reader takes whole numbers as unsigned
    std::string error;
    auto parsed = servers::ParseServers(json{{protocol, server}}, error);
    if (!parsed)
        return Refused(error);
    return Opened(list_.Open(parsed->at(0)));
}

FaultCallResult ServerAutomation::OpenEndpoint(const json& endpoint)
{
    std::string error;
    auto parsed = servers::ParseEndpoint(endpoint, "endpoint", error);
    if (!parsed)
        return Refused(error);
    return Opened(list_.Open(*parsed, true));
}

FaultCallResult ServerAutomation::CloseServer(std::int64_t id)
{
    const servers::NetworkServers::Entry* e =
        id <= 0 || id > 0xFFFFFFFF ? nullptr : list_.Find(static_cast<std::uint32_t>(id));
    if (!e)
        return Refused("no server " + std::to_string(id));
    // A main server keeps its row, closed, as the Network Servers window shows it; an endpoint
    // opened here is gone once closed (nothing reopens it by this id), so it leaves the list.
    if (e->endpoint.number == 0)
        list_.Close(e->id);
    else
        list_.Remove(e->id);
    return {};
}

FaultCallResult ServerAutomation::ListServers() const
{
    json list = json::array();
    for (const auto& e : list_.Entries()) {
        json j = servers::EndpointToJson(e.endpoint);
        j["id"] = e.id;
        j["endpoint"] = e.endpoint.number;
        j["title"] = servers::NetworkServers::Title(e);
        j["state"] = e.Open() ? "open" : !e.error.empty() ? "failed" : "closed";
        if (e.Open())
            j["bound_port"] = e.boundPort;
        if (!e.error.empty())
            j["error"] = e.error;
        const pomrel::ServerCounters c = list_.Counters(e);
        j["counters"] = json{{"valid", c.validMessages},
                             {"invalid", c.invalidChecks},
                             {"sessions", c.sessions},
                             {"handshake_failures", c.handshakeFailures},
                             {"roles", c.roles}};
        if (!c.handshakeError.empty())
            j["counters"]["handshake_error"] = c.handshakeError;
        list.push_back(std::move(j));
    }
    return {0, std::move(list), {}};
}

namespace {
MethodOutcome Answer(const FaultCallResult& r) { return MethodOutcome::Done(StatusResult(r.status, r.value, r.message)); }
}  // namespace

void RegisterServerMethods(MethodRegistry& registry, ServerAutomation& methods)
{
    ServerAutomation* m = &methods;
    registry.Add({"OpenServer", "servers",
                  {{"protocol", "\"udp\", \"rtu-over-tcp\" or \"tls\""}, {"port", "whole number"}, {"options", "object"}},
                  [m](const json& p) {
                      std::int64_t port = 0;
                      if (!p[0].is_string()) return MethodOutcome::Invalid("protocol: a string");
                      if (!WholeNumber(p[1], port)) return MethodOutcome::Invalid("port: a whole number");
                      if (!p[2].is_object()) return MethodOutcome::Invalid("options: a JSON object ({} for none)");
                      return Answer(m->OpenServer(p[0].get<std::string>(), port, p[2]));
                  }});
    registry.Add({"OpenEndpoint", "servers", {{"endpoint", "object"}}, [m](const json& p) {
                      if (!p[0].is_object()) return MethodOutcome::Invalid("endpoint: a JSON object");
                      return Answer(m->OpenEndpoint(p[0]));
                  }});
    registry.Add({"CloseServer", "servers", {{"id", "whole number"}}, [m](const json& p) {
                      std::int64_t id = 0;
                      if (!WholeNumber(p[0], id)) return MethodOutcome::Invalid("id: a whole number");
                      return Answer(m->CloseServer(id));
                  }});
    registry.Add({"ListServers", "servers", {}, [m](const json&) { return Answer(m->ListServers()); }});
}
