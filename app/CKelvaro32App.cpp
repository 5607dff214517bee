#include "app/CKelvaro32App.h"

#include "app/CChildFrame.h"
#include "app/CMainFrame.h"
#include "app/CommandLine.h"
#include "app/LearnMode.h"
#include "app/TestConfig.h"
#include "automation/Automation.h"
#include "automation/AutomationServer.h"
#include "document/CKelvaro32Doc.h"
#include "document/IniDefaults.h"
#include "automation/CaptureAutomation.h"
#include "automation/BehaviourAutomation.h"
#include "automation/FaultAutomation.h"
#include "behaviour/BehaviourBook.h"
#include "behaviour/DocumentPoints.h"
#include "automation/ServerAutomation.h"
#include "automation/StatsAutomation.h"
#include "faults/FaultBook.h"
#include "http/HttpAddress.h"
#include "http/HttpServer.h"
#include "http/MetricsSources.h"
#include "monitor/TrafficTap.h"
#include "servers/NetworkServers.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QMdiArea>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

CKelvaro32App::CKelvaro32App(AppOptions options)
    : options_(std::move(options)), engine_(std::make_unique<pomrel::ProtocolEngine>()),
      faults_(std::make_unique<faults::FaultBook>(*engine_)),
      behaviourPoints_(std::make_unique<behaviour::DocumentPoints>(openDocuments_)),
      behaviour_(std::make_unique<behaviour::BehaviourBook>(*engine_, *behaviourPoints_)),
      behaviourMethods_(std::make_unique<BehaviourAutomation>(*behaviour_)),
      servers_(std::make_unique<servers::NetworkServers>(*engine_)),
      faultMethods_(std::make_unique<FaultAutomation>(
          *faults_, [this](const std::string& path, std::string& error) { return LoadScenario(path, error); })),
      serverMethods_(std::make_unique<ServerAutomation>(*servers_))
{
    tap_ = std::make_unique<monitor::TrafficTap>(*engine_);
    captureMethods_ = std::make_unique<CaptureAutomation>(*tap_);
    learn_ = std::make_unique<LearnMode>(*this);
    // A server that does not open is never silent; the dialog shows it too.
    servers_->onOpenAttempt = [](const servers::NetworkServers::Entry& e) {
        if (!e.Open())
            std::fprintf(stderr, "%s: %s\n", servers::NetworkServers::Title(e).c_str(), e.error.c_str());
    };
}

CKelvaro32App::~CKelvaro32App()
{
    Shutdown();
    // Its thread stops, and it lets go of the engine's write feed, before the engine goes.
    behaviourMethods_.reset();
    behaviour_.reset();
    learn_.reset();
    captureMethods_.reset();  // the files closed whole, with every frame up to here
    tap_.reset();
    engine_.reset();
}

std::string CKelvaro32App::IniPath() const
{
    return IniPathBesideExecutable(options_.executablePath);
}

bool CKelvaro32App::InitInstance(const std::vector<std::string>& args)
{
    // "Courier" means the same fixed-pitch face on every machine, whatever fonts are installed.
    QFont::insertSubstitutions("Courier", {"DejaVu Sans Mono", "Liberation Mono", "Courier New"});

    mainFrameOwner_ = std::make_unique<CMainFrame>(*this);
    if (!mainFrameOwner_->Create())
        return false;
    // The desktop program's HTTP door comes from the environment; kelvaro64-headless opens its
    // own from its command line.
    if (!options_.headless)
        StartHttpServer(std::nullopt, std::nullopt);

    const StartRequest request = ParseCommandLine(args);
    if (request.automation) {
        hidden_ = true;
        // Hidden and unreachable would run for ever: only an explicit port 0 keeps it.
        return StartAutomationServer() || AutomationSwitchedOff();
    }
    if (!options_.headless) {
        mainFrameOwner_->resize(900, 640);
        mainFrameOwner_->show();
        mainFrameOwner_->repaint();
    }
    if (!request.testConfigPath.empty())
        RestoreTestConfig(*mainFrameOwner_, request.testConfigPath);
    // A port named on kelvaro64-headless's command line must open, or the run ends.
    return StartAutomationServer() || !AutomationPortNamed();
}

