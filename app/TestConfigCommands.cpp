// Save Test Config and Restore Test Config: the file of app/TestConfig.h put to work on the open
// documents, the connections and the alias table.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/DocumentCommands.h"
#include "app/FileDialogs.h"
#include "app/SetupExtras.h"
#include "behaviour/BehaviourBook.h"
#include "faults/FaultBook.h"
#include "servers/NetworkServers.h"
#include "app/SubsystemCommands.h"
#include "app/TestConfig.h"
#include "document/FileAccess.h"
#include "document/CKelvaro32Doc.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>

#include <algorithm>
#include <climits>
#include <memory>
#include <cstdio>

namespace {

void Report(CMainFrame& frame, const QString& text)
{
    if (frame.App().Options().headless) {
        std::fprintf(stderr, "kelvaro64-headless: %s\n", text.toLocal8Bit().constData());
        return;
    }
    QMessageBox::warning(&frame, "Kelvaro64", text);
}

// The commands make the folder of the executable the current one: relative document names of
// a test configuration resolve from there, and a file dialog with no folder of its own yet
// starts there.
void EnterInstallationFolder(CMainFrame& frame)
{
    const QString folder = QFileInfo(QString::fromStdString(frame.App().Options().executablePath)).absolutePath();
    if (QFileInfo(folder).isDir())
        QDir::setCurrent(folder);
}

// A relative name that does not resolve from the current folder is looked up beside the test
// configuration, so that a set-up and its documents can move together (the examples do).
std::string ResolveDocumentName(const std::string& name, const QString& testConfigFolder)
{
    if (name.empty())
        return name;
    const QFileInfo info(QString::fromStdString(name));
    if (info.isAbsolute() || info.exists())
        return name;
    const QString beside = QDir(testConfigFolder).filePath(QString::fromStdString(name));
    return QFileInfo::exists(beside) ? beside.toStdString() : name;
}

CChildFrame* ChildOf(CMainFrame& frame, const CKelvaro32Doc* doc)
{
    const QList<CChildFrame*> children = frame.Children();
    // A restore asks after each document it opens: the window made last, found without a search.
    if (!children.isEmpty() && children.back()->Document() == doc)
        return children.back();
    for (CChildFrame* child : children)
        if (child->Document() == doc)
            return child;
    return nullptr;
}

QString ChooseFile(CMainFrame& frame, bool save)
{
    FileQuestion question;
    question.kind = FileKind::TestConfig;
    question.save = save;
    question.caption = save ? "Save As" : "Open";
    question.initialName = "*.tst";
    return AskForFile(frame, question);
}

// The extras in force: only what differs from the defaults is kept.
SetupExtras CurrentExtras(CMainFrame& frame)
{
    SetupExtras extras;
    const pomrel::TcpLimits limits = frame.App().Engine().GetTcpLimits();
    const pomrel::TcpLimits defaults;
    TcpExtras tcp;
    if (limits.maxConnections != defaults.maxConnections)
        tcp.maxConnections = limits.maxConnections;
    if (limits.requestTimeoutMs != defaults.requestTimeoutMs)
        tcp.requestTimeoutMs = limits.requestTimeoutMs;
    if (tcp.maxConnections || tcp.requestTimeoutMs)
        extras.tcp = tcp;
    if (!frame.App().Faults().Empty())
        extras.faults = frame.App().Faults().Rules();
    const servers::ServerSetup setup = frame.App().Servers().Setup();
    if (!setup.servers.empty())
        extras.servers = setup.servers;
    if (!setup.endpoints.empty())
        extras.endpoints = setup.endpoints;
    if (!setup.identities.empty())
        extras.identity = setup.identities;
    behaviour::Behaviour inForce = frame.App().Behaviour().InForce();
    // A generator whose window has gone writes nothing and would refuse the set-up when
    // restored: it is not kept.
    inForce.generators.clear();
    for (auto& g : frame.App().Behaviour().Generators())
        if (g.attached)
            inForce.generators.push_back(std::move(g.spec));
    if (!inForce.generators.empty() || !inForce.reactions.empty() || !inForce.scripts.empty())
        extras.behaviour = BehaviourExtras{std::move(inForce)};
    return extras;
}

std::string Counted(std::size_t n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// Generators, reactions and scripts in force at once, their points served by the documents open
// now; the headless program says so, as it says what it opened.
bool PutBehaviourInForce(CMainFrame& frame, const BehaviourExtras& extras, std::string& error)
{
    const behaviour::Behaviour& b = extras.items;
    if (!frame.App().Behaviour().PutInForce(b, error))
        return false;
    if (frame.App().Options().headless) {
        std::printf("behaviour: %s, %s, %s in force\n", Counted(b.generators.size(), "generator").c_str(),
                    Counted(b.reactions.size(), "reaction").c_str(), Counted(b.scripts.size(), "script").c_str());
        std::fflush(stdout);
    }
    return true;
}

// Puts extras in force whole; what they leave out goes back to its default. The network servers
// too for a set-up's own extras; a scenario file that names none of them leaves them open.
void ApplyExtras(CMainFrame& frame, const SetupExtras& extras, bool setUp)
{
    pomrel::TcpLimits limits;
    if (extras.tcp && extras.tcp->maxConnections)
        limits.maxConnections = *extras.tcp->maxConnections;
    if (extras.tcp && extras.tcp->requestTimeoutMs)
        limits.requestTimeoutMs = *extras.tcp->requestTimeoutMs;
    frame.App().Engine().SetTcpLimits(limits);
    // The set-up's fault rules replace those in force; a set-up without them runs with none.
    if (extras.faults)
        frame.App().Faults().Replace(*extras.faults);
    else
        frame.App().Faults().Clear();
    // Likewise the network servers: those of the extras open, every other one closes.
    if (setUp || extras.servers || extras.endpoints || extras.identity)
        frame.App().Servers().Apply({extras.servers.value_or(std::vector<pomrel::ServerEndpoint>{}),
                                 extras.endpoints.value_or(std::vector<pomrel::ServerEndpoint>{}),
                                 extras.identity.value_or(servers::Identities{})});
}

} // namespace

bool ApplySetupExtrasFile(CMainFrame& frame, const std::string& path, std::string& error, bool setUp)
{
    const auto extras = ReadSetupExtras(path, error);
    if (!extras)
        return false;
    // Behaviour first: it is the one part that can still be refused (a point no window serves),
    // and a refused file changes nothing. A file without its keys leaves it alone.
    if (extras->behaviour) {
        if (!PutBehaviourInForce(frame, *extras->behaviour, error)) {
            error = path + ": " + error;
            return false;
        }
    } else if (setUp) {
        frame.App().Behaviour().Clear();
    }
    ApplyExtras(frame, *extras, setUp);
    return true;
}

bool LoadSetupExtras(CMainFrame& frame, const std::string& path, bool setUp)
{
    std::string error;
    if (!ApplySetupExtrasFile(frame, path, error, setUp)) {
        Report(frame, QString::fromStdString("Set-up extras refused: " + error));
        return false;
    }
    return true;
}

bool CloseAllDocuments(CMainFrame& frame)
{
    const std::vector<CKelvaro32Doc*> docs = frame.App().Documents().All();
    for (CKelvaro32Doc* doc : docs) {
        CChildFrame* child = ChildOf(frame, doc);
        if (!child)
            continue;
        // Cancel stops here: the restore does not go on over documents the user kept.
        if (!SaveModified(frame, *doc, &frame))
            return false;
        delete child;   // at once: the block must be gone before the restored ones register
    }
    return true;
}

bool SaveTestConfigTo(CMainFrame& frame, const std::string& path)
{
    if (!CanCreateFile(path)) {
        Report(frame, "File Creation Error");
        return false;
    }
    std::vector<std::string> names;
    const std::vector<CKelvaro32Doc*> docs = frame.App().Documents().All();
    for (CKelvaro32Doc* doc : docs) {
        // An untitled document whose Save As is cancelled is listed with its empty name.
        SaveDocument(frame, *doc, &frame, doc->pathName.empty());
        names.push_back(doc->pathName);
    }
    ConnectionManager& connections = frame.Connections();
    std::vector<TestConfigPort> ports(PortTable::kPorts);
    for (int port = 1; port <= PortTable::kPorts; ++port) {
        TestConfigPort& entry = ports[static_cast<std::size_t>(port - 1)];
        connections.Ports().GetPortSettings(port, entry.protocol, entry.settings);
        entry.open = connections.IsPortOpen(port) ? 1 : 0;
    }
    const auto bytes = SerializeTestConfig(names, ports, connections.IsServerOpen(), frame.App().Aliases().Entries());
    if (!WriteFileAtomically(path, bytes)) {
        Report(frame, "File Creation Error");
        return false;
    }
    // What the original's file has no room for goes beside it, and only when there is some; an
    // old extras file would otherwise come back with this set-up.
    SetupExtras extras = CurrentExtras(frame);
    const std::string extrasPath = SetupExtrasPath(path);
    // Certificates, csv files and scripts beside the set-up are kept by relative name, so the
    // set-up moves with them.
    const std::string folder = QFileInfo(QString::fromStdString(extrasPath)).absolutePath().toStdString();
    for (auto* list : {&extras.servers, &extras.endpoints})
        if (*list)
            servers::RelativeFiles(**list, folder);
    if (extras.behaviour)
        RelativeBehaviourFiles(extras.behaviour->items, folder);
    if (extras.Empty()) {
        std::remove(extrasPath.c_str());
    } else {
        const std::string text = SerializeSetupExtras(extras);
        if (!WriteFileAtomically(extrasPath, std::vector<std::uint8_t>(text.begin(), text.end()))) {
            Report(frame, QString::fromStdString("File Creation Error: " + extrasPath));
            return false;
        }
    }
    frame.MarkExtrasSaved();
    return true;
}

namespace {

// How often a long restore stops to serve events.
constexpr qint64 kEventsEveryMs = 50;

// Opens the documents a test configuration names; only the last is made active, once (each
// activation costs more with every window open). A long restore keeps the program answering:
// the headless program serves signals and automation as it goes, the desktop program shows its
// progress with Cancel once it takes longer than a moment. False when it stopped early.
bool OpenListedDocuments(CMainFrame& frame, const std::vector<std::string>& names, const QString& folder)
{
    CKelvaro32App& app = frame.App();
    const bool headless = app.Options().headless;
    const int count = static_cast<int>(std::min<std::size_t>(names.size(), INT_MAX));
    QElapsedTimer clock;
    clock.start();
    // Events at least this often; with no delay before the progress shows, after every document.
    const qint64 every = std::clamp<qint64>(frame.restoreProgressDelayMs, 0, kEventsEveryMs);
    qint64 served = 0;
    std::unique_ptr<QProgressDialog> progress;
    QPointer<CChildFrame> last;
    bool stopped = false;
    for (int i = 0; i < count && !stopped; ++i) {
        if (CKelvaro32Doc* doc = OpenDocumentFile(frame, ResolveDocumentName(names[static_cast<std::size_t>(i)], folder),
                                                  &frame, false, false))
            last = ChildOf(frame, doc);
        if (clock.elapsed() - served < every)
            continue;
        served = clock.elapsed();
        if (headless) {
            QCoreApplication::processEvents();
        } else if (progress || clock.elapsed() >= frame.restoreProgressDelayMs) {
            // Events only under the modal dialog: the user cannot start anything else meanwhile.
            if (!progress) {
                progress = std::make_unique<QProgressDialog>("Restoring the test configuration...", "Cancel", 0, count,
                                                             &frame);
                progress->setObjectName("restoreProgress");
                progress->setWindowModality(Qt::ApplicationModal);
                progress->setMinimumDuration(0);
            }
            progress->setValue(i + 1);
            stopped = progress->wasCanceled();
        }
        stopped = stopped || app.QuitRequested();
    }
    frame.Activate(last);
    return !stopped;
}

} // namespace

bool RestoreTestConfig(CMainFrame& frame, const std::string& path)
{
    const auto bytes = ReadWholeFile(path);
    if (!bytes) {
        Report(frame, "File Open Error");
        return false;
    }
    const TestConfigFile file = ParseTestConfig(*bytes);
    // The set-up's extras when it has them; without them, the defaults. Their behaviour waits
    // for the documents that serve its points.
    std::optional<SetupExtras> extras = SetupExtras{};
    if (const std::string extrasPath = SetupExtrasPath(path); QFileInfo::exists(QString::fromStdString(extrasPath))) {
        std::string error;
        extras = ReadSetupExtras(extrasPath, error);
        if (!extras)
            Report(frame, QString::fromStdString("Set-up extras refused: " + error));
    }
    if (extras) {
        frame.App().Behaviour().Clear();
        ApplyExtras(frame, *extras, true);
    }
    frame.MarkExtrasSaved();
    const QString folder = QFileInfo(QString::fromStdString(path)).absolutePath();
    if (!OpenListedDocuments(frame, file.documents, folder))
        return true;   // cancelled, or the program is ending: the rest of the set-up stays as it was
    if (extras && extras->behaviour) {
        std::string error;
        if (!PutBehaviourInForce(frame, *extras->behaviour, error))
            Report(frame, QString::fromStdString("Set-up extras refused: " + SetupExtrasPath(path) + ": " + error));
        frame.MarkExtrasSaved();
    }

    if (file.HasSettings() && file.version) {
        ConnectionManager& connections = frame.Connections();
        for (int port = 1; port <= PortTable::kPorts; ++port)
            connections.DisconnectPort(port);
        connections.DisconnectServer();
        int port = 1;
        for (const TestConfigPort& entry : file.ports) {
            connections.Ports().SetPortSettings(port, entry.protocol, entry.settings);
            if (entry.open != 0)
                connections.OpenSerialPort(port);
            ++port;
        }
        if (file.serverFlag && *file.serverFlag != 0)
            connections.OpenServer(frame.App().servicePort);
        if (file.replacesAliases) {
            AliasTable& aliases = frame.App().Aliases();
            aliases.ClearAliases();
            for (const AliasEntry& a : file.aliases)
                aliases.AppendAlias(a.pointType, a.address, a.text);
        }
    }
    frame.RepaintAllViews();
    if (file.endedEarly)
        Report(frame, QString("Attempted to access %1 past its end.").arg(QString::fromStdString(path)));
    return true;
}

void RegisterTestConfigCommands(CMainFrame& frame)
{
    CMainFrame* f = &frame;
    // What exit compares with the extras last saved or restored.
    frame.extrasText = [f] { return SerializeSetupExtras(CurrentExtras(*f)); };
    frame.Commands().Add(cmd::SaveTestConfig, [f] {
        EnterInstallationFolder(*f);
        const QString path = ChooseFile(*f, true);
        if (!path.isEmpty())
            SaveTestConfigTo(*f, path.toStdString());
    });
    frame.Commands().Add(cmd::RestoreTestConfig, [f] {
        EnterInstallationFolder(*f);
        const QString path = ChooseFile(*f, false);
        if (path.isEmpty() || !CloseAllDocuments(*f))
            return;
        RestoreTestConfig(*f, path.toStdString());
    });
}
