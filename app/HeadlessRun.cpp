#include "app/HeadlessRun.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/DocumentCommands.h"
#include "app/HeadlessOptions.h"
#include "app/TestConfig.h"
#include "automation/CaptureAutomation.h"
#include "behaviour/BehaviourBook.h"
#include "app/LearnMode.h"
#include "automation/StatsAutomation.h"
#include "document/FileAccess.h"
#include "servers/NetworkServers.h"

#include <QApplication>
#include <QFileInfo>
#include <QHash>
#include <QIcon>
#include <QProxyStyle>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

bool IsTestConfig(const std::string& file)
{
    return QFileInfo(QString::fromStdString(file)).suffix().compare("tst", Qt::CaseInsensitive) == 0;
}

// One line per connection opened or failed, on stdout, at once: scripts wait for them.
void PrintConnection(const ConnectionEvent& e)
{
    if (e.kind == ConnectionEvent::kOpened)
        std::printf("open: %s\n", e.text.c_str());
    else if (e.kind == ConnectionEvent::kOpenFailed)
        std::printf("failed: %s\n", e.text.c_str());
    else
        return;
    std::fflush(stdout);
}

void PrintServer(const servers::NetworkServers::Entry& e)
{
    if (e.Open())
        std::printf("open: %s\n", servers::NetworkServers::Title(e).c_str());
    else
        std::printf("failed: %s: %s\n", servers::NetworkServers::Title(e).c_str(), e.error.c_str());
    std::fflush(stdout);
}

// A port named on the command line that cannot be opened ends the run: a service manager must
// not take a program that serves nothing for a healthy one. Says which option, port and why.
void ReportNamedPortFailure(const char* option, int port, const std::string& reason)
{
    std::fprintf(stderr, "kelvaro64-headless: %s %d: cannot open the port: %s\n", option, port, reason.c_str());
    std::fflush(stderr);
}

// --udp-port, --rtu-over-tcp-port, --tls-port: each the main server of its protocol, in place
// of one the set-up or the scenario opened. False when one of them could not open.
bool OpenServersOfOptions(servers::NetworkServers& network, const HeadlessOptions& options)
{
    struct Wanted {
        std::optional<int> port;
        pomrel::ServerProtocol protocol;
        const char* option;
    };
    const Wanted wanted[] = {
        {options.udpPort, pomrel::ServerProtocol::Udp, "--udp-port"},
        {options.rtuOverTcpPort, pomrel::ServerProtocol::RtuOverTcp, "--rtu-over-tcp-port"},
        {options.tlsPort, pomrel::ServerProtocol::Tls, "--tls-port"},
    };
    bool allOpen = true;
    for (const auto& [port, protocol, option] : wanted) {
        if (!port)
            continue;
        pomrel::ServerEndpoint endpoint;
        endpoint.protocol = protocol;
        endpoint.port = static_cast<std::uint16_t>(*port);
        if (protocol == pomrel::ServerProtocol::Tls) {
            // Whole names in the open: and failed: lines and in a set-up saved later.
            const auto whole = [](const std::string& name) {
                return name.empty() ? name : QFileInfo(QString::fromStdString(name)).absoluteFilePath().toStdString();
            };
            endpoint.tls = {whole(options.tlsCert), whole(options.tlsKey), whole(options.tlsCa), {}};
        }
        const servers::NetworkServers::Entry* entry = network.Find(network.Open(endpoint));
        if (*port != 0 && (!entry || !entry->Open())) {
            ReportNamedPortFailure(option, *port, entry ? entry->error : std::string("cannot open"));
            allOpen = false;
        }
    }
    return allOpen;
}

// The reason of a "Modbus/TCP server (port N): reason" line.
std::string ServerFailureReason(const std::string& text)
{
    const auto at = text.find("): ");
    return at == std::string::npos ? text : text.substr(at + 3);
}

