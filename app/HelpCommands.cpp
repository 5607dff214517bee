// About box and the HTML manual.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/HelpCommands.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

QString ManualPath()
{
    // Beside the executable; in a build tree the docs/ folder of the sources.
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {dir + "/kelvaro64.html", dir + "/docs/manual.html", QString(KELVARO_SOURCE_DIR) + "/docs/manual.html"})
        if (QFileInfo::exists(candidate))
            return candidate;
    return dir + "/kelvaro64.html";
}

void ShowAboutBox(QWidget* parent)
{
    QDialog box(parent);
    box.setObjectName("dialog100");
    box.setWindowTitle("Kelvaro64...MODBUS SLAVE DATA SIMULATOR");
    auto* layout = new QVBoxLayout(&box);
    layout->addWidget(new QLabel("Kelvaro64 - (Version 6.A00-04)", &box));
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
}
