// About box, the HTML manual (in a browser, or in a window of the program's own), F1 and Shift+F1.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/HelpCommands.h"
#include "app/Version.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWhatsThis>

#ifndef KELVARO_DATA_FROM_BIN
#define KELVARO_DATA_FROM_BIN "../share/kelvaro64"
#endif

namespace {

// The section of the manual about each window, by class name (or object name for the About box).
struct TopicEntry {
    const char* window;
    const char* topic;
};
constexpr TopicEntry kTopics[] = {
    {"CWrReg", "dialogs.html#write-register"},
    {"CHexReg", "dialogs.html#write-hex"},
    {"CWrBinary", "dialogs.html#write-binary"},
    {"CWrFltDlg", "dialogs.html#write-float"},
    {"CWrCoil", "dialogs.html#write-coil"},
    {"CSimDlg", "dialogs.html#simulation"},
    {"CCoilSimDlg", "dialogs.html#simulation"},
    {"CComDlg", "dialogs.html#setup-connection"},
    {"SvcPortDlg", "dialogs.html#service-port"},
    {"CCountersDlg", "dialogs.html#status"},
    {"QFontDialog", "dialogs.html#look"},
    {"QColorDialog", "dialogs.html#look"},
    {"faults::FaultDialog", "dialogs.html#fault-injection"},
    {"faults::FaultRuleDialog", "dialogs.html#fault-rule"},
    {"servers::NetworkServersDialog", "dialogs.html#network-servers"},
    {"monitor::TrafficMonitorWindow", "dialogs.html#traffic-monitor"},
    {"behaviour::BehaviourWindow", "behaviour.html#behaviour-window"},
    {"behaviour::GeneratorDialog", "behaviour.html#generator"},
    {"behaviour::ReactionDialog", "behaviour.html#reactions"},
    {"behaviour::TrendWindow", "behaviour.html#trend"},
    {"statistics::AccessStatsWindow", "access.html#window"},
    {"dialog100", "dialogs.html#about"},
};

} // namespace

QString ManualPath(const QString& executableFolder)
{
    const QString candidates[] = {
        executableFolder + "/" KELVARO_DATA_FROM_BIN "/manual/index.html",
        executableFolder + "/manual/index.html",
        QString(KELVARO_SOURCE_DIR) + "/docs/manual/index.html",
    };
    for (const QString& candidate : candidates)
        if (QFileInfo::exists(candidate))
            return QDir::cleanPath(QFileInfo(candidate).absoluteFilePath());
    return QDir::cleanPath(QFileInfo(candidates[0]).absoluteFilePath());
}

QString ManualPath()
{
    return ManualPath(QCoreApplication::applicationDirPath());
}

QUrl ManualUrl(const QString& topic)
{
    const QString page = topic.section('#', 0, 0);
    const QString section = topic.section('#', 1);
    QUrl url = QUrl::fromLocalFile(QFileInfo(ManualPath()).absoluteDir().filePath(page.isEmpty() ? "index.html" : page));
    if (!section.isEmpty())
        url.setFragment(section);
    return url;
}

QString HelpTopic(const QWidget* window)
{
    for (const QWidget* w = window; w; w = w->parentWidget()) {
        if (const QVariant own = w->property("helpTopic"); own.isValid())
            return own.toString();
        for (const TopicEntry& e : kTopics)
            if (w->objectName() == e.window || w->inherits(e.window))
                return e.topic;
        if (w->isWindow())
            break;   // a window inside another (a dialog of the main frame) has its own topic or none
    }
    return "index.html";
}

QStringList KnownHelpTopics()
{
    QStringList topics;
    for (const TopicEntry& e : kTopics)
        topics << e.topic;
    return topics;
}

void ShowAboutBox(QWidget* parent)
{
    QDialog box(parent);
    box.setObjectName("dialog100");
    box.setWindowTitle("Kelvaro64...MODBUS SLAVE DATA SIMULATOR");
    auto* layout = new QVBoxLayout(&box);
    layout->addWidget(new QLabel(QString("Kelvaro64 - (Version %1)").arg(kProductVersion), &box));
    layout->addWidget(new QLabel(kLicenceText, &box));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &box);
    buttons->button(QDialogButtonBox::Ok)->setText("OK");
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    layout->addWidget(buttons);
    box.exec();
}

