// Read From CSV: the file dialog, then the import into every open document and a repaint.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/FileDialogs.h"
#include "app/SubsystemCommands.h"
#include "document/FileAccess.h"
#include "document/CKelvaro32Doc.h"
#include "document/DocumentView.h"
#include "view/CsvImport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>
#include <unistd.h>

namespace {

std::vector<CsvTarget> AllViews(CKelvaro32App& app)
{
    std::vector<CsvTarget> targets;
    for (CKelvaro32Doc* doc : app.Documents())
        for (const DocumentView* view : doc->Views())
            targets.push_back({doc, view->DisplayFormat()});
    return targets;
}

} // namespace

bool ReadFromCsvFile(CMainFrame& frame, const std::string& path)
{
    // Through the one file reader: a FIFO or device under the name is refused, not waited on.
    const int fd = OpenRegularFile(path);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (!file) {
        if (fd >= 0)
            ::close(fd);
        QMessageBox::warning(&frame, "Kelvaro64", "File Open Error");
        return false;
    }
    const auto targets = AllViews(frame.App());
    const CsvImportResult result = ImportCsv(
        [file] {
            const int c = std::fgetc(file);
            if (c != EOF)
                return c;
            return std::ferror(file) ? CsvLineReader::kReadError : CsvLineReader::kEnd;
        },
        targets);
    std::fclose(file);
    for (const CsvTarget& t : targets)
        t.doc->RepaintViews(true);
    // A long line ends the import; say so rather than let it pass for a complete one.
    if (result.tooLongLine != 0)
        QMessageBox::warning(&frame, "Kelvaro64",
                             QString("Line %1 has 100 characters or more: the import stopped there.")
                                 .arg(result.tooLongLine));
    return result.tooLongLine == 0 && !result.readError;
}

void RegisterCsvCommands(CMainFrame& frame)
{
    CMainFrame* f = &frame;
    frame.Commands().Add(
        cmd::ReadFromCsv,
        [f] {
            const QString folder =
                QFileInfo(QString::fromStdString(f->App().Options().executablePath)).absolutePath();
            if (QFileInfo(folder).isDir())
                QDir::setCurrent(folder);
            FileQuestion question;
            question.kind = FileKind::Csv;
            question.caption = "Open";
            question.initialName = "*.csv";
            const QString path = AskForFile(*f, question);
            if (path.isEmpty())
                return;
            ReadFromCsvFile(*f, QFile::encodeName(path).toStdString());
        },
        [f](CommandState& s) { s.enabled = f->ActiveView() != nullptr; });
}
