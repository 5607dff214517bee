// A set-up's extras: what Kelvaro64 keeps beside a test configuration that the original's files
// have no room for, as JSON in NAME.tst.json (docs/extras.md is the schema). One reader and one
// writer; each top-level key is a section with its own parser and writer in SetupExtras.cpp, so a
// new capability adds a key without reshaping the rest.
#pragma once

#include "behaviour/BehaviourScenario.h"
#include "engine/FaultRules.h"
#include "servers/ServerSetup.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// "tcp": the Modbus/TCP server's connection limits. A field left out keeps its default.
struct TcpExtras {
    std::optional<std::uint32_t> maxConnections;    // "max_connections": 1 ... 1 000 000
    std::optional<std::uint32_t> requestTimeoutMs;  // "request_timeout_ms": 0 (never) ... 3 600 000
    bool operator==(const TcpExtras&) const = default;
};

/// "generators", "reactions", "scripts": the program's behaviour, read and written by
/// behaviour/BehaviourScenario. Two are equal when a file would hold the same.
struct BehaviourExtras {
    behaviour::Behaviour items;
    bool operator==(const BehaviourExtras& other) const;
};

struct SetupExtras {
    std::optional<TcpExtras> tcp;
    /// "faults": the fault rules, read and written by faults/FaultScenario.
    std::optional<std::vector<pomrel::FaultRule>> faults;
    /// "servers", "endpoints", "identity": the network servers, read and written by servers/ServerSetup.
    std::optional<std::vector<pomrel::ServerEndpoint>> servers;
    std::optional<std::vector<pomrel::ServerEndpoint>> endpoints;
    std::optional<servers::Identities> identity;
    /// Present when the file holds any of the three behaviour keys (the others then hold nothing).
    std::optional<BehaviourExtras> behaviour;

    /// Nothing to keep: no extras file is written.
    bool Empty() const { return !tcp && !faults && !servers && !endpoints && !identity && !behaviour; }
    bool operator==(const SetupExtras&) const = default;
};

/// Longest extras file read; a longer one is refused unread.
inline constexpr std::size_t kMaxExtrasBytes = 16 * 1024 * 1024;

/// The extras file that goes with a test configuration: NAME.tst -> NAME.tst.json.
std::string SetupExtrasPath(const std::string& testConfigPath);
/// Parses extras text. nullopt with `error` set (naming the key, as "tcp.max_connections") when
/// anything is wrong: nothing of a refused text is taken. Behaviour files (csv rows, scripts)
/// are found relative to `baseDir` (empty: the current folder).
std::optional<SetupExtras> ParseSetupExtras(std::string_view text, std::string& error, const std::string& baseDir = {});
/// The JSON text of the extras (UTF-8, two-space indent, newline at the end).
std::string SerializeSetupExtras(const SetupExtras& extras);
/// Reads a file (regular files only) and parses it; the error names the file. TLS and csv file
/// names relative to the file's folder come back absolute; a script keeps its name as written
/// (its errors name it so) and its path comes back absolute.
std::optional<SetupExtras> ReadSetupExtras(const std::string& path, std::string& error);
/// Behaviour files (csv names, script paths) made absolute from `folder`, and those inside
/// `folder` named relative to it again for writing, so that a set-up moves with its files.
void ResolveBehaviourFiles(behaviour::Behaviour& b, const std::string& folder);
void RelativeBehaviourFiles(behaviour::Behaviour& b, const std::string& folder);
