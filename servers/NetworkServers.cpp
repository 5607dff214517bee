#include "servers/NetworkServers.h"

#include <algorithm>

namespace servers {

NetworkServers::~NetworkServers()
{
    CloseAll();
}

const NetworkServers::Entry* NetworkServers::Find(std::uint32_t id) const
{
    for (const Entry& e : entries_)
        if (e.id == id)
            return &e;
    return nullptr;
}

NetworkServers::Entry* NetworkServers::FindEntry(std::uint32_t id)
{
    return const_cast<Entry*>(Find(id));
}

void NetworkServers::OpenEntry(Entry& entry)
{
    CloseEntry(entry);
    entry.wanted = true;
    entry.error.clear();
    entry.handle = engine_.OpenServer(entry.endpoint);
    if (entry.Open()) {
        entry.boundPort = engine_.BoundTcpPort(entry.handle);
    } else {
        entry.error = engine_.LastOpenError();
        if (entry.error.empty())
            entry.error = "cannot open";
    }
    if (onOpenAttempt)
        onOpenAttempt(entry);
}

void NetworkServers::CloseEntry(Entry& entry)
{
    if (entry.Open())
        engine_.CloseConnection(entry.handle);
    entry.handle = pomrel::kNoHandle;
    entry.boundPort = 0;
}

std::size_t NetworkServers::Apply(const ServerSetup& setup)
{
    CloseAll();
    entries_.clear();
    SetIdentities(setup.identities);
    std::size_t failed = 0;
    for (const auto* list : {&setup.servers, &setup.endpoints})
        for (const pomrel::ServerEndpoint& endpoint : *list) {
            Entry& entry = entries_.emplace_back();
            entry.id = nextId_++;
            entry.endpoint = endpoint;
            OpenEntry(entry);
            failed += entry.Open() ? 0 : 1;
        }
    return failed;
}

ServerSetup NetworkServers::Setup() const
{
    ServerSetup setup;
    for (const Entry& e : entries_)
        if (e.wanted)
            (e.endpoint.number == 0 ? setup.servers : setup.endpoints).push_back(e.endpoint);
    // Main servers in the order the file keeps them.
    std::stable_sort(setup.servers.begin(), setup.servers.end(),
                     [](const auto& a, const auto& b) { return a.protocol < b.protocol; });
    setup.identities = identities_;
    return setup;
}

std::uint32_t NetworkServers::Open(pomrel::ServerEndpoint endpoint, bool asEndpoint)
{
    if (asEndpoint && endpoint.number == 0) {
        int highest = 0;
        for (const Entry& e : entries_)
            highest = std::max(highest, e.endpoint.number);
        endpoint.number = highest + 1;
    }
    Entry* entry = nullptr;
    if (endpoint.number == 0)
        for (Entry& e : entries_)
            if (e.endpoint.number == 0 && e.endpoint.protocol == endpoint.protocol)
                entry = &e;
    if (!entry) {
        entry = &entries_.emplace_back();
        entry->id = nextId_++;
    }
    CloseEntry(*entry);
    entry->endpoint = std::move(endpoint);
    OpenEntry(*entry);
    return entry->id;
}

bool NetworkServers::Reopen(std::uint32_t id)
{
    Entry* entry = FindEntry(id);
    if (!entry)
        return false;
    OpenEntry(*entry);
    return entry->Open();
}

bool NetworkServers::Close(std::uint32_t id)
{
    Entry* entry = FindEntry(id);
    if (!entry)
        return false;
    CloseEntry(*entry);
    entry->wanted = false;
    entry->error.clear();
    return true;
}

bool NetworkServers::Remove(std::uint32_t id)
{
    Entry* entry = FindEntry(id);
    if (!entry)
        return false;
    CloseEntry(*entry);
    entries_.erase(entries_.begin() + (entry - entries_.data()));
    return true;
}

void NetworkServers::CloseAll()
{
    for (Entry& e : entries_)
        CloseEntry(e);
}

void NetworkServers::SetIdentities(Identities identities)
{
    identities_ = std::move(identities);
    engine_.ClearDeviceIdentities();
    for (const auto& [device, objects] : identities_)
        engine_.SetDeviceIdentity(device, objects);
}

std::string NetworkServers::Title(const Entry& entry)
{
    const pomrel::ServerEndpoint& e = entry.endpoint;
    const std::uint16_t port = entry.Open() ? entry.boundPort : e.port;
    if (e.number == 0)
        return std::string(ProtocolTitle(e.protocol)) + " server (port " + std::to_string(port) + ")";
    std::string where = std::to_string(port);
    if (!e.address.empty())
        where = (e.address.find(':') != std::string::npos ? "[" + e.address + "]" : e.address) + ":" + where;
    return std::string(ProtocolTitle(e.protocol)) + " endpoint " + std::to_string(e.number) + " (" + where + ")";
}

std::string NetworkServers::StateText(const Entry& entry)
{
    if (entry.Open())
        return "open on port " + std::to_string(entry.boundPort);
    if (!entry.error.empty())
        return "failed: " + entry.error;
    return "closed";
}

pomrel::ServerCounters NetworkServers::Counters(const Entry& entry) const
{
    return entry.Open() ? engine_.ServerStatus(entry.handle) : pomrel::ServerCounters{};
}

pomrel::DiagnosticCounters NetworkServers::Diagnostics(const Entry& entry) const
{
    return entry.Open() ? engine_.Diagnostics(entry.handle) : pomrel::DiagnosticCounters{};
}

const char* const NetworkServers::kCounterTitles[kCounterColumns] = {
    "Server", "State", "Valid", "Invalid", "Sessions", "Handshake failures", "Roles", "Bus messages", "Comm errors",
    "Exceptions"};

std::vector<std::vector<std::string>> NetworkServers::CounterRows() const
{
    std::vector<std::vector<std::string>> rows;
    for (const Entry& e : entries_) {
        std::vector<std::string> row(kCounterColumns);
        row[kServer] = Title(e);
        row[kState] = StateText(e);
        if (e.Open()) {
            const pomrel::ServerCounters c = Counters(e);
            const pomrel::DiagnosticCounters d = Diagnostics(e);
            row[kValid] = std::to_string(c.validMessages);
            row[kInvalid] = std::to_string(c.invalidChecks);
            // Sessions, handshakes and roles mean nothing to a UDP server.
            if (e.endpoint.protocol != pomrel::ServerProtocol::Udp)
                row[kSessions] = std::to_string(c.sessions);
            if (e.endpoint.protocol == pomrel::ServerProtocol::Tls) {
                row[kHandshakeFailures] = std::to_string(c.handshakeFailures);
                if (!c.handshakeError.empty())
                    row[kHandshakeFailures] += " (last: " + c.handshakeError + ")";
                row[kRoles] = RolesText(c.roles);
            }
            row[kBusMessages] = std::to_string(d.busMessages);
            row[kCommErrors] = std::to_string(d.busCommErrors);
            row[kExceptions] = std::to_string(d.exceptionErrors);
            if (d.listenOnly)
                row[kState] += " (listen only)";
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void NetworkServers::ResetCounters()
{
    for (const Entry& e : entries_)
        if (e.Open()) {
            std::uint32_t valid = 0, invalid = 0;
            engine_.SlaveStatus(e.handle, valid, invalid, 1);
        }
}

} // namespace servers