// Why a named file could not be read, for the message: ": not a regular file", or nothing
// when the file itself was readable (its content was refused).
std::string ReadProblem(const std::string& path)
{
    std::string why;
    const int fd = OpenRegularFile(path, &why);
    if (fd >= 0)
        ::close(fd);
    return why.empty() ? why : ": " + why;
}

// The application's style, with each standard icon asked for without an option or a widget
// made once (an icon is implicitly shared: every window then holds the same picture).
class SharedIconStyle : public QProxyStyle {
public:
    QIcon standardIcon(StandardPixmap icon, const QStyleOption* option, const QWidget* widget) const override
    {
        if (option)
            return QProxyStyle::standardIcon(icon, option, widget);
        auto it = icons_.constFind(icon);
        if (it == icons_.constEnd())
            it = icons_.insert(icon, QProxyStyle::standardIcon(icon, nullptr, nullptr));
        return *it;
    }

private:
    mutable QHash<int, QIcon> icons_;
};

} // namespace

std::uint64_t PrintBehaviourLog(const behaviour::BehaviourBook& book, std::uint64_t after, std::FILE* out)
{
    const auto lines = book.LogSince(after);
    for (const auto& line : lines) {
        if (line.source.empty())
            std::fprintf(out, "behaviour: %s\n", line.text.c_str());
        else
            std::fprintf(out, "behaviour: %s: %s\n", line.source.c_str(), line.text.c_str());
        after = line.sequence;
    }
    if (!lines.empty())
        std::fflush(out);
    return after;
}

void ShareStandardIcons()
{
    QApplication::setStyle(new SharedIconStyle);
}

