// kelvaro64-headless: the same application with its main window never shown.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/HeadlessOptions.h"
#include "app/HeadlessRun.h"
#include "app/RuntimeDir.h"
#include "app/Version.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}
} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    const HeadlessOptions options = ParseHeadlessOptions(args);
    if (!options.error.empty()) {
        std::fprintf(stderr, "kelvaro64-headless: %s\n%s", options.error.c_str(), HeadlessUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(HeadlessUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(VersionText("kelvaro64-headless").c_str(), stdout);
        return 0;
    }

    // Every master gets a descriptor; the Modbus/TCP server keeps its cap below what is left.
    pomrel::RaiseOpenFileLimit();
    const RuntimeDirStandIn runtimeDir;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    qapp.setOrganizationName("Orvane");
    qapp.setApplicationName("Kelvaro64");
    qapp.setQuitOnLastWindowClosed(false);
    ShareStandardIcons();

    // SIGINT / SIGTERM end the run through the event loop, never from the handler itself.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return 1;
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    AppOptions appOptions;
    appOptions.headless = true;
    appOptions.saveSettings = options.save;
    appOptions.automationPort = options.automationPort;
    appOptions.executablePath = QCoreApplication::applicationFilePath().toStdString();
    CKelvaro32App app(appOptions);
    // A signal that came before this waits in the socket pair and is seen now.
    QObject::connect(&notifier, &QSocketNotifier::activated, &qapp, [&app] { app.RequestQuit(); });
    if (!app.InitInstance({}))
        return 1;
    // The files are opened inside the event loop, so that signals and automation are served
    // while a long restore runs.
    QTimer::singleShot(0, &qapp, [&] {
        if (!StartHeadless(app, options))
            QCoreApplication::exit(1);
    });
    const int rc = qapp.exec();
    bool recorded = StopHeadlessRecording(app);
    if (!options.accessReport.empty())
        recorded = WriteAccessReport(app, options.accessReport) && recorded;
    app.Shutdown();
    std::fflush(stdout);
    // --save that could not save is a failed run: say which file and why.
    for (const FileFailure& f : app.SettingsFailures())
        std::fprintf(stderr, "kelvaro64-headless: cannot save %s: %s\n", f.path.c_str(), f.reason.c_str());
    return rc != 0 ? rc : app.SettingsFailures().empty() && recorded ? 0 : 1;
}
