// Where the HTTP doors listen: the port of the full door (option or KELVARO64_HTTP_PORT) and
// the address of the read-only metrics door. Plain code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace web {

/// The metrics door's port when its address names none.
inline constexpr std::uint16_t kDefaultMetricsPort = 9502;

/// An address to listen on: an IP literal (IPv6 without brackets) and a port (0: any free one).
struct ListenAddress {
    std::string host;
    std::uint16_t port = kDefaultMetricsPort;
    bool operator==(const ListenAddress&) const = default;
};

/// "0.0.0.0:9502", "192.0.2.7" (port 9502), "[::]:9502", "[::1]", "::" (an IPv6 literal alone);
/// nullopt with why in `error` for anything else (host names included: no lookup is made).
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error);
/// "0.0.0.0:9502", "[::]:9502".
std::string FormatListenAddress(const ListenAddress& address);

/// The HTTP port: the option if given, else KELVARO64_HTTP_PORT; 0 or neither: off (0 returned).
/// nullopt with `error` when the environment holds no port number.
std::optional<int> ResolveHttpPort(std::optional<int> option, const char* environment, std::string& error);

}  // namespace web
