// The network servers of a running program (Modbus/UDP, RTU over TCP, Modbus/TCP Security and
// extra endpoints) and the device identities it serves: opens and closes on the engine what a
// ServerSetup describes, keeps each server's handle or the reason it did not open. The desktop
// dialog, the headless program, set-ups and automation all go through this one list.
#pragma once

#include "servers/ServerSetup.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace servers {

class NetworkServers {
public:
    explicit NetworkServers(pomrel::ProtocolEngine& engine) : engine_(engine) {}
    ~NetworkServers();
    NetworkServers(const NetworkServers&) = delete;
    NetworkServers& operator=(const NetworkServers&) = delete;

    struct Entry {
        std::uint32_t id = 0;           // for as long as the entry lives
        pomrel::ServerEndpoint endpoint;  // number 0: the main server of its protocol
        pomrel::Handle handle = pomrel::kNoHandle;
        std::uint16_t boundPort = 0;    // while open: the port listened on
        std::string error;              // why the last open failed
        bool wanted = true;             // part of the set-up: open, or meant to be (closed by the user: no)
        bool Open() const { return handle != pomrel::kNoHandle; }
    };
    const std::vector<Entry>& Entries() const { return entries_; }
    const Entry* Find(std::uint32_t id) const;

    /// Puts a set-up in force whole: every server closed and forgotten, the identities replaced,
    /// each server of the set-up opened. Returns how many could not open.
    std::size_t Apply(const ServerSetup& setup);
    /// What is in force: the servers wanted (open or failed), the identities.
    ServerSetup Setup() const;

    /// Opens a server and returns its id (see Entry::error when it did not open). A main server
    /// (number 0) takes the place of the main server of its protocol; an endpoint with number 0
    /// is given the next free number when `asEndpoint`.
    std::uint32_t Open(pomrel::ServerEndpoint endpoint, bool asEndpoint = false);
    /// Opens again a server that was closed or failed, as it was set up.
    bool Reopen(std::uint32_t id);
    /// Closes a server; it stays listed (closed) but leaves the set-up.
    bool Close(std::uint32_t id);
    /// Closes and forgets a server.
    bool Remove(std::uint32_t id);
    /// Closes every server (the list stays as it is).
    void CloseAll();

    void SetIdentities(Identities identities);
    const Identities& GetIdentities() const { return identities_; }

    /// "Modbus/UDP server (port 1502)", "RTU over TCP endpoint 3 (127.0.0.2:1503)".
    static std::string Title(const Entry& entry);
    /// "open on port 1502", "closed", "failed: Address already in use".
    static std::string StateText(const Entry& entry);
    pomrel::ServerCounters Counters(const Entry& entry) const;
    pomrel::DiagnosticCounters Diagnostics(const Entry& entry) const;

    /// One line of the Status dialog per listed server: its title, state and counters as texts.
    enum CounterColumn {
        kServer, kState, kValid, kInvalid, kSessions, kHandshakeFailures, kRoles, kBusMessages, kCommErrors,
        kExceptions, kCounterColumns
    };
    static const char* const kCounterTitles[kCounterColumns];
    std::vector<std::vector<std::string>> CounterRows() const;
    /// Sets the valid and invalid counts of every open server back to zero.
    void ResetCounters();

    /// Told after every attempt to open a server (headless prints "open:" / "failed:" lines).
    std::function<void(const Entry&)> onOpenAttempt;

private:
    void OpenEntry(Entry& entry);
    void CloseEntry(Entry& entry);
    Entry* FindEntry(std::uint32_t id);

    pomrel::ProtocolEngine& engine_;
    std::vector<Entry> entries_;
    Identities identities_;
    std::uint32_t nextId_ = 1;
};

} // namespace servers
