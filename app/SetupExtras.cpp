#include "app/SetupExtras.h"

#include "document/StrictJson.h"
#include "faults/FaultScenario.h"
#include "servers/ServerSetup.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace {

// Reads one whole-number field of a section into `target`; absent leaves it empty.
bool ReadCount(const json& section, const std::string& sectionName, const char* key, std::uint64_t low,
               std::uint64_t high, std::optional<std::uint32_t>& target, std::string& error)
{
    const auto it = section.find(key);
    if (it == section.end())
        return true;
    // The parser keeps non-negative whole numbers as unsigned: anything else (negative, a
    // fraction, a string) is refused.
    const bool whole = it->is_number_unsigned();
    const std::uint64_t value = whole ? it->get<std::uint64_t>() : 0;
    if (!whole || value < low || value > high) {
        error = sectionName + "." + key + ": must be a whole number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
    }
    target = static_cast<std::uint32_t>(value);
    return true;
}

bool RefuseUnknownKeys(const json& section, const std::string& sectionName, std::initializer_list<const char*> known,
                       std::string& error)
{
    for (auto it = section.begin(); it != section.end(); ++it) {
        bool found = false;
        for (const char* k : known)
            found = found || it.key() == k;
        if (!found) {
            error = sectionName + "." + it.key() + ": unknown key";
            return false;
        }
    }
    return true;
}

bool ParseTcp(const json& value, const std::string&, SetupExtras& extras, std::string& error)
{
    if (!value.is_object()) {
        error = "tcp: must be an object";
        return false;
    }
    if (!RefuseUnknownKeys(value, "tcp", {"max_connections", "request_timeout_ms"}, error))
        return false;
    TcpExtras tcp;
    if (!ReadCount(value, "tcp", "max_connections", 1, 1000000, tcp.maxConnections, error) ||
        !ReadCount(value, "tcp", "request_timeout_ms", 0, 3600000, tcp.requestTimeoutMs, error))
        return false;
    extras.tcp = tcp;
    return true;
}

void WriteTcp(const SetupExtras& extras, json& out)
{
    if (!extras.tcp)
        return;
    json tcp = json::object();
    if (extras.tcp->maxConnections)
        tcp["max_connections"] = *extras.tcp->maxConnections;
    if (extras.tcp->requestTimeoutMs)
        tcp["request_timeout_ms"] = *extras.tcp->requestTimeoutMs;
    out["tcp"] = tcp;
}

bool ParseFaults(const json& value, const std::string&, SetupExtras& extras, std::string& error)
{
    auto rules = faults::ParseFaultList(value, error);
    if (!rules) {
        error = "faults: " + error;
        return false;
    }
    extras.faults = std::move(*rules);
    return true;
}

void WriteFaults(const SetupExtras& extras, json& out)
{
    if (extras.faults)
        out["faults"] = faults::FaultListToJson(*extras.faults);
}

bool ParseServers(const json& value, const std::string&, SetupExtras& extras, std::string& error)
{
    extras.servers = servers::ParseServers(value, error);
    return extras.servers.has_value();
}

void WriteServers(const SetupExtras& extras, json& out)
{
    if (extras.servers)
        out["servers"] = servers::ServersToJson(*extras.servers);
}

bool ParseEndpoints(const json& value, const std::string&, SetupExtras& extras, std::string& error)
{
    extras.endpoints = servers::ParseEndpoints(value, error);
    return extras.endpoints.has_value();
}

void WriteEndpoints(const SetupExtras& extras, json& out)
{
    if (extras.endpoints)
        out["endpoints"] = servers::EndpointsToJson(*extras.endpoints);
}

bool ParseIdentity(const json& value, const std::string&, SetupExtras& extras, std::string& error)
{
    extras.identity = servers::ParseIdentities(value, error);
    return extras.identity.has_value();
}

void WriteIdentity(const SetupExtras& extras, json& out)
{
    if (extras.identity)
        out["identity"] = servers::IdentitiesToJson(*extras.identity);
}

// The three behaviour keys each fill their own list; a file naming any of them holds the
// behaviour whole (a list it leaves out is empty).
template <auto Member>
bool ParseBehaviourKey(const char* key, const json& value, const std::string& baseDir, SetupExtras& extras,
                       std::string& error)
{
    auto parsed = behaviour::ParseBehaviour(json{{key, value}}, baseDir, error);
    if (!parsed)
        return false;
    if (!extras.behaviour)
        extras.behaviour.emplace();
    extras.behaviour->items.*Member = std::move((*parsed).*Member);
    return true;
}

bool ParseGenerators(const json& value, const std::string& baseDir, SetupExtras& extras, std::string& error)
{
    return ParseBehaviourKey<&behaviour::Behaviour::generators>("generators", value, baseDir, extras, error);
}

bool ParseReactions(const json& value, const std::string& baseDir, SetupExtras& extras, std::string& error)
{
    return ParseBehaviourKey<&behaviour::Behaviour::reactions>("reactions", value, baseDir, extras, error);
}

bool ParseScripts(const json& value, const std::string& baseDir, SetupExtras& extras, std::string& error)
{
    return ParseBehaviourKey<&behaviour::Behaviour::scripts>("scripts", value, baseDir, extras, error);
}

// One writer for the three keys: the behaviour core writes them together.
void WriteBehaviour(const SetupExtras& extras, json& out)
{
    if (extras.behaviour)
        behaviour::BehaviourToJson(extras.behaviour->items, out);
}

void WrittenWithGenerators(const SetupExtras&, json&) {}