// ---- The program's own help window --------------------------------------------------------------

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName("helpWindow");
    setWindowTitle("Kelvaro64 Help");
    resize(760, 600);
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    browser_ = new QTextBrowser(this);
    browser_->setObjectName("helpBrowser");
    browser_->setOpenLinks(true);
    browser_->setOpenExternalLinks(true);   // a web address goes to whatever the desktop has
    browser_->setWhatsThis("The manual. Links and pictures work as in a browser.");
    const auto button = [&](const QString& text, const QString& name, const QString& help) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setWhatsThis(help);
        row->addWidget(b);
        return b;
    };
    QPushButton* back = button("&Back", "helpBack", "The page shown before this one.");
    QPushButton* forward = button("&Forward", "helpForward", "The page Back left.");
    QPushButton* home = button("&Contents", "helpContents", "The manual's first page.");
    row->addStretch();
    back->setEnabled(false);
    forward->setEnabled(false);
    connect(back, &QPushButton::clicked, browser_, &QTextBrowser::backward);
    connect(forward, &QPushButton::clicked, browser_, &QTextBrowser::forward);
    connect(home, &QPushButton::clicked, this, [this] { browser_->setSource(ManualUrl("index.html")); });
    connect(browser_, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    connect(browser_, &QTextBrowser::forwardAvailable, forward, &QPushButton::setEnabled);
    connect(browser_, &QTextBrowser::sourceChanged, this,
            [this] { setWindowTitle(browser_->documentTitle().isEmpty() ? "Kelvaro64 Help" : browser_->documentTitle()); });
    layout->addLayout(row);
    layout->addWidget(browser_);
}

void HelpWindow::Show(const QUrl& page)
{
    browser_->setSearchPaths({QFileInfo(page.toLocalFile()).absolutePath()});
    browser_->setSource(page);
    show();
    raise();
    activateWindow();
}

// ---- Opening the manual ---------------------------------------------------------------------------

HelpDesk::HelpDesk(CMainFrame& frame) : QObject(&frame), frame_(frame)
{
    setObjectName("helpDesk");
    openUrl = [](const QUrl& url, std::function<void()> failed) {
        // xdg-open is what Qt would start too, but Qt does not say when it finds no browser
        // (exit status 3) or the browser will not start: run it ourselves and watch. Offscreen
        // (tests, the headless program) the desktop's own handlers decide.
        const QString xdgOpen = QStandardPaths::findExecutable("xdg-open");
        if (xdgOpen.isEmpty() || QGuiApplication::platformName() == "offscreen") {
            if (!QDesktopServices::openUrl(url))
                failed();
            return;
        }
        OpenWith(xdgOpen, url, std::move(failed));
    };
    // The headless program has no keyboard: nothing to watch there.
    if (!frame.App().Options().headless)
        qApp->installEventFilter(this);
}

QProcess* HelpDesk::OpenWith(const QString& program, const QUrl& url, std::function<void()> failed)
{
    // No parent: a browser that xdg-open waits for is not ended with the program.
    auto* process = new QProcess;
    QObject::connect(process, &QProcess::errorOccurred, process, [process, failed](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            failed();
            process->deleteLater();
        }
    });
    QObject::connect(process, &QProcess::finished, process, [process, failed](int code, QProcess::ExitStatus status) {
        if (status != QProcess::NormalExit || code != 0)
            failed();
        process->deleteLater();
    });
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(program, {url.toString()});
    return process;
}

void HelpDesk::Open(const QString& topic)
{
    const QUrl url = ManualUrl(topic);
    QPointer<HelpDesk> self(this);
    const auto failed = [self, url] {
        if (self)
            self->ShowInWindow(url);
    };
    if (openUrl)
        openUrl(url, failed);
    else
        failed();
}

void HelpDesk::ShowInWindow(const QUrl& url)
{
    if (!window_)
        window_ = new HelpWindow(&frame_);
    window_->Show(url);
}

bool HelpDesk::eventFilter(QObject* watched, QEvent* event)
{
    // F1 and Shift+F1 in every window of the program, dialogs included.
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (key->key() != Qt::Key_F1 || !widget)
        return QObject::eventFilter(watched, event);
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::ShiftModifier) {
        QWhatsThis::enterWhatsThisMode();
        return true;
    }
    if (mods != Qt::NoModifier)
        return QObject::eventFilter(watched, event);
    QWidget* window = widget->window();
    if (window == &frame_ || window == window_)
        frame_.RunCommand(cmd::HelpTopics);
    else
        Open(HelpTopic(window));
    return true;
}

void RegisterHelpCommands(CMainFrame& frame)
{
    CMainFrame* f = &frame;
    auto* desk = new HelpDesk(frame);
    frame.Commands().Add(cmd::AppAbout, [f] { ShowAboutBox(f); });
    frame.Commands().Add(cmd::HelpTopics, [desk] { desk->Open("index.html"); });
}