bool StartHeadless(CKelvaro32App& app, const HeadlessOptions& options)
{
    // For this run only: --save keeps the port the settings hold.
    if (options.tcpPort) {
        app.settingsServicePort = app.servicePort;
        app.servicePort = static_cast<std::uint16_t>(*options.tcpPort);
    }
    CMainFrame& frame = *app.mainFrame;
    // The Modbus/TCP server's last failure, for a --tcp-port that could not be opened.
    auto serverFailure = std::make_shared<std::string>();
    frame.Connections().SetListener([serverFailure](const ConnectionEvent& e) {
        if (e.port == 0 && e.kind == ConnectionEvent::kOpenFailed)
            *serverFailure = ServerFailureReason(e.text);
        else if (e.port == 0 && e.kind == ConnectionEvent::kOpened)
            serverFailure->clear();
        PrintConnection(e);
    });
    app.Servers().onOpenAttempt = PrintServer;
    // What scripts log and why a call was stopped, on standard error as it comes. The timer is
    // the main frame's, so it stops before the behaviour book goes.
    auto* behaviourLog = new QTimer(&frame);
    QObject::connect(behaviourLog, &QTimer::timeout, behaviourLog, [&app, last = std::uint64_t{0}]() mutable {
        last = PrintBehaviourLog(app.Behaviour(), last, stderr);
    });
    behaviourLog->start(100);

    // The HTTP doors before the files: a client may watch /health while a long restore runs.
    // A door named on the command line must open, or the run ends.
    const bool httpNamed = (options.httpPort && *options.httpPort != 0) || options.metricsAddress;
    if (!app.StartHttpServer(options.httpPort, options.metricsAddress) && httpNamed)
        return false;

    // From the first frame on: the files are started before any connection opens.
    if (!options.capture.empty()) {
        const CaptureCallResult r = app.Captures().StartCapture(options.capture);
        if (r.status != 0) {
            std::fprintf(stderr, "kelvaro64-headless: cannot capture: %s\n", r.message.c_str());
            return false;
        }
    }
    if (!options.trafficLog.empty()) {
        const CaptureCallResult r = app.Captures().StartTrafficLog(options.trafficLog, options.trafficLogRotateBytes);
        if (r.status != 0) {
            std::fprintf(stderr, "kelvaro64-headless: cannot write the traffic log: %s\n", r.message.c_str());
            return false;
        }
    }
    // Said whether learning came on here or later through SetLearn.
    app.Learn().onLearnt = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    if (options.learn)
        app.Learn().SetOn(true);
    bool anyTestConfig = false;
    bool anything = options.files.empty();
    for (const auto& file : options.files) {
        if (app.QuitRequested())
            return true;   // ending: the exit code is that of the orderly end
        if (IsTestConfig(file)) {
            anyTestConfig = true;
            if (RestoreTestConfig(frame, file)) {
                anything = true;
                if (!app.QuitRequested()) {
                    std::printf("restored: %s (%zu documents open)\n", file.c_str(), app.Documents().Size());
                    std::fflush(stdout);
                }
            } else {
                std::fprintf(stderr, "kelvaro64-headless: cannot restore %s%s\n", file.c_str(), ReadProblem(file).c_str());
            }
        } else if (OpenDocumentFile(frame, file, nullptr)) {
            anything = true;
        } else {
            std::fprintf(stderr, "kelvaro64-headless: cannot open %s%s\n", file.c_str(), ReadProblem(file).c_str());
        }
    }
    // Extras named on the command line replace the set-up's; single options win over both.
    // Servers already open take the new limits at once.
    if (!options.scenario.empty() && !LoadSetupExtras(frame, options.scenario))
        return false;
    if (options.maxConnections || options.requestTimeoutMs) {
        pomrel::TcpLimits limits = app.Engine().GetTcpLimits();
        limits.maxConnections = options.maxConnections.value_or(limits.maxConnections);
        limits.requestTimeoutMs = options.requestTimeoutMs.value_or(limits.requestTimeoutMs);
        app.Engine().SetTcpLimits(limits);
    }
    bool portsOpen = OpenServersOfOptions(app.Servers(), options);
    // Documents alone would be served to nobody: without a set-up, serve them on Modbus/TCP.
    if (!anyTestConfig && !app.Documents().Empty() && !frame.Connections().IsServerOpen())
        frame.Connections().OpenServer(app.servicePort);
    if (options.tcpPort && *options.tcpPort != 0 && !frame.Connections().IsServerOpen() && !serverFailure->empty()) {
        ReportNamedPortFailure("--tcp-port", *options.tcpPort, *serverFailure);
        portsOpen = false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return anything && portsOpen;
}

bool StopHeadlessRecording(CKelvaro32App& app)
{
    bool ok = true;
    auto report = [&ok](const char* what, const CaptureCallResult& r) {
        if (r.status != 0) {
            std::fprintf(stderr, "kelvaro64-headless: %s: %s\n", what, r.message.c_str());
            ok = false;
        } else if (r.value.contains("packets")) {
            std::printf("%s: %s, %llu packets, %llu frame records dropped\n", what,
                        r.value["path"].get<std::string>().c_str(), r.value["packets"].get<unsigned long long>(),
                        r.value["dropped"].get<unsigned long long>());
        } else {
            std::printf("%s: %s, %llu frame records dropped\n", what, r.value["path"].get<std::string>().c_str(),
                        r.value["dropped"].get<unsigned long long>());
        }
    };
    if (app.Captures().Capturing())
        report("capture", app.Captures().StopCapture());
    if (app.Captures().Logging())
        report("traffic log", app.Captures().StopTrafficLog());
    std::fflush(stdout);
    return ok;
}

bool WriteAccessReport(CKelvaro32App& app, const std::string& path)
{
    const std::string text = AccessReport(app.Engine()).dump(2) + "\n";
    std::string why;
    if (!WriteFileAtomically(path, std::vector<std::uint8_t>(text.begin(), text.end()), &why)) {
        std::fprintf(stderr, "kelvaro64-headless: --access-report %s: %s\n", path.c_str(), why.c_str());
        return false;
    }
    return true;
}
