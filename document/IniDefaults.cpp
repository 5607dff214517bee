#include "document/IniDefaults.h"

#include "document/FileAccess.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#ifndef KELVARO_DATA_FROM_BIN
#define KELVARO_DATA_FROM_BIN "../share/kelvaro64"
#endif

namespace {

// A defaults file is a few lines; anything this large is not one.
constexpr std::size_t kIniFileLimit = 1u << 20;

std::string Trim(const std::string& s)
{
    auto begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    auto end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Leading sign, optional base prefix, digits until the first non-digit; wraps like a ULONG.
std::uint32_t ParseProfileInteger(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        char p = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 1])));
        if (p == 'x') base = 16;
        else if (p == 'o') base = 8;
        else if (p == 'b') base = 2;
        if (base != 10)
            i += 2;
    }
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        int c = std::tolower(static_cast<unsigned char>(text[i]));
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else break;
        if (digit >= base)
            break;
        value = value * base + digit;
    }
    return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

} // namespace

std::uint32_t ReadProfileInt(const std::string& iniPath, const std::string& section,
                             const std::string& key, std::int32_t fallback)
{
    // Through the one file reader: a FIFO or device under that name must not hold start-up.
    const auto bytes = ReadWholeFile(iniPath, kIniFileLimit);
    if (!bytes)
        return static_cast<std::uint32_t>(fallback);
    const std::string text(bytes->begin(), bytes->end());
    bool inSection = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';')
            continue;
        if (t[0] == '[') {
            auto close = t.find(']');
            inSection = close != std::string::npos && SameText(Trim(t.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        auto eq = t.find('=');
        if (eq == std::string::npos || !SameText(Trim(t.substr(0, eq)), key))
            continue;
        std::string value = Trim(t.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (value.empty())
            return static_cast<std::uint32_t>(fallback);
        return ParseProfileInteger(value.substr(0, 29));   // the profile API reads into 30 characters
    }
    return static_cast<std::uint32_t>(fallback);
}

std::string IniPathBesideExecutable(const std::string& executablePath)
{
    auto slash = executablePath.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? std::string() : executablePath.substr(0, slash + 1);
    const std::string beside = folder + "Kelvaro32.ini";
    // An installed program has no write access to its own folder; the package puts the file in
    // its share folder, found relative to bin/ so that a moved or unpacked tree still finds it.
    std::error_code error;
    if (!folder.empty() && !std::filesystem::exists(beside, error)) {
        const std::string installed = folder + KELVARO_DATA_FROM_BIN "/Kelvaro32.ini";
        if (std::filesystem::exists(installed, error))
            return installed;
    }
    return beside;
}

BlockDefaults ReadBlockDefaults(const std::string& iniPath)
{
    BlockDefaults d;
    d.pointType = static_cast<std::uint8_t>(ReadProfileInt(iniPath, "Default", "Modbus Command", 3));
    d.deviceId = static_cast<std::uint8_t>(ReadProfileInt(iniPath, "Default", "Device Number", 1));
    d.startAddress = static_cast<std::uint16_t>(ReadProfileInt(iniPath, "Default", "Address", 1));
    d.length = static_cast<std::uint16_t>(ReadProfileInt(iniPath, "Default", "Length", 1000));
    return SanitizeBlock(d);
}

BlockDefaults SanitizeBlock(BlockDefaults block)
{
    const BlockDefaults builtIn;
    if (block.pointType < 1 || block.pointType > 4)
        block.pointType = builtIn.pointType;
    if (block.deviceId == 0)
        block.deviceId = builtIn.deviceId;
    if (block.length == 0 || block.length > 1000)
        block.length = builtIn.length;
    // Every start is a valid address (0 counts as 65536): a block that would run past 65536
    // keeps its start and ends there, rather than moving the user's block to address 1.
    const unsigned start = block.startAddress == 0 ? 65536u : block.startAddress;
    if (start + block.length - 1 > 65536u)
        block.length = static_cast<std::uint16_t>(65536u - start + 1);
    return block;
}
