// The network servers, endpoints and device identities of a set-up, as plain data.
#pragma once

#include "engine/ProtocolEngine.h"

#include <map>
#include <string>
#include <vector>

namespace servers {

struct ServerSetup {
    std::vector<pomrel::ServerEndpoint> endpoints;  // the main servers first, then the extra endpoints
    std::map<std::uint8_t, std::map<std::uint8_t, std::string>> identities;  // device id -> object id -> text
    bool operator==(const ServerSetup&) const = default;
};

} // namespace servers
