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
#include "automation/FaultAutomation.h"
#include "automation/ServerAutomation.h"
#include "automation/StatsAutomation.h"
#include "faults/FaultBook.h"
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
    auto* child = new CChildFrame(std::move(doc), *mainFrame);
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
    auto methods = std::make_unique<DocumentAutomation>(openDocuments_, *engine_);
    auto registry = std::make_shared<MethodRegistry>();
    RegisterDocumentMethods(*registry, *methods, [this] { NewDocument(); });
    RegisterFaultMethods(*registry, *faultMethods_);
    RegisterServerMethods(*registry, *serverMethods_);
    RegisterCaptureMethods(*registry, *captureMethods_);
    RegisterStatsMethods(*registry, *engine_, [this](bool on) { learn_->SetOn(on); });
    auto server = std::make_unique<AutomationServer>(std::move(registry));
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
    automationMethods_ = std::move(methods);
    automationServer_ = std::move(server);
    return true;
}

void CKelvaro32App::StopAutomationServer()
{
    automationServer_.reset();
    automationMethods_.reset();
}

bool CKelvaro32App::LoadScenario(const std::string& path, std::string& error)
{
    if (!mainFrame) {
        error = "the program is not running yet";
        return false;
    }
    return ApplySetupExtrasFile(*mainFrame, path, error);
}
