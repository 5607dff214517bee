// The one top-level window: a QMainWindow around the MDI area. Owns what all data windows
// share — connections, port table, default look, traffic ring — and the menus.
#pragma once

#include "app/CommandTable.h"
#include "app/SettingsStore.h"
#include "connections/ConnectionManager.h"
#include "document/LogFont.h"
#include "view/TrafficRing.h"
#include "view/Workspace.h"

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>
#include <string>

class CKelvaro32App;
class CKelvaro32Doc;
class CKelvaro32View;
class CChildFrame;
class QMdiArea;
class QMenu;
class QMenuBar;
class QAction;
class QPrinter;

class CMainFrame : public QMainWindow, public Workspace {
    Q_OBJECT
public:
    /// Construction: defaults, then the settings files, then the traffic ring.
    explicit CMainFrame(CKelvaro32App& app);
    /// Deletion: writes the settings files (unless told not to), releases the ring.
    ~CMainFrame() override;

    /// Window creation: the main timer (id 10, 1 s) and the traffic callback.
    bool Create();

    CKelvaro32App& App() { return app_; }
    QMdiArea* MdiArea() const { return mdi_; }
    ConnectionManager& Connections() { return connections_; }
    TrafficRing& Traffic() { return traffic_; }

    // Workspace: what every data window is handed.
    AliasTable& Aliases() override;
    bool EnronMode() const override { return connections_.enronMode != 0; }
    bool NoConnectionOpen() const override { return connections_.NoConnectionOpen(); }
    const TrafficRing& Traffic() const override { return traffic_; }
    pomrel::Handle DefineDataBlock(CKelvaro32Doc& doc) override;
    void RemoveDataBlock(pomrel::Handle handle) override;
    std::string AccessText(int unit, int type, std::uint32_t address) override;
    bool AccessMarks(int unit, int type, std::uint32_t first, std::uint32_t last,
                     std::vector<AccessMark>& marks) override;
    /// Display > Access Marks: on, data windows colour their labels. Remembered in the profile
    /// (Kelvaro64.conf, [Display] AccessMarks) as it changes, unless settings are left alone.
    bool AccessMarksOn() const { return accessMarks_; }
    void SetAccessMarks(bool on);
    CommandTable& Commands() { return commands_; }
    /// Default font and colours for new data windows.
    DisplayDefaults& Look() { return look_; }
    const SettingsStore& Settings() const { return settings_; }
    /// Writes the settings files now (the service port the settings hold, not a port for this run
    /// only); deletion then writes nothing more. Returns the files that could not be written.
    std::vector<FileFailure> SaveSettings();
    /// The printer File Print prints on and Print Setup sets up; made at first use.
    QPrinter& Printer();
    /// The last failed open the connections told of ("Port 3 (/dev/ttyS2): Permission
    /// denied"), and forgets it; empty when none failed since the last call.
    std::string TakeOpenFailure();

    /// The active data window's parts, or null.
    CChildFrame* ActiveChild() const;
    CKelvaro32View* ActiveView() const;
    CKelvaro32Doc* ActiveDocument() const;
    /// Every data window in creation order.
    QList<CChildFrame*> Children() const;

    /// Menu 128 while no data window is open, 129 while one is.
    int CurrentMenuId() const { return currentMenu_; }
    void UpdateMenus();
    /// Runs command `id` as a menu click would; false when disabled or unhandled.
    bool RunCommand(int id);
    QAction* Action(int id) const;

    /// Main timer tick: runs the simulation of every document.
    void OnMainTimer();
    /// Traffic relay on the user-interface thread (posted by the engine's callback).
    void RelayTraffic(std::uint32_t first, std::uint32_t second, std::uint32_t count);
    /// Server first, then ports 1 to 32 (window destruction).
    void CloseAllConnections();
    /// Every view of every document repainted with erase.
    void RepaintAllViews();
    /// Adds a data window: in the MDI area, cascaded inside the work area and no larger than it,
    /// shown, and made active unless `activate` is false (a restore activates its last window
    /// once). The headless program, which never shows its window, keeps data windows out of the
    /// area: nothing there to place or activate.
    void AddChild(CChildFrame* child, bool activate = true);
    /// A data window going away: from the start of its destructor it is no longer listed, so
    /// nothing reached while its base classes are torn down can take it for a live window.
    void RemoveChild(CChildFrame* child);
    /// Makes a data window the active one (nothing to do in the headless program).
    void Activate(CChildFrame* child);
    /// A restore that takes longer than this shows its progress with Cancel (desktop program).
    int restoreProgressDelayMs = 500;

    /// The set-up's extras in force (fault rules, network servers, endpoints, ...) as a text that
    /// changes when they do; given by the test configuration commands.
    std::function<std::string()> extrasText;
    /// Remembers the extras in force as saved: at start, after Save and Restore Test Config.
    void MarkExtrasSaved();
    /// Whether the extras differ from those last saved or restored (closing the desktop program
    /// then asks whether to save them).
    bool ExtrasUnsaved() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void BuildMenus();
    void RegisterOwnCommands();
    void RefreshCaption();
    void PlaceInCascade(CChildFrame* child);

    CKelvaro32App& app_;
    ConnectionManager connections_;
    DisplayDefaults look_;
    SettingsStore settings_;
    bool accessMarks_ = false;
    bool settingsSaved_ = false;
    TrafficRing traffic_;
    CommandTable commands_;
    QMdiArea* mdi_ = nullptr;
    QMenuBar* menuNoDocument_ = nullptr;   // menu 128
    QMenuBar* menuDocument_ = nullptr;     // menu 129
    int currentMenu_ = 0;
    int timerId_ = 0;
    bool destroyed_ = false;
    bool hiddenForClients_ = false;
    std::string savedExtras_;
    std::map<int, QList<QAction*>> actions_;
    QList<CChildFrame*> children_;   // creation order; asking the MDI area costs a cast per window
    int cascade_ = 0;                // where the next data window goes in the cascade
    std::unique_ptr<QPrinter> printer_;
    std::string openFailure_;
    std::map<pomrel::Handle, const CKelvaro32Doc*> blockOwners_;   // whose block each handle serves
};
