// Open, Save, Save As and the recent-file list: the document file on disk and in the windows.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/DocumentCommands.h"
#include "app/FileDialogs.h"
#include "app/SubsystemCommands.h"
#include "document/FileAccess.h"
#include "document/CKelvaro32Doc.h"
#include "document/DocumentFile.h"
#include "document/DocumentView.h"
#include "document/RegisterValues.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMdiArea>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <cstdio>

namespace {

constexpr int kRecentFiles = 4;

// The framework's messages: a message box, or a line on stderr when there is no window to show.
void Report(CMainFrame& frame, QWidget* parent, const QString& text)
{
    if (frame.App().Options().headless) {
        std::fprintf(stderr, "kelvaro64-headless: %s\n", text.toLocal8Bit().constData());
        return;
    }
    QMessageBox::warning(parent, "Kelvaro64", text);
}

QString AbsolutePath(const std::string& path)
{
    return QFileInfo(QString::fromStdString(path)).absoluteFilePath();
}

CChildFrame* ChildOf(CMainFrame& frame, const CKelvaro32Doc& doc)
{
    for (CChildFrame* child : frame.Children())
        if (child->Document() == &doc)
            return child;
    return nullptr;
}

DocumentView* FirstView(const CKelvaro32Doc& doc)
{
    return doc.Views().empty() ? nullptr : doc.Views().front();
}

void ShowTitle(CMainFrame& frame, CChildFrame* child)
{
    if (!child)
        return;
    child->UpdateTitle();
    if (frame.ActiveChild() == child)
        frame.setWindowTitle(QString("Kelvaro64 - %1").arg(QString::fromStdString(child->Document()->title)));
}

// The four most recent files, kept in the profile file beside the settings files.
class RecentFileList : public QObject {
public:
    explicit RecentFileList(CMainFrame& frame) : QObject(&frame), frame_(frame)
    {
        setObjectName("RecentFileList");
        QSettings s = Profile();
        s.beginGroup("Recent File List");
        for (int i = 1; i <= kRecentFiles; ++i) {
            const QString path = s.value(QString("File%1").arg(i)).toString();
            if (!path.isEmpty())
                files_.push_back(path);
        }
    }

    const QStringList& Files() const { return files_; }

    void Add(const QString& path)
    {
        files_.removeAll(path);
        files_.prepend(path);
        while (files_.size() > kRecentFiles)
            files_.removeLast();
        Store();
    }

    void Remove(const QString& path)
    {
        files_.removeAll(path);
        Store();
    }

    // Menu items 57616..57619: the entries; "Recent File" disabled while the list is empty.
    void ShowInMenu(CommandState& state)
    {
        state.enabled = !files_.isEmpty();
        QAction* first = frame_.Action(cmd::RecentFile1);
        auto* menu = first ? qobject_cast<QMenu*>(first->parent()) : nullptr;
        if (!menu)
            return;
        first->setText(files_.isEmpty() ? QString("Recent File") : Caption(0));
        QAction* after = first;
        for (int i = 1; i < kRecentFiles; ++i) {
            const int id = cmd::RecentFile1 + i;
            auto* a = menu->findChild<QAction*>(QString("command%1").arg(id), Qt::FindDirectChildrenOnly);
            if (!a) {
                a = new QAction(menu);
                a->setData(id);
                a->setObjectName(QString("command%1").arg(id));
                QObject::connect(a, &QAction::triggered, &frame_, [f = &frame_, id] { f->RunCommand(id); });
                const auto actions = menu->actions();
                const int at = static_cast<int>(actions.indexOf(after));
                menu->insertAction(at + 1 < actions.size() ? actions[at + 1] : nullptr, a);
            }
            a->setVisible(i < files_.size());
            a->setEnabled(i < files_.size());
            if (i < files_.size())
                a->setText(Caption(i));
            after = a;
        }
    }

private:
    QSettings Profile() const { return ProfileSettings(frame_); }

    void Store()
    {
        // The headless program leaves the user's files alone unless told otherwise.
        if (!frame_.App().Options().saveSettings)
            return;
        QSettings s = Profile();
        s.beginGroup("Recent File List");
        for (int i = 1; i <= kRecentFiles; ++i) {
            const QString key = QString("File%1").arg(i);
            if (i <= files_.size())
                s.setValue(key, files_[i - 1]);
            else
                s.remove(key);
        }
    }

    QString Caption(int i) const { return QString("&%1 %2").arg(i + 1).arg(QDir::toNativeSeparators(files_[i])); }