void CKelvaro32App::Shutdown()
{
    StopHttpServer();
    StopAutomationServer();
    if (!mainFrameOwner_)
        return;
    for (CChildFrame* child : mainFrameOwner_->Children())
        delete child;
    mainFrameOwner_->CloseAllConnections();
    servers_->CloseAll();
    if (options_.saveSettings)
        settingsFailures_ = mainFrameOwner_->SaveSettings();
    mainFrameOwner_.reset();
    // Lost settings are never silent: the original saved without a word, even when it failed.
    if (!settingsFailures_.empty() && !options_.headless) {
        QString text = "The settings could not be saved:";
        for (const FileFailure& f : settingsFailures_)
            text += QString("\n%1: %2").arg(QString::fromStdString(f.path), QString::fromStdString(f.reason));
        if (hidden_)
            std::fprintf(stderr, "Kelvaro64: %s\n", text.toLocal8Bit().constData());
        else
            QMessageBox::warning(nullptr, "Kelvaro64", text);
    }
}

void CKelvaro32App::RequestQuit()
{
    quitRequested_ = true;
    QCoreApplication::quit();
}

CChildFrame* CKelvaro32App::CreateDocumentWindow(const std::string& title, bool activate)
{
    DocumentContext context;
    context.openDocuments = &openDocuments_;
    context.iniPath = IniPath();
    context.defaults = mainFrame ? &mainFrame->Look() : nullptr;
    auto doc = std::make_unique<CKelvaro32Doc>(context);
    doc->title = title;
    // A headless window is made inside the main frame at once: given its parent later, the
    // sub-window would lay out its title bar for it (2 kB a window, never shown).
    auto* child = new CChildFrame(std::move(doc), *mainFrame, options_.headless ? mainFrame : nullptr);
    if (mainFrame)
        mainFrame->AddChild(child, activate);
    return child;
}

CKelvaro32Doc* CKelvaro32App::NewDocument()
{
    CChildFrame* child = CreateDocumentWindow("Kelvaro" + std::to_string(++untitledCount_));
    child->Document()->SetupViews();
    return child->Document();
}

// ---- Automation -------------------------------------------------------------------------------

namespace {

std::optional<int> ConfiguredPort(const AppOptions& options, std::string& error)
{
    return ResolveAutomationPort(options.automationPort, std::getenv("KELVARO64_AUTOMATION_PORT"), error);
}

} // namespace

bool CKelvaro32App::AutomationPortNamed() const
{
    return options_.headless && options_.automationPort && *options_.automationPort != 0;
}

bool CKelvaro32App::AutomationSwitchedOff() const
{
    std::string error;
    return ConfiguredPort(options_, error) == 0;
}

