#include "app/CMainFrame.h"

#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CommandIds.h"
#include "app/DocumentCommands.h"
#include "app/FileDialogs.h"
#include "app/HelpCommands.h"
#include "app/TrafficRelay.h"
#include "dialogs/DialogKit.h"
#include "automation/AutomationServer.h"
#include "document/AliasTable.h"
#include "document/AnsiText.h"
#include "app/SubsystemCommands.h"
#include "document/CKelvaro32Doc.h"
#include "simulation/SimulationEngine.h"
#include "behaviour/BehaviourBook.h"
#include "statistics/AccessTexts.h"
#include "view/CKelvaro32View.h"

#include <QAction>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QDir>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPrinter>
#include <QStandardPaths>
#include <QStyle>
#include <QTimerEvent>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

QString SettingsFolder(const AppOptions& options)
{
    if (!options.settingsFolder.empty())
        return QString::fromStdString(options.settingsFolder);
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + "/.config";
    return base + "/Orvane";
}

// A menu described as data: caption, command id (0 for a separator, -1 for a submenu),
// accelerator, and the items of a submenu.
struct MenuItem {
    QString caption;
    int id = 0;
    QString shortcut;
    std::vector<MenuItem> items;
};

// Keeps the Show event from a data window's view: QMdiSubWindow activates its window on it.
class ShowQuietly : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override { return event->type() == QEvent::Show; }
};

// Display > Access Marks in the profile.
const char* const kAccessMarksKey = "Display/AccessMarks";

MenuItem Separator() { return {}; }
MenuItem Item(const QString& caption, int id, const QString& shortcut = {}) { return {caption, id, shortcut, {}}; }
MenuItem Submenu(const QString& caption, std::vector<MenuItem> items) { return {caption, -1, {}, std::move(items)}; }

std::vector<MenuItem> PortItems(bool connect)
{
    std::vector<MenuItem> items;
    items.push_back(Item("&Modbus/TCP Svr", connect ? cmd::ConnectServer : cmd::DisconnectServer));
    for (int port = 1; port <= 32; ++port) {
        const QString caption = port <= 9 ? QString("Port &%1").arg(port) : QString("Port %1").arg(port);
        items.push_back(Item(caption, connect ? cmd::ConnectPort[port - 1] : cmd::DisconnectPort[port - 1]));
    }
    return items;
}

MenuItem ConnectionMenu()
{
    return Submenu("&Connection", {Submenu("&Connect", PortItems(true)), Submenu("&Disconnect", PortItems(false)),
                                   Separator(), Item("&Status", cmd::Status)});
}

// What the original program never had is reached from here, in both menu sets.
MenuItem ToolsMenu()
{
    return Submenu("&Tools", {Item("&Fault Injection...", cmd::ToolsFaultInjection),
                              Item("&Behaviour...", cmd::ToolsBehaviour), Item("T&rend...", cmd::ToolsTrend),
                              Item("&Network Servers...", cmd::ToolsNetworkServers),
                              Item("Traffic &Monitor", cmd::ToolsTrafficMonitor),
                              Item("&Access Statistics...", cmd::ToolsAccessStatistics),
                              Item("&Learn", cmd::ToolsLearn)});
}

MenuItem HelpMenu()
{
    return Submenu("&Help", {Item("&Help Topics", cmd::HelpTopics), Separator(), Item("&About Kelvaro64...", cmd::AppAbout)});
}

std::vector<MenuItem> Menu128()
{
    return {Submenu("&File", {Item("&New\tCtrl+N", cmd::FileNew, "Ctrl+N"), Item("&Open...\tCtrl+O", cmd::FileOpen, "Ctrl+O"),
                              Separator(), Item("Restore Test Config", cmd::RestoreTestConfig), Separator(),
                              Item("P&rint Setup...", cmd::FilePrintSetup), Separator(),
                              Item("Recent File", cmd::RecentFile1), Separator(), Item("E&xit", cmd::AppExit)}),
            ConnectionMenu(), ToolsMenu(), HelpMenu()};
}

