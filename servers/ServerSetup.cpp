#include "servers/ServerSetup.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <initializer_list>

using nlohmann::json;
using pomrel::ServerEndpoint;
using pomrel::ServerProtocol;

namespace servers {

namespace {

struct ProtocolNames {
    ServerProtocol protocol;
    const char* name;
    const char* title;
    const char* shortTitle;
};
constexpr ProtocolNames kProtocols[] = {
    {ServerProtocol::Tcp, "tcp", "Modbus/TCP", "TCP"},
    {ServerProtocol::Udp, "udp", "Modbus/UDP", "UDP"},
    {ServerProtocol::RtuOverTcp, "rtu-over-tcp", "RTU over TCP", "RTU over TCP"},
    {ServerProtocol::Tls, "tls", "Modbus/TCP Security", "TLS"},
};

constexpr std::array<const char*, 7> kObjectNames = {"VendorName",  "ProductCode", "MajorMinorRevision", "VendorUrl",
                                                     "ProductName", "ModelName",   "UserApplicationName"};

bool Fail(std::string& error, const std::string& where, const std::string& why)
{
    error = where + ": " + why;
    return false;
}

bool RefuseUnknown(const json& object, const std::string& where, std::initializer_list<const char*> known,
                   std::string& error)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool found = false;
        for (const char* k : known)
            found = found || it.key() == k;
        if (!found)
            return Fail(error, where + "." + it.key(), "unknown key");
    }
    return true;
}

// A whole number written as a JSON number, low..high.
bool ReadNumber(const json& value, const std::string& where, unsigned low, unsigned high, unsigned& out,
                std::string& error)
{
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() < low || value.get<std::uint64_t>() > high)
        return Fail(error, where, "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    out = static_cast<unsigned>(value.get<std::uint64_t>());
    return true;
}

