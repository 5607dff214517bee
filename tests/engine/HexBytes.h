// Hex text <-> bytes for byte-exact test tables.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pomrel::test {

inline std::vector<std::uint8_t> Hex(const std::string& text)
{
    std::vector<std::uint8_t> out;
    unsigned value = 0;
    int digits = 0;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0)
            continue;
        value = value << 4 | static_cast<unsigned>(v);
        if (++digits == 2) {
            out.push_back(static_cast<std::uint8_t>(value));
            value = 0;
            digits = 0;
        }
    }
    return out;
}

inline std::string ToHex(const std::uint8_t* p, std::size_t n)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", p[i]);
        s += buf;
    }
    return s;
}

inline std::string ToHex(const std::vector<std::uint8_t>& v) { return ToHex(v.data(), v.size()); }

} // namespace pomrel::test
