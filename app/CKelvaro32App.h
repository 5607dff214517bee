// The application object: owns the engine, the open documents, the alias table, the service
// port and the main frame, and carries out start-up.
#pragma once

#include "app/SettingsStore.h"
#include "document/AliasTable.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AutomationServer;
class HttpServer;
class MethodRegistry;
namespace web { struct ListenAddress; }
namespace faults { class FaultBook; }
namespace behaviour { class BehaviourBook; class DocumentPoints; }
class BehaviourAutomation;
namespace servers { class NetworkServers; }
class DocumentAutomation;
class FaultAutomation;
class CaptureAutomation;
class LearnMode;
namespace monitor { class TrafficTap; }
class ServerAutomation;
class CMainFrame;
class CKelvaro32Doc;
class CChildFrame;

struct AppOptions {
    bool headless = false;          // main window never shown
    bool saveSettings = true;       // write the settings files at exit
    std::string settingsFolder;     // empty: "Orvane" under the user's configuration folder
    std::string executablePath;     // Kelvaro32.ini and the manual lie beside it
    std::optional<int> automationPort;  // overrides KELVARO64_AUTOMATION_PORT / 8502; 0 = off
};

class CKelvaro32App {
public:
    explicit CKelvaro32App(AppOptions options);
    ~CKelvaro32App();

    /// Start-up in order: main frame (reads the settings files), its window, then — unless the
    /// command line asks for the hidden automation server — show it and restore the named file.
    bool InitInstance(const std::vector<std::string>& args);
    /// Closes every document without asking, then the main frame (connections, settings). The
    /// desktop program tells the user once, in a message box, of settings it could not write
    /// (hidden or headless: on stderr, see SettingsFailures).
    void Shutdown();

    pomrel::ProtocolEngine& Engine() { return *engine_; }
    OpenDocuments& Documents() { return openDocuments_; }
    AliasTable& Aliases() { return aliases_; }
    /// The fault rules in force (Tools > Fault Injection, automation, --scenario, set-ups).
    faults::FaultBook& Faults() { return *faults_; }
    /// The generators, reactions and scripts in force (set-ups, --scenario, automation, Tools >
    /// Behaviour); their points are found in the open documents.
    behaviour::BehaviourBook& Behaviour() { return *behaviour_; }
    /// Every frame of every link, decoded, for whoever listens (the traffic monitor, captures, logs).
    monitor::TrafficTap& Tap() { return *tap_; }
    /// The capture and the JSON Lines log of automation and the headless options.
    CaptureAutomation& Captures() { return *captureMethods_; }
    /// Tools > Learn, --learn, SetLearn.
    LearnMode& Learn() { return *learn_; }
    /// The network servers and device identities (Tools > Network Servers, automation, headless
    /// options, set-ups).
    servers::NetworkServers& Servers() { return *servers_; }
    /// A scenario file (`kelvaro64-headless --scenario`, LoadScenario, Tools > Fault Injection >
    /// Load): a set-up extras file put in force whole, so its fault rules replace those in force
    /// (and its generators, reactions and scripts, when it has any of them, those in force).
    /// False with the reason when the file is refused; nothing changes then.
    bool LoadScenario(const std::string& path, std::string& error);
    const AppOptions& Options() const { return options_; }
    std::string IniPath() const;
    bool StartedHidden() const { return hidden_; }
    /// Ends the run through the event loop (SIGTERM and SIGINT of the headless program); long
    /// work under way, such as a restore, sees QuitRequested() and stops.
    void RequestQuit();
    bool QuitRequested() const { return quitRequested_; }

    /// Modbus/TCP service port (persisted in the settings file).
    std::uint16_t servicePort = 502;
    /// Set while servicePort is a port for this run only (kelvaro64-headless --tcp-port): the
    /// port the settings file holds, and the one saved.
    std::optional<std::uint16_t> settingsServicePort;
    /// The settings files the last Shutdown could not write, with why.
    const std::vector<FileFailure>& SettingsFailures() const { return settingsFailures_; }
    /// Set by the main frame's constructor; never cleared afterwards.
    CMainFrame* mainFrame = nullptr;

    /// File New: a document with its child frame and view, header set up and block registered.
    /// Only this takes an untitled number ("Kelvaro1", "Kelvaro2", ...).
    CKelvaro32Doc* NewDocument();
    /// A document titled `title` with its window but before its block is set up (open, restore).
    CChildFrame* CreateDocumentWindow(const std::string& title, bool activate = true);

    /// Starts the automation server (port from the options, else KELVARO64_AUTOMATION_PORT,
    /// else 8502). Says on stderr why it does not serve. A hidden start ends the program when
    /// its last client leaves. Returns whether it serves.
    bool StartAutomationServer();
    void StopAutomationServer();
    /// True when the configuration turns automation off (port 0).
    bool AutomationSwitchedOff() const;
    /// True when kelvaro64-headless was given --automation-port other than 0: it must open.
    bool AutomationPortNamed() const;
    /// The running automation server, or null.
    AutomationServer* Automation() const { return automationServer_.get(); }
    /// The automation methods every door serves (the automation port, HTTP), made at first use.
    std::shared_ptr<const MethodRegistry> Methods();

    /// Starts the HTTP doors: the full one on `port` (nullopt: KELVARO64_HTTP_PORT; 0 or
    /// neither: none) and the metrics door on `metrics` if given. Says on stderr why one does not
    /// open; false then, or when nothing was asked.
    bool StartHttpServer(std::optional<int> port, const std::optional<web::ListenAddress>& metrics);
    void StopHttpServer();
    /// The running HTTP doors, or null.
    HttpServer* Http() const { return httpServer_.get(); }

private:
    AppOptions options_;
    std::unique_ptr<pomrel::ProtocolEngine> engine_;
    OpenDocuments openDocuments_;
    AliasTable aliases_;
    std::unique_ptr<faults::FaultBook> faults_;
    std::unique_ptr<behaviour::DocumentPoints> behaviourPoints_;
    std::unique_ptr<behaviour::BehaviourBook> behaviour_;
    std::unique_ptr<BehaviourAutomation> behaviourMethods_;
    std::unique_ptr<servers::NetworkServers> servers_;
    std::unique_ptr<CMainFrame> mainFrameOwner_;
    std::unique_ptr<DocumentAutomation> automationMethods_;
    std::unique_ptr<FaultAutomation> faultMethods_;
    std::unique_ptr<monitor::TrafficTap> tap_;
    std::unique_ptr<CaptureAutomation> captureMethods_;
    std::unique_ptr<ServerAutomation> serverMethods_;
    std::unique_ptr<AutomationServer> automationServer_;
    std::shared_ptr<MethodRegistry> methods_;
    std::unique_ptr<HttpServer> httpServer_;
    std::unique_ptr<LearnMode> learn_;
    bool hidden_ = false;
    int untitledCount_ = 0;
    bool quitRequested_ = false;
    std::vector<FileFailure> settingsFailures_;
};