// A key given twice, named as the section's own refusals name a field: a rule's field as the
// fault rules word it, anything else by its path ("servers.tls.port: duplicate key").
std::string DuplicateError(const json& document, const JsonDuplicate& duplicate)
{
    const std::string prefix = "faults[";
    if (duplicate.where.rfind(prefix, 0) == 0 && duplicate.where.back() == ']' &&
        duplicate.where.find_first_not_of("0123456789", prefix.size()) == duplicate.where.size() - 1) {
        const auto list = document.find("faults");
        const std::size_t index = std::stoul(duplicate.where.substr(prefix.size()));
        if (list != document.end() && list->is_array() && index < list->size())
            return "faults: " + faults::DuplicateFieldError(*list, index, duplicate.key);
    }
    return duplicate.Path() + ": duplicate key";
}

// Every top-level key: a new capability adds its row (and its member of SetupExtras).
struct Section {
    const char* key;
    bool (*parse)(const json& value, const std::string& baseDir, SetupExtras& extras, std::string& error);
    void (*write)(const SetupExtras& extras, json& out);
};
constexpr Section kSections[] = {
    {"tcp", ParseTcp, WriteTcp},
    {"faults", ParseFaults, WriteFaults},
    {"servers", ParseServers, WriteServers},
    {"endpoints", ParseEndpoints, WriteEndpoints},
    {"identity", ParseIdentity, WriteIdentity},
    {"generators", ParseGenerators, WriteBehaviour},
    {"reactions", ParseReactions, WrittenWithGenerators},
    {"scripts", ParseScripts, WrittenWithGenerators},
};

} // namespace

std::string SetupExtrasPath(const std::string& testConfigPath)
{
    return testConfigPath + ".json";
}

bool BehaviourExtras::operator==(const BehaviourExtras& other) const
{
    json mine = json::object(), theirs = json::object();
    behaviour::BehaviourToJson(items, mine);
    behaviour::BehaviourToJson(other.items, theirs);
    return mine == theirs;
}

void ResolveBehaviourFiles(behaviour::Behaviour& b, const std::string& folder)
{
    namespace fs = std::filesystem;
    const auto whole = [&folder](std::string& name) {
        if (!name.empty() && fs::path(name).is_relative())
            name = (fs::path(folder) / name).lexically_normal().string();
    };
    for (auto& g : b.generators)
        if (g.kind == behaviour::Kind::Csv)
            whole(g.file);
    // A script keeps the name the file gives it, so that its errors read "filler.lua:12: ...",
    // not a whole path Lua shortens past 60 characters; it is read from its path.
    for (auto& s : b.scripts)
        whole(s.path);
}

void RelativeBehaviourFiles(behaviour::Behaviour& b, const std::string& folder)
{
    namespace fs = std::filesystem;
    const fs::path base = fs::path(folder).lexically_normal();
    const auto relative = [&base](std::string& name) {
        const fs::path path(name);
        if (!path.is_absolute())
            return;
        const fs::path inside = path.lexically_normal().lexically_relative(base);
        if (!inside.empty() && *inside.begin() != "..")
            name = inside.string();
    };
    for (auto& g : b.generators)
        if (g.kind == behaviour::Kind::Csv)
            relative(g.file);
    for (auto& s : b.scripts) {
        if (fs::path(s.file).is_relative() && fs::path(s.path).is_absolute())
            s.file = fs::path(s.path).lexically_normal().string();   // named from the folder it was read from
        relative(s.file);
    }
}

std::optional<SetupExtras> ParseSetupExtras(std::string_view text, std::string& error, const std::string& baseDir)
{
    error.clear();
    // No exceptions: a text that is not JSON is discarded. A key given twice is refused as an
    // unknown one is: which of the two was meant cannot be told.
    std::optional<JsonDuplicate> duplicate;
    json document = ParseJsonNoDuplicates(text, duplicate);
    if (document.is_discarded()) {
        error = "not valid JSON";
        return std::nullopt;
    }
    if (duplicate) {
        error = DuplicateError(document, *duplicate);
        return std::nullopt;
    }
    if (!document.is_object()) {
        error = "the file must hold one JSON object";
        return std::nullopt;
    }
    SetupExtras extras;
    for (auto it = document.begin(); it != document.end(); ++it) {
        const Section* section = nullptr;
        for (const Section& s : kSections)
            if (it.key() == s.key)
                section = &s;
        if (!section) {
            error = it.key() + ": unknown key";
            return std::nullopt;
        }
        if (!section->parse(it.value(), baseDir, extras, error))
            return std::nullopt;
    }
    return extras;
}

std::string SerializeSetupExtras(const SetupExtras& extras)
{
    json out = json::object();
    for (const Section& s : kSections)
        s.write(extras, out);
    return out.dump(2) + "\n";
}

std::optional<SetupExtras> ReadSetupExtras(const std::string& path, std::string& error)
{
    // Non-blocking: a FIFO in the file's place must not stop the program; then only a regular
    // file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat info{};
    std::string text;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<std::uint64_t>(info.st_size) <= kMaxExtrasBytes;
    if (!ok) {
        ::close(fd);
        error = path + ": not a regular file of at most 16 MB";
        return std::nullopt;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxExtrasBytes) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    if (!ok) {
        error = path + ": cannot be read whole";
        return std::nullopt;
    }
    // Certificate, key, csv and script names are relative to the extras file, wherever the
    // program runs.
    const std::string folder = std::filesystem::absolute(std::filesystem::path(path)).parent_path().string();
    auto extras = ParseSetupExtras(text, error, folder);
    if (!extras) {
        error = path + ": " + error;
        return extras;
    }
    for (auto* list : {&extras->servers, &extras->endpoints})
        if (*list)
            servers::ResolveFiles(**list, folder);
    if (extras->behaviour)
        ResolveBehaviourFiles(extras->behaviour->items, folder);
    return extras;
}