// A whole number written as a JSON key (decimal, or 0x hex when `hex`), low..high.
std::optional<unsigned> KeyNumber(const std::string& key, unsigned low, unsigned high, bool hex)
{
    int base = 10;
    std::string_view digits = key;
    if (hex && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

bool ReadText(const json& value, const std::string& where, std::string& out, std::string& error, bool mayBeEmpty)
{
    if (!value.is_string())
        return Fail(error, where, "must be a text");
    out = value.get<std::string>();
    if (!mayBeEmpty && out.empty())
        return Fail(error, where, "must not be empty");
    if (out.find('\0') != std::string::npos)
        return Fail(error, where, "must not hold a NUL character");
    return true;
}

bool ReadPort(const json& object, const std::string& where, std::uint16_t& port, std::string& error)
{
    const auto it = object.find("port");
    if (it == object.end())
        return Fail(error, where + ".port", "missing");
    unsigned value = 0;
    if (!ReadNumber(*it, where + ".port", 0, 65535, value, error))
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// cert, key (both needed), ca and read_only_roles of a TLS server.
bool ReadTls(const json& object, const std::string& where, pomrel::TlsFiles& tls, std::string& error)
{
    for (auto [key, target] : {std::pair{"cert", &tls.cert}, std::pair{"key", &tls.key}}) {
        const auto it = object.find(key);
        if (it == object.end())
            return Fail(error, where + "." + key, "missing (a TLS server needs its certificate and key)");
        if (!ReadText(*it, where + "." + key, *target, error, false))
            return false;
    }
    if (const auto it = object.find("ca"); it != object.end() && !ReadText(*it, where + ".ca", tls.ca, error, false))
        return false;
    if (const auto it = object.find("read_only_roles"); it != object.end()) {
        if (!it->is_array())
            return Fail(error, where + ".read_only_roles", "must be a list of role names");
        for (std::size_t i = 0; i < it->size(); ++i) {
            std::string role;
            if (!ReadText((*it)[i], where + ".read_only_roles[" + std::to_string(i) + "]", role, error, false))
                return false;
            tls.readOnlyRoles.push_back(std::move(role));
        }
    }
    return true;
}

void WriteTls(const pomrel::TlsFiles& tls, json& out)
{
    out["cert"] = tls.cert;
    out["key"] = tls.key;
    if (!tls.ca.empty())
        out["ca"] = tls.ca;
    if (!tls.readOnlyRoles.empty())
        out["read_only_roles"] = tls.readOnlyRoles;
}

bool ValidAddress(const std::string& text)
{
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, text.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

} // namespace

const char* ProtocolName(ServerProtocol protocol)
{
    for (const auto& p : kProtocols)
        if (p.protocol == protocol)
            return p.name;
    return "?";
}

std::optional<ServerProtocol> ProtocolFromName(const std::string& name)
{
    for (const auto& p : kProtocols)
        if (name == p.name)
            return p.protocol;
    return std::nullopt;
}

const char* ProtocolTitle(ServerProtocol protocol)
{
    for (const auto& p : kProtocols)
        if (p.protocol == protocol)
            return p.title;
    return "?";
}

std::optional<std::uint8_t> IdentityObjectId(const std::string& name)
{
    for (std::size_t i = 0; i < kObjectNames.size(); ++i)
        if (name == kObjectNames[i])
            return static_cast<std::uint8_t>(i);
    if (const auto n = KeyNumber(name, 0x80, 0xFF, true))
        return static_cast<std::uint8_t>(*n);
    return std::nullopt;
}

std::string IdentityObjectName(std::uint8_t id)
{
    if (id < kObjectNames.size())
        return kObjectNames[id];
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(id));
    return text;
}

std::optional<ServerEndpoint> ParseEndpoint(const json& value, const std::string& where, std::string& error)
{
    if (!value.is_object()) {
        Fail(error, where, "must be an object");
        return std::nullopt;
    }
    ServerEndpoint e;
    const auto protocol = value.find("protocol");
    if (protocol == value.end()) {
        Fail(error, where + ".protocol", "missing");
        return std::nullopt;
    }
    const auto parsed = protocol->is_string() ? ProtocolFromName(protocol->get<std::string>()) : std::nullopt;
    if (!parsed) {
        Fail(error, where + ".protocol", "must be \"tcp\", \"udp\", \"rtu-over-tcp\" or \"tls\"");
        return std::nullopt;
    }
    e.protocol = *parsed;
    const bool tls = e.protocol == ServerProtocol::Tls;
    if (!RefuseUnknown(value, where,
                       tls ? std::initializer_list<const char*>{"protocol", "address", "port", "units", "cert", "key",
                                                                "ca", "read_only_roles"}
                           : std::initializer_list<const char*>{"protocol", "address", "port", "units"},
                       error)) {
        for (const char* k : {"cert", "key", "ca", "read_only_roles"})
            if (!tls && value.contains(k))
                Fail(error, where + "." + k, "only with protocol \"tls\"");
        return std::nullopt;
    }
    if (const auto it = value.find("address"); it != value.end()) {
        if (!ReadText(*it, where + ".address", e.address, error, true))
            return std::nullopt;
        if (!e.address.empty() && !ValidAddress(e.address)) {
            Fail(error, where + ".address", "must be an IPv4 or IPv6 address (\"127.0.0.2\", \"::1\")");
            return std::nullopt;
        }
    }
    if (!ReadPort(value, where, e.port, error))
        return std::nullopt;
    if (const auto it = value.find("units"); it != value.end()) {
        if (!it->is_object()) {
            Fail(error, where + ".units", "must be an object of unit id: device id");
            return std::nullopt;
        }
        for (auto u = it->begin(); u != it->end(); ++u) {
            const auto unit = KeyNumber(u.key(), 0, 255, false);
            if (!unit) {
                Fail(error, where + ".units." + u.key(), "a unit id must be a whole number from 0 to 255");
                return std::nullopt;
            }
            unsigned device = 0;
            if (!ReadNumber(u.value(), where + ".units." + u.key(), 0, 255, device, error))
                return std::nullopt;
            e.units[static_cast<std::uint8_t>(*unit)] = static_cast<std::uint8_t>(device);
        }
    }
    if (tls && !ReadTls(value, where, e.tls, error))
        return std::nullopt;
    return e;
}

std::optional<std::vector<ServerEndpoint>> ParseServers(const json& value, std::string& error)
{
    if (!value.is_object()) {
        Fail(error, "servers", "must be an object");
        return std::nullopt;
    }
    if (!RefuseUnknown(value, "servers", {"udp", "rtu-over-tcp", "tls"}, error))
        return std::nullopt;
    std::vector<ServerEndpoint> out;
    // In a fixed order, whatever the file's: a set-up written back reads the same.
    for (ServerProtocol protocol : {ServerProtocol::Udp, ServerProtocol::RtuOverTcp, ServerProtocol::Tls}) {
        const std::string name = ProtocolName(protocol);
        const auto it = value.find(name);
        if (it == value.end())
            continue;
        const std::string where = "servers." + name;
        if (!it->is_object()) {
            Fail(error, where, "must be an object");
            return std::nullopt;
        }
        const bool tls = protocol == ServerProtocol::Tls;
        if (!RefuseUnknown(*it, where,
                           tls ? std::initializer_list<const char*>{"port", "cert", "key", "ca", "read_only_roles"}
                               : std::initializer_list<const char*>{"port"},
                           error))
            return std::nullopt;
        ServerEndpoint e;
        e.protocol = protocol;
        if (!ReadPort(*it, where, e.port, error) || (tls && !ReadTls(*it, where, e.tls, error)))
            return std::nullopt;
        out.push_back(std::move(e));
    }
    return out;
}

std::optional<std::vector<ServerEndpoint>> ParseEndpoints(const json& value, std::string& error)
{
    if (!value.is_array()) {
        Fail(error, "endpoints", "must be a list");
        return std::nullopt;
    }
    if (value.size() > kMaxEndpoints) {
        Fail(error, "endpoints", "at most " + std::to_string(kMaxEndpoints) + " endpoints");
        return std::nullopt;
    }
    std::vector<ServerEndpoint> out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        auto e = ParseEndpoint(value[i], "endpoints[" + std::to_string(i) + "]", error);
        if (!e)
            return std::nullopt;
        e->number = static_cast<int>(i) + 1;
        out.push_back(std::move(*e));
    }
    return out;
}

std::optional<Identities> ParseIdentities(const json& value, std::string& error)
{
    if (!value.is_object()) {
        Fail(error, "identity", "must be an object of device id: objects");
        return std::nullopt;
    }
    Identities out;
    for (auto d = value.begin(); d != value.end(); ++d) {
        const std::string where = "identity." + d.key();
        const auto device = KeyNumber(d.key(), 0, 255, false);
        if (!device) {
            Fail(error, where, "a device id must be a whole number from 0 to 255");
            return std::nullopt;
        }
        if (!d->is_object()) {
            Fail(error, where, "must be an object of object name: text");
            return std::nullopt;
        }
        auto& objects = out[static_cast<std::uint8_t>(*device)];
        for (auto o = d->begin(); o != d->end(); ++o) {
            const auto id = IdentityObjectId(o.key());
            if (!id) {
                Fail(error, where + "." + o.key(),
                     "not an object name (VendorName, ProductCode, MajorMinorRevision, VendorUrl, ProductName, "
                     "ModelName, UserApplicationName, or 0x80 to 0xFF)");
                return std::nullopt;
            }
            if (objects.count(*id)) {
                Fail(error, where + "." + o.key(), "the same object twice");
                return std::nullopt;
            }
            std::string text;
            if (!ReadText(o.value(), where + "." + o.key(), text, error, true))
                return std::nullopt;
            if (text.size() > kMaxObjectBytes) {
                Fail(error, where + "." + o.key(), "at most " + std::to_string(kMaxObjectBytes) + " bytes");
                return std::nullopt;
            }
            objects[*id] = std::move(text);
        }
    }
    return out;
}

json EndpointToJson(const ServerEndpoint& e)
{
    json out = json::object();
    out["protocol"] = ProtocolName(e.protocol);
    if (!e.address.empty())
        out["address"] = e.address;
    out["port"] = e.port;
    if (!e.units.empty()) {
        json units = json::object();
        for (const auto& [unit, device] : e.units)
            units[std::to_string(unit)] = device;
        out["units"] = units;
    }
    if (e.protocol == ServerProtocol::Tls)
        WriteTls(e.tls, out);
    return out;
}

json ServersToJson(const std::vector<ServerEndpoint>& servers)
{
    json out = json::object();
    for (const ServerEndpoint& e : servers) {
        json server = json::object();
        server["port"] = e.port;
        if (e.protocol == ServerProtocol::Tls)
            WriteTls(e.tls, server);
        out[ProtocolName(e.protocol)] = server;
    }
    return out;
}

json EndpointsToJson(const std::vector<ServerEndpoint>& endpoints)
{
    json out = json::array();
    for (const ServerEndpoint& e : endpoints)
        out.push_back(EndpointToJson(e));
    return out;
}

json IdentitiesToJson(const Identities& identities)
{
    json out = json::object();
    for (const auto& [device, objects] : identities) {
        json o = json::object();
        for (const auto& [id, text] : objects)
            o[IdentityObjectName(id)] = text;
        out[std::to_string(device)] = o;
    }
    return out;
}

namespace {

std::string Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

} // namespace

std::optional<std::map<std::uint8_t, std::uint8_t>> ParseUnitsText(const std::string& text, std::string& error)
{
    std::map<std::uint8_t, std::uint8_t> units;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string pair = Trimmed(std::string_view(text).substr(start, comma - start));
        start = comma + 1;
        if (pair.empty()) {
            if (comma == text.size())
                break;
            continue;
        }
        const std::size_t equals = pair.find('=');
        const auto unit = equals == std::string::npos ? std::nullopt : KeyNumber(Trimmed(pair.substr(0, equals)), 0, 255, false);
        const auto device = equals == std::string::npos ? std::nullopt : KeyNumber(Trimmed(pair.substr(equals + 1)), 0, 255, false);
        if (!unit || !device) {
            error = "\"" + pair + "\": write unit=device, each 0 to 255 (\"1=7, 2=8\")";
            return std::nullopt;
        }
        units[static_cast<std::uint8_t>(*unit)] = static_cast<std::uint8_t>(*device);
    }
    return units;
}

