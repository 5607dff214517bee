// About box, the HTML manual, F1 and Shift+F1.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/HelpCommands.h"
#include "app/Version.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>
#include <QWhatsThis>

#ifndef KELVARO_DATA_FROM_BIN
#define KELVARO_DATA_FROM_BIN "../share/kelvaro64"
#endif

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

void RegisterHelpCommands(CMainFrame& frame)
{
    CMainFrame* f = &frame;
    frame.Commands().Add(cmd::AppAbout, [f] { ShowAboutBox(f); });
    frame.Commands().Add(cmd::HelpTopics, [] { QDesktopServices::openUrl(QUrl::fromLocalFile(ManualPath())); });

    // The Help menu shows no accelerators; the keys work anywhere in the main window.
    auto* topics = new QShortcut(QKeySequence(Qt::Key_F1), f);
    QObject::connect(topics, &QShortcut::activated, f, [f] { f->RunCommand(cmd::HelpTopics); });
    auto* context = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1), f);
    QObject::connect(context, &QShortcut::activated, f, [] { QWhatsThis::enterWhatsThisMode(); });
}