std::vector<MenuItem> Menu129()
{
    return {Submenu("&File", {Item("&New\tCtrl+N", cmd::FileNew, "Ctrl+N"), Item("&Open...\tCtrl+O", cmd::FileOpen, "Ctrl+O"),
                              Item("&Close", cmd::FileClose), Item("&Save\tCtrl+S", cmd::FileSave, "Ctrl+S"),
                              Item("Save &As...", cmd::FileSaveAs), Separator(), Item("Save Test Config", cmd::SaveTestConfig),
                              Item("Restore Test Config", cmd::RestoreTestConfig), Separator(),
                              Item("Read From CSV", cmd::ReadFromCsv), Separator(),
                              Item("&Print...\tCtrl+P", cmd::FilePrint, "Ctrl+P"), Item("Print Pre&view", cmd::FilePrintPreview),
                              Item("P&rint Setup...", cmd::FilePrintSetup), Separator(),
                              Item("Recent File", cmd::RecentFile1), Separator(), Item("E&xit", cmd::AppExit)}),
            ConnectionMenu(),
            Submenu("&Display", {Item("Show D&ata", cmd::ShowData), Item("Show &Traffic", cmd::ShowTraffic), Separator(),
                                 Item("&Binary", cmd::FormatBinary), Item("&Decimal", cmd::FormatDecimal),
                                 Item("&Hex", cmd::FormatHex), Item("&Long Integer", cmd::FormatLong),
                                 Item("Long (Swapped)", cmd::FormatLongSwapped), Item("&Floating Point ", cmd::FormatFloat),
                                 Item("Float (&Swapped) ", cmd::FormatFloatSwapped), Item("&64-Bit Floats", cmd::FormatFloat64),
                                 Item("64-Bit Swapped", cmd::FormatFloat64Swapped), Separator(),
                                 Item("Reset Alias List", cmd::ResetAliasList), Separator(),
                                 Item("Access &Marks", cmd::DisplayAccessMarks)}),
            Submenu("&View", {Submenu("Config", {Submenu("Colors", {Item("Background", cmd::Background),
                                                                   Item("ForeGround", cmd::Foreground)}),
                                                 Item("Fonts", cmd::Fonts)})}),
            ToolsMenu(), HelpMenu()};
}

} // namespace

CMainFrame::CMainFrame(CKelvaro32App& app)
    : app_(app), connections_(app.Engine()), settings_(SettingsFolder(app.Options()).toStdString())
{
    app_.mainFrame = this;
    // Defaults are the members' start values; the settings files may replace them.
    for (const FileFailure& f : settings_.Load({&app_.servicePort, &connections_.Ports(), &look_, &app_.Aliases()}))
        std::fprintf(stderr, "Kelvaro64: %s not read (%s); its settings keep their defaults\n", f.path.c_str(),
                     f.reason.c_str());
    accessMarks_ = ProfileSettings(*this).value(kAccessMarksKey, false).toBool();

    // Failed opens go to stderr as before, and are kept for the Connect commands to show.
    connections_.SetListener([this](const ConnectionEvent& e) {
        if (e.kind != ConnectionEvent::kOpenFailed)
            return;
        openFailure_ = e.text;
        std::fprintf(stderr, "%s\n", e.text.c_str());
        std::fflush(stderr);
    });

    setWindowTitle("Kelvaro64");
    if (!app_.Options().headless)
        dialogkit::FitDialogsToTitles();
    mdi_ = new QMdiArea(this);
    setCentralWidget(mdi_);
    connect(mdi_, &QMdiArea::subWindowActivated, this, [this] { RefreshCaption(); });

    RegisterOwnCommands();
    RegisterHelpCommands(*this);
    RegisterDocumentCommands(*this);
    RegisterTestConfigCommands(*this);
    RegisterConnectionCommands(*this);
    RegisterViewCommands(*this);
    RegisterTrafficCommands(*this);
    RegisterCsvCommands(*this);
    RegisterLookCommands(*this);
    RegisterToolsCommands(*this);
    BuildMenus();
    MarkExtrasSaved();
}

