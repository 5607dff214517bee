// kelvaro64: the desktop program.
#include "app/CKelvaro32App.h"
#include "app/RuntimeDir.h"

#include <QApplication>
#include <QDir>

int main(int argc, char** argv)
{
    // Every master gets a descriptor; the Modbus/TCP server keeps its cap below what is left.
    pomrel::RaiseOpenFileLimit();
    const RuntimeDirStandIn runtimeDir;
    QApplication qapp(argc, argv);
    qapp.setOrganizationName("Orvane");
    qapp.setApplicationName("Kelvaro64");

    AppOptions options;
    options.executablePath = QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdString();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);

    CKelvaro32App app(options);
    if (!app.InitInstance(args))
        return 1;
    const int rc = qapp.exec();
    app.Shutdown();
    return rc;
}