    CMainFrame& frame_;
    QStringList files_;
};

RecentFileList* Recent(CMainFrame& frame)
{
    return frame.findChild<RecentFileList*>("RecentFileList", Qt::FindDirectChildrenOnly);
}

void OpenRecent(CMainFrame& frame, int index)
{
    RecentFileList* list = Recent(frame);
    if (!list || index >= list->Files().size())
        return;
    const QString path = list->Files()[index];
    if (!OpenDocumentFile(frame, path.toStdString(), &frame))
        list->Remove(path);
}

} // namespace

bool SaveDocument(CMainFrame& frame, CKelvaro32Doc& doc, QWidget* parent, bool askForName)
{
    QString path = QString::fromStdString(doc.pathName);
    if (askForName || path.isEmpty()) {
        FileQuestion question;
        question.save = true;
        question.caption = "Save As";
        question.initialName = path.isEmpty() ? QString::fromStdString(doc.title) : path;
        question.allFilesFilter = true;
        path = AskForFile(frame, question);
        if (path.isEmpty())
            return false;
    }
    const DocumentView* view = FirstView(doc);
    const auto bytes = SerializeDocument(doc, view ? view->DisplayFormat() : kDecimal);
    // Temporary file and rename: a failed save leaves the old file as it was.
    if (!WriteFileAtomically(path.toStdString(), bytes)) {
        Report(frame, parent, "Failed to save document.");
        return false;
    }
    const QString absolute = QFileInfo(path).absoluteFilePath();
    doc.SetPathName(absolute.toStdString());
    doc.title = QFileInfo(absolute).fileName().toStdString();
    doc.SetModified(false);
    ShowTitle(frame, ChildOf(frame, doc));
    if (RecentFileList* list = Recent(frame))
        list->Add(absolute);
    return true;
}

CKelvaro32Doc* OpenDocumentFile(CMainFrame& frame, const std::string& path, QWidget* parent, bool quiet,
                                bool activate)
{
    const QString absolute = AbsolutePath(path);

    // A file already open is brought to the front rather than opened twice.
    if (CKelvaro32Doc* open = path.empty() ? nullptr : frame.App().Documents().FindByPath(absolute.toStdString())) {
        if (activate)
            frame.Activate(ChildOf(frame, *open));
        return open;
    }

    const auto bytes = path.empty() ? std::nullopt : ReadWholeFile(path);
    if (!bytes) {
        if (!quiet)
            Report(frame, parent, "Failed to open document.");
        return nullptr;
    }
    DocumentFileContents contents;
    const DocumentLoad load = ParseDocumentFile(*bytes, contents);
    if (load == DocumentLoad::kUnexpectedFormat) {
        if (!quiet)
            Report(frame, parent, "Unexpected file format.");
        return nullptr;
    }

    // Titled by the file's name from the start: opening takes no untitled number, also when
    // the version is unknown and the document stays without a path.
    CChildFrame* child = frame.App().CreateDocumentWindow(QFileInfo(absolute).fileName().toStdString(), activate);
    CKelvaro32Doc* doc = child->Document();
    if (load == DocumentLoad::kLoaded) {
        ApplyDocumentFile(contents, *doc);
        if (DocumentView* view = FirstView(*doc))
            view->SetDisplayFormat(DisplayFormatFromFile(contents.displayFormat));
        doc->SetPathName(absolute.toStdString());
        if (RecentFileList* list = Recent(frame))
            list->Add(absolute);
    }
    // A version we do not know opens as a new, untitled document with its construction values,
    // so that Save cannot write over the file it came from.
    doc->SetupViews();
    ShowTitle(frame, child);   // the window at hand: no search among thousands
    return doc;
}

void RegisterDocumentFileCommands(CMainFrame& frame)
{
    CMainFrame* f = &frame;
    auto* recent = new RecentFileList(frame);
    frame.Commands().Add(cmd::FileOpen, [f] {
        FileQuestion question;
        question.caption = "Open";
        question.allFilesFilter = true;
        const QString path = AskForFile(*f, question);
        if (!path.isEmpty())
            OpenDocumentFile(*f, path.toStdString(), f);
    });
    frame.Commands().Add(
        cmd::RecentFile1, [f] { OpenRecent(*f, 0); }, [recent](CommandState& s) { recent->ShowInMenu(s); });
    for (int i = 1; i < kRecentFiles; ++i)
        frame.Commands().Add(
            cmd::RecentFile1 + i, [f, i] { OpenRecent(*f, i); },
            [recent, i](CommandState& s) { s.enabled = i < recent->Files().size(); });
}
