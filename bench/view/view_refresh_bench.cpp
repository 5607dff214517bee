// kelvaro_view_refresh_bench: what the data views' once-a-second refresh costs the
// user-interface thread in the whole application.
//
// Starts the application (offscreen unless QT_QPA_PLATFORM says otherwise, e.g. xcb under
// Xvfb) with N windows of 1000 holding registers each, laid out tiled or cascaded. A writer
// thread stands in for the masters: once a second it gives every register of every window a
// new value under the document's value lock, as the engine does. The views refresh on their
// own 1 s timers. Reported: user-interface thread CPU over the run as a share of one core,
// and the process CPU for comparison.
//
//   kelvaro_view_refresh_bench [--windows N] [--seconds S] [--format F] [--layout tile|cascade]
//                              [--static]
//   kelvaro_view_refresh_bench --demo SECONDS PORTFILE
//     (for screenshots: four windows, devices 1-4 in Decimal, Hex, Float and Long, serving
//     Modbus/TCP on a free port written to PORTFILE; scripts/screenshot-views.sh drives it)
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QFile>
#include <QMdiArea>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Demo(double seconds, const char* portFile)
{
    QTemporaryDir dir;
    AppOptions options;
    options.settingsFolder = dir.path().toStdString() + "/Orvane";
    options.executablePath = dir.path().toStdString() + "/kelvaro64";
    options.saveSettings = false;
    options.automationPort = 0;
    CKelvaro32App app(options);
    if (!app.InitInstance({}))
        return 1;
    CMainFrame* frame = app.mainFrame;
    frame->setGeometry(0, 0, 1024, 768);
    const int formats[] = {kDecimal, kHex, kFloat, kLong};
    for (int i = 0; i < 4; ++i) {
        CKelvaro32Doc* doc = app.NewDocument();
        doc->deviceId = static_cast<std::uint8_t>(i + 1);
        CKelvaro32View* view = frame->ActiveView();
        view->SetDisplayFormat(formats[i]);
        view->SetupHeader(); // the device id field shows the new id; the block is registered again
    }
    frame->MdiArea()->tileSubWindows();

    auto& engine = app.Engine();
    engine.SetTCPServicePort(0);
    const pomrel::Handle server = engine.OpenTCPConnection(nullptr, 1026);
    if (server == pomrel::kNoHandle)
        return 1;
    frame->Connections().SetServerHandle(server);
    QFile out(portFile);
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(QByteArray::number(engine.BoundTcpPort(server)) + "\n");
    out.close();
    QTimer::singleShot(int(seconds * 1000), [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    frame->Connections().SetServerHandle(pomrel::kNoHandle);
    engine.CloseConnection(server);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 4 && std::string(argv[1]) == "--demo") {
        QApplication qapp(argc, argv);
        return Demo(std::atof(argv[2]), argv[3]);
    }
    int windows = 32;
    double seconds = 30;
    int format = kDecimal;
    bool tile = true;
    bool changing = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--windows" && hasValue)
            windows = std::atoi(argv[++i]);
        else if (a == "--seconds" && hasValue)
            seconds = std::atof(argv[++i]);
        else if (a == "--format" && hasValue)
            format = std::atoi(argv[++i]);
        else if (a == "--layout" && hasValue)
            tile = std::strcmp(argv[++i], "cascade") != 0;
        else if (a == "--static")
            changing = false;
        else {
            std::fprintf(stderr,
                         "usage: %s [--windows N] [--seconds S] [--format F] [--layout tile|cascade] [--static]\n",
                         argv[0]);
            return 2;
        }
    }
    QApplication qapp(argc, argv);
    QTemporaryDir dir;
    AppOptions options;
    options.settingsFolder = dir.path().toStdString() + "/Orvane";
    options.executablePath = dir.path().toStdString() + "/kelvaro64";
    options.saveSettings = false;
    options.automationPort = 0;
    CKelvaro32App app(options);
    if (!app.InitInstance({}))
        return 1;
    CMainFrame* frame = app.mainFrame;
    frame->setGeometry(0, 0, 1280, 1000);

    std::vector<CKelvaro32Doc*> docs;
    for (int i = 0; i < windows; ++i) {
        CKelvaro32Doc* doc = app.NewDocument();
        doc->deviceId = static_cast<std::uint8_t>(1 + i);
        docs.push_back(doc);
        CKelvaro32View* view = frame->ActiveView();
        view->SetDisplayFormat(format);
        view->RepaintAll(true);
    }
    if (tile) {
        frame->MdiArea()->tileSubWindows();
    } else {
        frame->MdiArea()->cascadeSubWindows();
        for (CChildFrame* child : frame->Children())
            child->resize(700, 500);
    }
    QApplication::processEvents();

    // The masters: every register of every block gets a new value once a second.
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread writer([&] {
        std::uint16_t tick = 0;
        std::unique_lock lock(m);
        while (!cv.wait_for(lock, std::chrono::seconds(1), [&] { return stop; })) {
            if (!changing)
                continue;
            ++tick;
            for (CKelvaro32Doc* doc : docs) {
                std::lock_guard value(doc->valueLock);
                for (int k = 0; k < 1000; ++k)
                    doc->SetWord(k, static_cast<std::uint16_t>(k * 131 + tick * 7));
            }
        }
    });

    // Settle for two seconds (first full paints), then measure.
    double ui0 = 0, proc0 = 0;
    auto t0 = std::chrono::steady_clock::now();
    QTimer::singleShot(2000, [&] {
        ui0 = ThreadCpuSeconds();
        proc0 = ProcessCpuSeconds();
        t0 = std::chrono::steady_clock::now();
        QTimer::singleShot(int(seconds * 1000), [] { QCoreApplication::quit(); });
    });
    QCoreApplication::exec();
    const double ui = ThreadCpuSeconds() - ui0;
    const double proc = ProcessCpuSeconds() - proc0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    {
        std::lock_guard lock(m);
        stop = true;
    }
    cv.notify_all();
    writer.join();

    std::printf("platform=%s windows=%d format=%d layout=%s values=%s wall=%.1fs\n",
                qPrintable(QGuiApplication::platformName()), windows, format, tile ? "tile" : "cascade",
                changing ? "changing" : "static", wall);
    std::printf("ui-thread cpu: %.3f s = %.2f %% of one core (%.2f ms per second)\n", ui, 100.0 * ui / wall,
                1000.0 * ui / wall);
    std::printf("process cpu:   %.3f s = %.2f %% of one core\n", proc, 100.0 * proc / wall);
    for (CChildFrame* child : frame->Children())
        child->ForceClose();
    QApplication::processEvents();
    return 0;
}
