#include "app/HeadlessOptions.h"

#include <charconv>

namespace {
std::optional<int> ParsePort(const std::string& text)
{
    int value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535)
        return std::nullopt;
    return value;
}
} // namespace

HeadlessOptions ParseHeadlessOptions(const std::vector<std::string>& args)
{
    HeadlessOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto portValue = [&](std::optional<int>& target) {
            if (i + 1 >= args.size()) {
                o.error = a + " needs a port number";
                return;
            }
            auto port = ParsePort(args[++i]);
            if (!port)
                o.error = a + ": not a port number: " + args[i];
            target = port;
        };
        if (a == "--help" || a == "-h") o.help = true;
        else if (a == "--version" || a == "-V") o.version = true;
        else if (a == "--save") o.save = true;
        else if (a == "--no-save") o.save = false;
        else if (a == "--tcp-port") portValue(o.tcpPort);
        else if (a == "--automation-port") portValue(o.automationPort);
        else if (a.size() > 1 && a[0] == '-' && a != "-") o.error = "unknown option " + a;
        else o.files.push_back(a);
        if (!o.error.empty())
            break;
    }
    return o;
}

const char* HeadlessUsage()
{
    return "Usage: kelvaro64-headless [options] [FILE...]\n"
           "Serves Modbus slave data blocks without a window.\n"
           "A .tst file is restored as a test configuration (connections included);\n"
           "any other file is opened as a document; documents alone are served on Modbus/TCP.\n"
           "Prints one line per connection opened (\"open: ...\") or failed (\"failed: ...\").\n\n"
           "  --tcp-port N          Modbus/TCP service port for this run\n"
           "  --automation-port N   automation (JSON-RPC) port; 0 turns it off\n"
           "  --save                write the settings files at exit (default: leave them)\n"
           "  --no-save             leave the settings files untouched\n"
           "  --help                this text\n"
           "  --version             the version\n";
}
