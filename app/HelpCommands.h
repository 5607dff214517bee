#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class CMainFrame;
class QProcess;
class QTextBrowser;
class QWidget;

/// The first page of the HTML manual: the installed share folder (bin/../share/kelvaro64/manual),
/// a manual/ folder beside the executable, or docs/manual/ of the sources in a build tree.
QString ManualPath(const QString& executableFolder);
/// The same for the running program.
QString ManualPath();
/// A page of that manual, with its section: ManualUrl("dialogs.html#about").
QUrl ManualUrl(const QString& topic);
/// The page and section of the manual about `window` ("dialogs.html#fault-injection"): its
/// "helpTopic" property when it has one, else the table of the program's windows; the first page
/// for the main window and every window the table does not know.
QString HelpTopic(const QWidget* window);
/// Every topic of that table (each names a page and an id the manual has).
QStringList KnownHelpTopics();
void ShowAboutBox(QWidget* parent);

/// The program's own window on the manual, for a desktop with no browser: a QTextBrowser on the
/// installed pages (links and pictures work), with Back, Forward and Contents.
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);
    void Show(const QUrl& page);
    QTextBrowser* Browser() const { return browser_; }

private:
    QTextBrowser* browser_ = nullptr;
};

/// How the main frame opens its manual: hands the page to the desktop's browser, and when none
/// will show it, opens it in a HelpWindow. F1 anywhere opens the section about the window it is
/// pressed in; Shift+F1 starts the context help (click a control to read what it does).
class HelpDesk : public QObject {
    Q_OBJECT
public:
    explicit HelpDesk(CMainFrame& frame);
    /// Hands `url` to a browser; calls `failed` (now or later) when none will show it. The
    /// default asks xdg-open where the desktop has it (its exit status says whether a browser
    /// took the page), else QDesktopServices. Tests give their own.
    using UrlOpener = std::function<void(const QUrl& url, std::function<void()> failed)>;
    UrlOpener openUrl;

    /// Starts `program` (xdg-open) on `url` and calls `failed` when it cannot start or exits
    /// with an error (xdg-open: 3 when no browser is found, 4 when the browser failed).
    /// Returns the process, which deletes itself once it has ended.
    static QProcess* OpenWith(const QString& program, const QUrl& url, std::function<void()> failed);

    /// Opens the manual at `topic` ("index.html", "dialogs.html#about").
    void Open(const QString& topic);
    /// The help window once it was needed, else nullptr.
    HelpWindow* Window() const { return window_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowInWindow(const QUrl& url);

    CMainFrame& frame_;
    QPointer<HelpWindow> window_;
};

/// About, Help Topics, and the keys F1 and Shift+F1 (a HelpDesk child of the frame).
void RegisterHelpCommands(CMainFrame& frame);
