#include "app/FileDialogs.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

#include <map>

namespace {

// On Linux the pattern *.* leaves out names without a dot, and documents have no fixed
// extension. The label shows the pattern users know; the last bracketed group, which the dialog
// hides, is the one it matches with.
const char* const kAllFilesFilter = "All Files (*.*) (*)";

const char* KeyOf(FileKind kind)
{
    switch (kind) {
    case FileKind::Document: return "Documents";
    case FileKind::TestConfig: return "TestConfigs";
    case FileKind::Csv: return "Csv";
    }
    return "Documents";
}

// The last folder of each kind, kept in the profile file beside the settings files (in memory
// only when the run leaves the user's files alone), so the next start finds it too.
class FolderMemory : public QObject {
public:
    explicit FolderMemory(CMainFrame& frame) : QObject(&frame), frame_(frame)
    {
        setObjectName("FolderMemory");
        QSettings s = Profile();
        s.beginGroup("Last Folders");
        for (FileKind kind : {FileKind::Document, FileKind::TestConfig, FileKind::Csv}) {
            const QString folder = s.value(KeyOf(kind)).toString();
            if (!folder.isEmpty())
                folders_[kind] = folder;
        }
    }

    QString Folder(FileKind kind) const
    {
        auto it = folders_.find(kind);
        return it == folders_.end() ? QString() : it->second;
    }

    void Remember(FileKind kind, const QString& folder)
    {
        if (folders_[kind] == folder)
            return;
        folders_[kind] = folder;
        if (!frame_.App().Options().saveSettings)
            return;
        QSettings s = Profile();
        s.beginGroup("Last Folders");
        s.setValue(KeyOf(kind), folder);
    }

private:
    QSettings Profile() const { return ProfileSettings(frame_); }

    CMainFrame& frame_;
    std::map<FileKind, QString> folders_;
};

FolderMemory& Memory(CMainFrame& frame)
{
    if (auto* memory = frame.findChild<FolderMemory*>("FolderMemory", Qt::FindDirectChildrenOnly))
        return *memory;
    return *new FolderMemory(frame);
}

} // namespace

QString StartFolder(CMainFrame& frame, FileKind kind)
{
    const QString folder = Memory(frame).Folder(kind);
    // A folder since removed is no place to start.
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        return folder;
    return QDir::currentPath();
}

QSettings ProfileSettings(const CMainFrame& frame)
{
    const QString folder = QFileInfo(QString::fromStdString(frame.Settings().SettingsPath())).absolutePath();
    return QSettings(folder + "/Kelvaro64.conf", QSettings::IniFormat);
}

QString AskForFile(CMainFrame& frame, const FileQuestion& question)
{
    QFileDialog dialog(&frame, question.caption);
    dialog.setAcceptMode(question.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(question.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (question.allFilesFilter) {
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        dialog.setNameFilter(kAllFilesFilter);
    }
    const QFileInfo initial(question.initialName);
    if (initial.isAbsolute()) {
        dialog.setDirectory(initial.absolutePath());
        dialog.selectFile(initial.fileName());
    } else {
        dialog.setDirectory(StartFolder(frame, question.kind));
        if (!question.initialName.isEmpty())
            dialog.selectFile(question.initialName);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString path = dialog.selectedFiles().front();
    Memory(frame).Remember(question.kind, QFileInfo(path).absolutePath());
    return path;
}
