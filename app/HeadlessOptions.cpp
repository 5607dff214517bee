#include "app/HeadlessOptions.h"

#include <charconv>
#include <string>

namespace {
std::optional<int> ParsePort(const std::string& text)
{
    int value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535)
        return std::nullopt;
    return value;
}
// "4096", "64K", "10M", "1G" (powers of 1024); at least 4K, at most 1T.
std::optional<std::uint64_t> ParseSize(const std::string& text)
{
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc())
        return std::nullopt;
    const std::string suffix(end, text.data() + text.size());
    const int shift = suffix.empty() ? 0 : suffix == "K" ? 10 : suffix == "M" ? 20 : suffix == "G" ? 30 : -1;
    if (shift < 0 || value > (std::uint64_t{1} << 40) >> shift)
        return std::nullopt;
    value <<= shift;
    if (value < 4096)
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
        auto countValue = [&](std::optional<std::uint32_t>& target, std::uint32_t low, std::uint32_t high) {
            if (i + 1 >= args.size()) {
                o.error = a + " needs a number";
                return;
            }
            const std::string& text = args[++i];
            std::uint32_t value = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
                o.error = a + ": not a number from " + std::to_string(low) + " to " + std::to_string(high) + ": " + text;
            else
                target = value;
        };
        if (a == "--help" || a == "-h") o.help = true;
        else if (a == "--version" || a == "-V") o.version = true;
        else if (a == "--save") o.save = true;
        else if (a == "--no-save") o.save = false;
        else if (a == "--tcp-port") portValue(o.tcpPort);
        else if (a == "--automation-port") portValue(o.automationPort);
        else if (a == "--http-port") portValue(o.httpPort);
        else if (a == "--metrics-address") {
            std::string why;
            if (i + 1 >= args.size())
                o.error = a + " needs ADDRESS[:PORT]";
            else if (!(o.metricsAddress = web::ParseListenAddress(args[++i], why)))
                o.error = a + ": " + why;
        }
        else if (a == "--max-connections") countValue(o.maxConnections, 1, 1000000);
        else if (a == "--request-timeout-ms") countValue(o.requestTimeoutMs, 0, 3600000);
        else if (a == "--udp-port") portValue(o.udpPort);
        else if (a == "--rtu-over-tcp-port") portValue(o.rtuOverTcpPort);
        else if (a == "--tls-port") portValue(o.tlsPort);
        else if (a == "--tls-cert" || a == "--tls-key" || a == "--tls-ca") {
            std::string& target = a == "--tls-cert" ? o.tlsCert : a == "--tls-key" ? o.tlsKey : o.tlsCa;
            if (i + 1 >= args.size() || args[i + 1].empty())
                o.error = a + " needs a file";
            else
                target = args[++i];
        }
        else if (a == "--learn") o.learn = true;
        else if (a == "--access-report") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                o.error = a + " needs a file";
            else
                o.accessReport = args[++i];
        }
        else if (a == "--capture" || a == "--traffic-log") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                o.error = a + " needs a file";
            else
                (a == "--capture" ? o.capture : o.trafficLog) = args[++i];
        }
        else if (a == "--traffic-log-rotate") {
            auto size = i + 1 < args.size() ? ParseSize(args[i + 1]) : std::nullopt;
            if (!size)
                o.error = a + " needs a size of at least 4K (bytes, or with K, M or G)";
            else
                o.trafficLogRotateBytes = *size;
            ++i;
        }
        else if (a == "--scenario") {
            if (i + 1 >= args.size())
                o.error = a + " needs a file";
            else
                o.scenario = args[++i];
        }
        else if (a.size() > 1 && a[0] == '-' && a != "-") o.error = "unknown option " + a;
        else o.files.push_back(a);
        if (!o.error.empty())
            break;
    }
    // A TLS server cannot start without its certificate and key, and those say nothing alone.
    if (o.error.empty() && o.tlsPort && (o.tlsCert.empty() || o.tlsKey.empty()))
        o.error = "--tls-port needs --tls-cert FILE and --tls-key FILE";
    if (o.error.empty() && !o.tlsPort && !(o.tlsCert + o.tlsKey + o.tlsCa).empty())
        o.error = "--tls-cert, --tls-key and --tls-ca need --tls-port";
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
           "  --http-port N         HTTP on 127.0.0.1 and [::1] port N (JSON-RPC at /rpc, point\n"
           "                        values at /points, /health, /metrics; see docs/http.md);\n"
           "                        default KELVARO64_HTTP_PORT, else off; 0 turns it off\n"
           "  --metrics-address ADDRESS[:PORT]  serve only /metrics and /health, to anyone, on\n"
           "                        ADDRESS (IPv4, or IPv6 in brackets) and PORT (default 9502)\n"
           "  --scenario FILE       load set-up extras (JSON, see docs/extras.md) after the set-up\n"
           "  --capture FILE        write every frame of every link to a pcapng capture\n"
           "                        (Wireshark, tshark) until the program ends\n"
           "  --traffic-log FILE    write every frame as one JSON object per line\n"
           "  --traffic-log-rotate SIZE  rotate the traffic log at SIZE bytes (K, M or G;\n"
           "                        at least 4K): FILE.jsonl becomes FILE.1.jsonl, that one\n"
           "                        FILE.2.jsonl ... (FILE without a dot: FILE.1), five kept\n"
           "  --learn               serve what masters ask for that nothing serves: a new\n"
           "                        data window per unit and point type (\"learnt: ...\")\n"
           "  --access-report FILE  write each point's reads, writes and last writer and the\n"
           "                        requests nothing served to FILE (JSON) at exit\n"
           "  --udp-port N          open a Modbus/UDP server on port N\n"
           "  --rtu-over-tcp-port N open an RTU over TCP server on port N\n"
           "  --tls-port N          open a Modbus/TCP Security (TLS) server on port N; needs\n"
           "                        --tls-cert FILE and --tls-key FILE (PEM)\n"
           "  --tls-cert FILE       the TLS server's certificate\n"
           "  --tls-key FILE        the TLS server's private key\n"
           "  --tls-ca FILE         CA that client certificates must chain to (mutual TLS)\n"
           "  --max-connections N   Modbus/TCP masters served at once (default 2048, fewer when\n"
           "                        open files are limited); when full, the one idle longest goes\n"
           "  --request-timeout-ms N  close a Modbus/TCP connection whose request stays incomplete\n"
           "                        this long (default 5000; 0 never)\n"
           "  --save                write the settings files at exit (default: leave them);\n"
           "                        one that cannot be written makes the exit status 1\n"
           "  --no-save             leave the settings files untouched\n"
           "  --help                this text\n"
           "  --version             the package version, the About box's and the licence\n"
           "\n"
           "A port named by --tcp-port, --udp-port, --rtu-over-tcp-port, --tls-port,\n"
           "--automation-port or --http-port (other than 0), or a --metrics-address, that\n"
           "cannot be opened ends the run with status 1.\n"
           "Exit status: 0 ended by SIGTERM or SIGINT; 1 start-up failed, a named port could\n"
           "not be opened, or --save could not write a settings file; 2 a bad option.\n";
}
