#include "connections/ComSettings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

namespace {

constexpr ChoiceEntry kBaudRates[] = {
    {"110", 110},     {"300", 300},       {"600", 600},       {"1200", 1200},     {"2400", 2400},
    {"4800", 4800},   {"9600", 9600},     {"14400", 14400},   {"19200", 19200},   {"38400", 38400},
    {"56000", 56000}, {"57600", 57600},   {"115200", 115200}, {"128000", 128000}, {"256000", 256000},
};
constexpr ChoiceEntry kDataBits[] = {{"7", 7}, {"8", 8}};
constexpr ChoiceEntry kStopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};
constexpr ChoiceEntry kParity[] = {{"ODD", 1}, {"EVEN", 2}, {"NONE", 0}};

std::string Trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool SameText(const std::string& a, const char* b)
{
    const std::string bs(b);
    return a.size() == bs.size() && std::equal(a.begin(), a.end(), bs.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

} // namespace

std::span<const ChoiceEntry> BaudRateChoices() { return kBaudRates; }
std::span<const ChoiceEntry> DataBitsChoices() { return kDataBits; }
std::span<const ChoiceEntry> StopBitsChoices() { return kStopBits; }
std::span<const ChoiceEntry> ParityChoices() { return kParity; }

int ChoiceIndex(std::span<const ChoiceEntry> choices, std::uint32_t value)
{
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (choices[i].value == value)
            return static_cast<int>(i);
    return -1;
}

std::uint32_t ChoiceValue(std::span<const ChoiceEntry> choices, const std::string& text, std::uint32_t held)
{
    const std::string t = Trimmed(text);
    for (const auto& c : choices)
        if (SameText(t, c.text))
            return c.value;
    return held;
}

ComSettings ComSettingsFor(const PortTable& table, int port, bool anySerialOpen, std::int32_t enronMode)
{
    ComSettings v;
    std::uint8_t protocol = kProtocolRtu;
    pomrel::PortSettings s;
    table.GetPortSettings(port, protocol, s);
    v.port = port;
    v.baudRate = s.baudRate;
    v.dataBits = s.dataBits;
    v.stopBits = s.stopBits;
    v.parity = s.parity;
    v.rtu = (protocol & kProtocolModeMask) == 1;
    if (anySerialOpen) {
        v.enron = enronMode != 0;
        v.enronLocked = true;
    } else {
        v.enron = (protocol & kProtocolEnron) != 0;
    }
    v.waitCts = s.waitCts != 0;
    v.waitDtr = s.waitDtr != 0;
    v.rtsOnDelay = s.rtsOnDelayMs;
    v.rtsOffDelay = s.rtsOffDelayMs;
    v.devicePath = table.PortPath(port);
    return v;
}

void StoreComSettings(PortTable& table, const ComSettings& v)
{
    std::uint8_t protocol = kProtocolRtu;
    pomrel::PortSettings s;
    if (!table.GetPortSettings(v.port, protocol, s))
        return;
    s.baudRate = v.baudRate;
    s.dataBits = v.dataBits;
    s.parity = v.parity;
    s.stopBits = v.stopBits;
    s.waitCts = v.waitCts ? 1 : 0;
    s.waitDtr = v.waitDtr ? 1 : 0;
    // The dialog refuses other delays; the clamp only keeps a caller's mistake in the byte.
    s.rtsOnDelayMs = static_cast<std::uint8_t>(std::clamp(v.rtsOnDelay, 0, 100));
    s.rtsOffDelayMs = static_cast<std::uint8_t>(std::clamp(v.rtsOffDelay, 0, 100));
    protocol = static_cast<std::uint8_t>((v.rtu ? 1 : 0) + (v.enron ? kProtocolEnron : 0));
    table.SetPortSettings(v.port, protocol, s);
    table.SetPortPath(v.port, v.devicePath);
}

std::optional<std::int64_t> ParseFieldInteger(const std::string& text)
{
    std::string t = Trimmed(text);
    if (!t.empty() && t.front() == '+')
        t.erase(0, 1);
    if (t.empty())
        return std::nullopt;
    std::int64_t value = 0;
    const char* first = t.data();
    const char* last = t.data() + t.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (end != last)
        return std::nullopt;
    if (ec == std::errc::result_out_of_range)
        return t.front() == '-' ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    if (ec != std::errc())
        return std::nullopt;
    return value;
}

FieldCheck CheckIntegerField(const std::string& text, std::int64_t lo, std::int64_t hi)
{
    FieldCheck r;
    const auto v = ParseFieldInteger(text);
    if (!v) {
        r.message = "Enter an integer.";
    } else if (*v < lo || *v > hi) {
        r.message = "Enter an integer between " + std::to_string(lo) + " and " + std::to_string(hi) + ".";
    } else {
        r.ok = true;
        r.value = *v;
    }
    return r;
}

std::string ServicePortText(std::uint16_t port)
{
    return std::to_string(static_cast<std::int16_t>(port));
}

FieldCheck CheckServicePortField(const std::string& text)
{
    FieldCheck r = CheckIntegerField(text, -32768, 65535);
    if (r.ok)
        r.value = static_cast<std::uint16_t>(r.value);
    return r;
}
