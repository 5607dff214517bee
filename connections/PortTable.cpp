#include "connections/PortTable.h"

#include "document/ByteOrder.h"

#include <charconv>
#include <sstream>

namespace {

std::string Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(first, last - first + 1));
}

} // namespace

std::array<std::uint8_t, 20> PortSettingsToBytes(const pomrel::PortSettings& s)
{
    std::array<std::uint8_t, 20> b{};
    PutU32LE(&b[0], s.baudRate);
    b[4] = s.dataBits;
    b[5] = s.parity;
    b[6] = s.stopBits;
    b[7] = s.reserved7;
    PutU32LE(&b[8], s.waitCts);
    PutU32LE(&b[12], s.waitDtr);
    b[16] = s.rtsOnDelayMs;
    b[17] = s.rtsOffDelayMs;
    b[18] = s.reserved18[0];
    b[19] = s.reserved18[1];
    return b;
}

pomrel::PortSettings PortSettingsFromBytes(const std::uint8_t* b)
{
    pomrel::PortSettings s;
    s.baudRate = GetU32LE(&b[0]);
    s.dataBits = b[4];
    s.parity = b[5];
    s.stopBits = b[6];
    s.reserved7 = b[7];
    s.waitCts = GetU32LE(&b[8]);
    s.waitDtr = GetU32LE(&b[12]);
    s.rtsOnDelayMs = b[16];
    s.rtsOffDelayMs = b[17];
    s.reserved18[0] = b[18];
    s.reserved18[1] = b[19];
    return s;
}

bool PortTable::GetPortSettings(int port, std::uint8_t& protocol, pomrel::PortSettings& settings) const
{
    const auto p = static_cast<std::uint8_t>(port);
    if (p < 1 || p > kPorts)
        return false;
    protocol = entries_[p - 1].protocol;
    settings = entries_[p - 1].settings;
    return true;
}

void PortTable::SetPortSettings(int port, std::uint8_t protocol, const pomrel::PortSettings& settings)
{
    if (port < 1 || port > kPorts)
        return;
    entries_[static_cast<std::size_t>(port - 1)] = {protocol, settings};
}

std::string PortTable::DefaultPortPath(int port)
{
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

std::string PortTable::PortPath(int port) const
{
    const auto it = paths_.find(port);
    return it != paths_.end() ? it->second : DefaultPortPath(port);
}

void PortTable::SetPortPath(int port, const std::string& path)
{
    if (port < 1 || port > kPorts || path.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return;
    if (path.empty() || path == DefaultPortPath(port))
        paths_.erase(port);
    else
        paths_[port] = path;
}

void PortTable::ReadPortPaths(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string number = Trim(std::string_view(line).substr(0, eq));
        const std::string path = Trim(std::string_view(line).substr(eq + 1));
        int port = 0;
        const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), port);
        if (ec != std::errc() || end != number.data() + number.size() || port < 1 || port > kPorts || path.empty())
            continue;
        SetPortPath(port, path);
    }
}

std::string PortTable::PortPathsText() const
{
    std::string text = "# Kelvaro64 serial ports: one PORT=DEVICE line per port that does not use its default device\n";
    for (const auto& [port, path] : paths_)
        text += std::to_string(port) + "=" + path + "\n";
    return text;
}