CMainFrame::~CMainFrame()
{
    if (!destroyed_)
        CloseAllConnections();
    if (app_.Options().saveSettings && !settingsSaved_)
        SaveSettings();
    traffic_.Release();
}

std::vector<FileFailure> CMainFrame::SaveSettings()
{
    settingsSaved_ = true;
    std::uint16_t port = app_.settingsServicePort.value_or(app_.servicePort);
    return settings_.Save({&port, &connections_.Ports(), &look_, &app_.Aliases()});
}

QPrinter& CMainFrame::Printer()
{
    if (!printer_)
        printer_ = std::make_unique<QPrinter>();
    return *printer_;
}

std::string CMainFrame::TakeOpenFailure()
{
    return std::exchange(openFailure_, std::string());
}

AliasTable& CMainFrame::Aliases()
{
    return app_.Aliases();
}

pomrel::Handle CMainFrame::DefineDataBlock(CKelvaro32Doc& doc)
{
    const pomrel::Handle handle = app_.Engine().DefineDataBlock(doc.deviceId, doc.pointType, doc.startAddress,
                                                                doc.length, doc.memory.data(), &doc.valueLock);
    if (handle != pomrel::kNoHandle) {
        blockOwners_[handle] = &doc;
        // Scripts reach the points of windows opened after they were put in force.
        app_.Behaviour().RefreshPoints();
    }
    return handle;
}

void CMainFrame::RemoveDataBlock(pomrel::Handle handle)
{
    app_.Engine().RemoveDataBlock(handle);
    // Its points move or go (a new header, the window closing): behaviour bound to them stops.
    if (const auto it = blockOwners_.find(handle); it != blockOwners_.end()) {
        app_.Behaviour().ForgetOwner(it->second);
        blockOwners_.erase(it);
    }
}

std::string CMainFrame::AccessText(int unit, int type, std::uint32_t address)
{
    const auto points = app_.Engine().AccessStats(unit, type, address, address);
    if (points.empty())
        return {};
    const std::string alias = ansi::ToUtf8(app_.Aliases().GetAlias(type, static_cast<int>(address)));
    return statistics::HoverText(points.front(), alias, statistics::NowUs());
}

bool CMainFrame::AccessMarks(int unit, int type, std::uint32_t first, std::uint32_t last,
                             std::vector<AccessMark>& marks)
{
    if (!accessMarks_ || last < first)
        return false;
    const std::int64_t now = statistics::NowUs();
    marks.assign(last - first + 1, AccessMark::kNone);
    for (const auto& p : app_.Engine().AccessStats(unit, type, first, last))
        if (p.address >= first && p.address <= last)
            marks[p.address - first] = statistics::MarkOf(p, now);
    return true;
}

void CMainFrame::SetAccessMarks(bool on)
{
    accessMarks_ = on;
    // Kept in the profile beside the recent files, not in kv64comm2.cfg, whose layout is the
    // original's; an older version reading the profile skips the key.
    if (app_.Options().saveSettings)
        ProfileSettings(*this).setValue(kAccessMarksKey, on);
    RepaintAllViews();
}

bool CMainFrame::Create()
{
    timerId_ = startTimer(1000);
    InstallTrafficCallback(this);
    return true;
}

void CMainFrame::RegisterOwnCommands()
{
    commands_.Add(cmd::AppExit, [this] { close(); });
    commands_.Add(cmd::ResetAliasList, [this] {
        app_.Aliases().ClearAliases();
        RepaintAllViews();
    });
}

