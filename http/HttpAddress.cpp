#include "http/HttpAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace web {

namespace {
std::optional<std::uint16_t> Port(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

bool IsIp(const std::string& host, int family) {
    unsigned char buffer[16];
    return ::inet_pton(family, host.c_str(), buffer) == 1;
}
}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error) {
    error.clear();
    ListenAddress a;
    std::string_view host = text, port;
    bool v6 = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            error = "no ']' after the IPv6 address";
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "after ']' only \":PORT\" may follow";
                return std::nullopt;
            }
            port = rest.substr(1);
            if (port.empty()) {
                error = "no port after ':'";
                return std::nullopt;
            }
        }
        v6 = true;
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty()) {
            error = "no port after ':'";
            return std::nullopt;
        }
    } else if (text.find(':') != std::string_view::npos) {
        v6 = true;  // an IPv6 literal without a port
    }
    a.host = std::string(host);
    if (!(v6 ? IsIp(a.host, AF_INET6) : IsIp(a.host, AF_INET))) {
        error = "\"" + std::string(text.substr(0, 64)) + "\" is not ADDRESS[:PORT] with an IPv4 address or [IPv6]";
        return std::nullopt;
    }
    if (!port.empty()) {
        const auto p = Port(port);
        if (!p) {
            error = "not a port number (0 to 65535): " + std::string(port.substr(0, 16));
            return std::nullopt;
        }
        a.port = *p;
    }
    return a;
}

std::string FormatListenAddress(const ListenAddress& address) {
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

std::optional<int> ResolveHttpPort(std::optional<int> option, const char* environment, std::string& error) {
    error.clear();
    if (option)
        return *option;
    if (!environment || !*environment)
        return 0;
    const std::optional<std::uint16_t> port = Port(environment);
    if (!port) {
        error = "KELVARO64_HTTP_PORT is not a port number (0 to 65535): \"" + std::string(environment).substr(0, 32) + "\"";
        return std::nullopt;
    }
    return *port;
}

}  // namespace web
