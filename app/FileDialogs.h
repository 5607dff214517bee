// The file dialogs of the File menu: one place that knows which folder each kind of file was
// last chosen in and how the "All Files" filter matches.
#pragma once

#include <QSettings>
#include <QString>

class CMainFrame;

/// The kinds of file a folder is remembered for, each on its own.
enum class FileKind { Document, TestConfig, Csv };

struct FileQuestion {
    FileKind kind = FileKind::Document;
    bool save = false;
    QString caption;
    /// Put in the name field: a bare name, a pattern such as "*.tst", or a full path (then its
    /// folder is where the dialog starts).
    QString initialName;
    /// Offer "All Files (*.*)", which matches every file, also names without a dot.
    bool allFilesFilter = false;
};

/// Shows the file dialog in the folder last used for `kind` (else the current folder) and
/// remembers the folder of the file chosen. Empty on Cancel.
QString AskForFile(CMainFrame& frame, const FileQuestion& question);
/// The profile file beside the settings files (Kelvaro64.conf): recent files, last folders.
QSettings ProfileSettings(const CMainFrame& frame);

/// The folder the next dialog for `kind` starts in.
QString StartFolder(CMainFrame& frame, FileKind kind);