void CMainFrame::BuildMenus()
{
    std::function<void(QMenu*, const std::vector<MenuItem>&)> fill = [&](QMenu* menu, const std::vector<MenuItem>& items) {
        for (const auto& item : items) {
            if (item.id == 0) {
                menu->addSeparator();
            } else if (item.id == -1) {
                QMenu* sub = menu->addMenu(item.caption);
                fill(sub, item.items);
            } else {
                QString caption = item.caption.section('\t', 0, 0);
                QAction* action = menu->addAction(caption);
                action->setData(item.id);
                action->setObjectName(QString("command%1").arg(item.id));
                if (!item.shortcut.isEmpty())
                    action->setShortcut(QKeySequence(item.shortcut));
                const int id = item.id;
                connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
                actions_[id].push_back(action);
            }
        }
        // The update step: every item's enabled and checked state, computed as the menu opens.
        connect(menu, &QMenu::aboutToShow, this, [this, menu] {
            for (QAction* a : menu->actions()) {
                if (a->isSeparator() || a->menu())
                    continue;
                const CommandState s = commands_.State(a->data().toInt());
                a->setEnabled(s.enabled);
                a->setCheckable(s.checkable || s.checked);
                a->setChecked(s.checked);
            }
        });
    };
    auto build = [&](const std::vector<MenuItem>& top, const char* name) {
        auto* bar = new QMenuBar;
        bar->setObjectName(name);
        for (const auto& item : top) {
            QMenu* menu = bar->addMenu(item.caption);
            fill(menu, item.items);
        }
        return bar;
    };
    menuNoDocument_ = build(Menu128(), "menu128");
    menuDocument_ = build(Menu129(), "menu129");
    UpdateMenus();
}

void CMainFrame::UpdateMenus()
{
    const int wanted = children_.isEmpty() ? 128 : 129;
    if (wanted == currentMenu_)
        return;
    currentMenu_ = wanted;
    // QMainWindow deletes a replaced menu bar, so the bar not shown is kept out of its hands.
    QWidget* old = menuWidget();
    if (old) {
        old->hide();
        old->setParent(nullptr);
    }
    QMenuBar* bar = wanted == 128 ? menuNoDocument_ : menuDocument_;
    setMenuBar(bar);
    bar->show();
    RefreshCaption();
}

QAction* CMainFrame::Action(int id) const
{
    auto it = actions_.find(id);
    if (it == actions_.end())
        return nullptr;
    // The action of the menu bar being shown, if it has one.
    QMenuBar* bar = currentMenu_ == 128 ? menuNoDocument_ : menuDocument_;
    for (QAction* a : it->second) {
        QObject* o = a->parent();
        while (o && o != bar)
            o = o->parent();
        if (o == bar)
            return a;
    }
    return it->second.front();
}

bool CMainFrame::RunCommand(int id)
{
    return commands_.Execute(id);
}

CChildFrame* CMainFrame::ActiveChild() const
{
    if (auto* active = qobject_cast<CChildFrame*>(mdi_->activeSubWindow()))
        return active;
    return children_.isEmpty() ? nullptr : children_.back();
}

CKelvaro32View* CMainFrame::ActiveView() const
{
    auto* child = ActiveChild();
    return child ? child->View() : nullptr;
}

CKelvaro32Doc* CMainFrame::ActiveDocument() const
{
    auto* child = ActiveChild();
    return child ? child->Document() : nullptr;
}

QList<CChildFrame*> CMainFrame::Children() const
{
    return children_;
}

void CMainFrame::AddChild(CChildFrame* child, bool activate)
{
    children_.push_back(child);
    if (app_.Options().headless) {
        // Never shown: placing and activating would cost more with every window open, and so
        // would the shortcuts of its system menu (each one added searches all the others).
        child->setSystemMenu(nullptr);
        child->KeepOutOfSight();
        if (child->parentWidget() != this)
            child->setParent(this);
        child->hide();
    } else {
        child->UpdateTitle();
        mdi_->addSubWindow(child);
        PlaceInCascade(child);
        if (activate) {
            child->show();
        } else {
            // The window makes itself the active one when it, or its view, is first shown.
            ShowQuietly quiet;
            child->installEventFilter(&quiet);
            if (child->widget())
                child->widget()->installEventFilter(&quiet);
            child->show();
        }
        if (activate)
            mdi_->setActiveSubWindow(child);
    }
    UpdateMenus();
}

void CMainFrame::RemoveChild(CChildFrame* child)
{
    children_.removeOne(child);
    // The MDI area still holds the dying window, and may activate another while it goes.
    QMetaObject::invokeMethod(this, [this] { UpdateMenus(); RefreshCaption(); }, Qt::QueuedConnection);
}