bool CKelvaro32App::StartAutomationServer()
{
    StopAutomationServer();
    // A hidden start has nothing else to do: it ends instead of running unreachable.
    const char* consequence = hidden_ ? "ending" : "running without automation";
    std::string error;
    const std::optional<int> port = ConfiguredPort(options_, error);
    if (!port) {
        std::fprintf(stderr, "kelvaro64: %s; %s\n", error.c_str(), consequence);
        return false;
    }
    if (*port == 0)
        return false;
    if (*port < 0 || *port > 65535) {
        std::fprintf(stderr, "kelvaro64: automation port %d is not a port number; %s\n", *port, consequence);
        return false;
    }
    auto server = std::make_unique<AutomationServer>(Methods());
    if (!server->Listen(static_cast<quint16>(*port))) {
        if (AutomationPortNamed()) {
            std::fprintf(stderr, "kelvaro64-headless: --automation-port %d: cannot open the port on 127.0.0.1: %s\n",
                         *port, server->ErrorString().toLocal8Bit().constData());
            return false;
        }
        std::fprintf(stderr, "kelvaro64: automation port %d on 127.0.0.1 is not available (%s); %s\n", *port,
                     server->ErrorString().toLocal8Bit().constData(), consequence);
        return false;
    }
    if (options_.headless) {
        // Scripts wait for this line before they call.
        std::printf("automation: 127.0.0.1:%u\n", static_cast<unsigned>(server->Port()));
        std::fflush(stdout);
    }
    if (hidden_) {
        // Started for a client: the last client leaving ends the program. exit(), not quit():
        // nothing may ask the user anything in a window nobody sees.
        QObject::connect(server.get(), &AutomationServer::LastConnectionClosed, qApp,
                         [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    }
    automationServer_ = std::move(server);
    return true;
}

void CKelvaro32App::StopAutomationServer()
{
    automationServer_.reset();
}

std::shared_ptr<const MethodRegistry> CKelvaro32App::Methods()
{
    if (methods_)
        return methods_;
    automationMethods_ = std::make_unique<DocumentAutomation>(openDocuments_, *engine_);
    auto registry = std::make_shared<MethodRegistry>();
    RegisterDocumentMethods(*registry, *automationMethods_, [this] { NewDocument(); });
    RegisterFaultMethods(*registry, *faultMethods_);
    RegisterBehaviourMethods(*registry, *behaviourMethods_);
    RegisterServerMethods(*registry, *serverMethods_);
    RegisterCaptureMethods(*registry, *captureMethods_);
    RegisterStatsMethods(*registry, *engine_, [this](bool on) { learn_->SetOn(on); });
    methods_ = std::move(registry);
    return methods_;
}

// ---- HTTP -------------------------------------------------------------------------------------

bool CKelvaro32App::StartHttpServer(std::optional<int> port, const std::optional<web::ListenAddress>& metrics)
{
    StopHttpServer();
    std::string error;
    const std::optional<int> wanted = web::ResolveHttpPort(port, std::getenv("KELVARO64_HTTP_PORT"), error);
    if (!wanted) {
        std::fprintf(stderr, "kelvaro64: %s; running without HTTP\n", error.c_str());
        return false;
    }
    if (*wanted == 0 && !metrics)
        return false;
    HttpSources sources;
    sources.methods = Methods();
    sources.metrics = [this] {
        web::MetricsSources from;
        from.engine = engine_.get();
        from.connections = mainFrame ? &mainFrame->Connections() : nullptr;
        from.servers = servers_.get();
        from.faults = faults_.get();
        from.behaviour = behaviour_.get();
        from.documents = openDocuments_.Size();
        return web::CollectMetrics(from);
    };
    sources.servers = [this] { return serverMethods_->ListServers().value; };
    sources.documents = [this] { return openDocuments_.Size(); };
    auto server = std::make_unique<HttpServer>(std::move(sources));
    const char* program = options_.headless ? "kelvaro64-headless" : "kelvaro64";
    if (*wanted != 0) {
        if (!server->Listen(static_cast<std::uint16_t>(*wanted), error)) {
            std::fprintf(stderr, "%s: HTTP port %d: %s\n", program, *wanted, error.c_str());
            return false;
        }
        if (options_.headless) {
            // Scripts wait for this line before they call.
            std::printf("http: 127.0.0.1:%u\n", static_cast<unsigned>(server->Port()));
            std::fflush(stdout);
        }
    }
    if (metrics) {
        if (!server->ListenMetrics(*metrics, error)) {
            std::fprintf(stderr, "%s: metrics address %s: %s\n", program, web::FormatListenAddress(*metrics).c_str(),
                         error.c_str());
            return false;
        }
        if (options_.headless) {
            web::ListenAddress bound = *metrics;
            bound.port = server->MetricsPort();
            std::printf("metrics: %s\n", web::FormatListenAddress(bound).c_str());
            std::fflush(stdout);
        }
    }
    httpServer_ = std::move(server);
    return true;
}

void CKelvaro32App::StopHttpServer()
{
    httpServer_.reset();
}

bool CKelvaro32App::LoadScenario(const std::string& path, std::string& error)
{
    if (!mainFrame) {
        error = "the program is not running yet";
        return false;
    }
    return ApplySetupExtrasFile(*mainFrame, path, error);
}
