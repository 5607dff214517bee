// kelvaro64: the desktop program.
#include "app/CKelvaro32App.h"
#include "app/RuntimeDir.h"
#include "app/Version.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QDir>

int main(int argc, char** argv)
{
    // Only as the whole command line: anything else is the name of a set-up, as it always was.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(VersionText("kelvaro64").c_str(), stdout);
        return 0;
    }
    // Every master gets a descriptor; the Modbus/TCP server keeps its cap below what is left.
    pomrel::RaiseOpenFileLimit();
    // A capture streamed to a FIFO whose reader leaves stops with EPIPE instead of ending us.
    std::signal(SIGPIPE, SIG_IGN);
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