std::string UnitsText(const std::map<std::uint8_t, std::uint8_t>& units)
{
    std::string text;
    for (const auto& [unit, device] : units)
        text += (text.empty() ? "" : ", ") + std::to_string(unit) + "=" + std::to_string(device);
    return text;
}

std::vector<std::string> ParseRolesText(const std::string& text)
{
    std::vector<std::string> roles;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        std::string role = Trimmed(std::string_view(text).substr(start, comma - start));
        if (!role.empty())
            roles.push_back(std::move(role));
        start = comma + 1;
    }
    return roles;
}

std::string RolesText(const std::vector<std::string>& roles)
{
    std::string text;
    for (const std::string& role : roles)
        text += (text.empty() ? "" : ", ") + role;
    return text;
}

void ResolveFiles(std::vector<ServerEndpoint>& endpoints, const std::string& folder)
{
    namespace fs = std::filesystem;
    for (ServerEndpoint& e : endpoints)
        for (std::string* name : {&e.tls.cert, &e.tls.key, &e.tls.ca})
            if (!name->empty() && fs::path(*name).is_relative())
                *name = (fs::path(folder) / *name).lexically_normal().string();
}

void RelativeFiles(std::vector<ServerEndpoint>& endpoints, const std::string& folder)
{
    namespace fs = std::filesystem;
    const fs::path base = fs::path(folder).lexically_normal();
    for (ServerEndpoint& e : endpoints)
        for (std::string* name : {&e.tls.cert, &e.tls.key, &e.tls.ca}) {
            if (name->empty() || fs::path(*name).is_relative())
                continue;
            const fs::path relative = fs::path(*name).lexically_normal().lexically_relative(base);
            // Only files inside the folder: a "../" name would break when the set-up moves alone.
            if (!relative.empty() && *relative.begin() != "..")
                *name = relative.string();
        }
}

} // namespace servers
