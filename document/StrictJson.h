// JSON read as set-ups, scenarios and automation give it, refusing what nlohmann::json would
// otherwise settle in silence: an object that names a key twice (the parser keeps the last).
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

/// A key an object repeats, and where that object is: "servers.tls", "faults[1]", "" at the top.
struct JsonDuplicate {
    std::string where;
    std::string key;
    /// "servers.tls.port", "faults[1].unit", "unit".
    std::string Path() const { return where.empty() ? key : where + "." + key; }
};

/// Parses `text` without exceptions: a discarded value when it is not JSON. The first key an
/// object repeats, at any depth, goes to `duplicate` (the value is then not to be used).
nlohmann::json ParseJsonNoDuplicates(std::string_view text, std::optional<JsonDuplicate>& duplicate);
/// Only the check, for a text already known to be JSON; nullopt when every key is single.
std::optional<JsonDuplicate> FindDuplicateKey(std::string_view text);