void CMainFrame::Activate(CChildFrame* child)
{
    if (child && !app_.Options().headless)
        mdi_->setActiveSubWindow(child);
}

void CMainFrame::PlaceInCascade(CChildFrame* child)
{
    // Each window one title bar lower and to the right of the one before; the cascade starts
    // again at the top left when the next window would not fit.
    const QSize area = mdi_->viewport()->size();
    const int step = std::max(1, child->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, child));
    const QSize size(std::clamp(area.width() * 2 / 3 + 100, 1, std::max(1, area.width())),
                     std::clamp(area.height() * 2 / 3 + 60, 1, std::max(1, area.height())));
    QPoint at(cascade_ * step, cascade_ * step);
    if (at.x() + size.width() > area.width() || at.y() + size.height() > area.height()) {
        cascade_ = 0;
        at = QPoint(0, 0);
    }
    ++cascade_;
    child->setGeometry(QRect(at, size));
}

void CMainFrame::RefreshCaption()
{
    auto* child = ActiveChild();
    if (child && child->Document())
        setWindowTitle(QString("Kelvaro64 - %1").arg(QString::fromStdString(child->Document()->title)));
    else
        setWindowTitle("Kelvaro64");
}

void CMainFrame::OnMainTimer()
{
    // A point a generator drives is the generator's: Auto Simulation leaves it alone.
    const behaviour::BehaviourBook& book = app_.Behaviour();
    RunSimulation(app_.Documents(), [&book](int unit, int type, std::uint32_t address) {
        return book.Drives(unit, type, address);
    });
}

void CMainFrame::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == timerId_)
        OnMainTimer();
    QMainWindow::timerEvent(event);
}

void CMainFrame::CloseAllConnections()
{
    connections_.CloseAllConnections();
}

void CMainFrame::RepaintAllViews()
{
    for (CChildFrame* child : Children())
        if (child->View())
            child->View()->RepaintAll(true);
}

void CMainFrame::MarkExtrasSaved()
{
    savedExtras_ = extrasText ? extrasText() : std::string();
}

bool CMainFrame::ExtrasUnsaved() const
{
    return extrasText && extrasText() != savedExtras_;
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    // Extras changed since the last Save or Restore Test Config live nowhere else: offer to save
    // them (Save Test Config). A program whose extras never changed asks nothing, as before.
    if (!app_.Options().headless && !hiddenForClients_ && ExtrasUnsaved()) {
        QMessageBox question(QMessageBox::Question, "Kelvaro64",
                             "The fault rules, network servers or endpoints changed since the test configuration "
                             "was last saved or restored.\nSave them in a test configuration?",
                             QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
        question.setObjectName("saveExtras");
        question.setDefaultButton(QMessageBox::Yes);
        const int answer = question.exec();
        if (answer == QMessageBox::Yes)
            RunCommand(cmd::SaveTestConfig);
        // A Save that was cancelled or failed keeps the program open too: nothing was saved.
        if (answer == QMessageBox::Cancel || (answer == QMessageBox::Yes && ExtrasUnsaved())) {
            event->ignore();
            return;
        }
    }
    // Ask about every modified document; a cancel keeps everything running.
    const auto children = Children();
    for (CChildFrame* child : children) {
        if (!SaveModified(*this, *child->Document(), this)) {
            event->ignore();
            return;
        }
    }
    for (CChildFrame* child : children)
        delete child;   // each view removes its block as it goes
    if (AutomationServer* server = app_.Automation(); server && server->ConnectionCount() > 0) {
        // Automation clients still hold the program: hide it, keep serving, and let the last
        // client to leave end it.
        hide();
        if (!hiddenForClients_) {
            hiddenForClients_ = true;
            connect(server, &AutomationServer::LastConnectionClosed, qApp, [] { QCoreApplication::exit(0); },
                    Qt::QueuedConnection);
        }
        event->ignore();
        return;
    }
    CloseAllConnections();
    destroyed_ = true;
    if (timerId_) {
        killTimer(timerId_);
        timerId_ = 0;
    }
    event->accept();
}
