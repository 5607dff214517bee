// The network servers, endpoints and device identities of a set-up, as plain data, and their
// three keys of the set-up extras ("servers", "endpoints", "identity") as JSON, both ways
// (app/SetupExtras reads and writes the files). Reading is all or nothing: an unknown key, a
// wrong type or a value out of range refuses the whole key, naming the field.
#pragma once

#include "engine/ProtocolEngine.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace servers {

/// Device id -> object id (0..6 the standard objects, 0x80..0xFF extended) -> text.
using Identities = std::map<std::uint8_t, std::map<std::uint8_t, std::string>>;

struct ServerSetup {
    /// "servers": the main server of each protocol (number 0; udp, rtu-over-tcp, tls).
    std::vector<pomrel::ServerEndpoint> servers;
    /// "endpoints": extra listening endpoints, numbered from 1 in list order.
    std::vector<pomrel::ServerEndpoint> endpoints;
    Identities identities;
    bool operator==(const ServerSetup&) const = default;
};

/// Most extra endpoints a set-up may list (each costs a socket, and TCP kinds a thread's share).
inline constexpr std::size_t kMaxEndpoints = 4096;
/// Longest identity object text: one object alone must fit in an FC 43 answer.
inline constexpr std::size_t kMaxObjectBytes = 244;

/// "tcp", "udp", "rtu-over-tcp", "tls", and back.
const char* ProtocolName(pomrel::ServerProtocol protocol);
std::optional<pomrel::ServerProtocol> ProtocolFromName(const std::string& name);
/// What users read: "Modbus/UDP", "RTU over TCP", "Modbus/TCP Security", "Modbus/TCP".
const char* ProtocolTitle(pomrel::ServerProtocol protocol);

/// "VendorName" .. "UserApplicationName" -> 0..6; "0x80".."0xFF" or "128".."255" -> itself.
std::optional<std::uint8_t> IdentityObjectId(const std::string& name);
/// The name a file keeps: the standard name, else "0x80" style.
std::string IdentityObjectName(std::uint8_t id);

/// The keys, each refused with `error` naming the field ("servers.tls.cert: missing").
std::optional<std::vector<pomrel::ServerEndpoint>> ParseServers(const nlohmann::json& value, std::string& error);
std::optional<std::vector<pomrel::ServerEndpoint>> ParseEndpoints(const nlohmann::json& value, std::string& error);
std::optional<Identities> ParseIdentities(const nlohmann::json& value, std::string& error);
/// One endpoint as automation gives it: {"protocol", "address", "port", "units", TLS keys};
/// `where` starts the field names of errors.
std::optional<pomrel::ServerEndpoint> ParseEndpoint(const nlohmann::json& value, const std::string& where,
                                                    std::string& error);

nlohmann::json ServersToJson(const std::vector<pomrel::ServerEndpoint>& servers);
nlohmann::json EndpointsToJson(const std::vector<pomrel::ServerEndpoint>& endpoints);
nlohmann::json EndpointToJson(const pomrel::ServerEndpoint& endpoint);
nlohmann::json IdentitiesToJson(const Identities& identities);

/// A units map as a dialog shows it: "1=7, 2=8" (empty: none); nullopt with `error` when wrong.
std::optional<std::map<std::uint8_t, std::uint8_t>> ParseUnitsText(const std::string& text, std::string& error);
std::string UnitsText(const std::map<std::uint8_t, std::uint8_t>& units);
/// Role names as a dialog shows them: "Operator, Viewer".
std::vector<std::string> ParseRolesText(const std::string& text);
std::string RolesText(const std::vector<std::string>& roles);

/// TLS file names relative to `folder` made absolute (reading a file), and those inside
/// `folder` made relative to it again (writing one), so that a set-up moves with its files.
void ResolveFiles(std::vector<pomrel::ServerEndpoint>& endpoints, const std::string& folder);
void RelativeFiles(std::vector<pomrel::ServerEndpoint>& endpoints, const std::string& folder);

} // namespace servers
