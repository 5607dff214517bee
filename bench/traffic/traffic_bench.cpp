// kelvaro_traffic_bench: what the traffic path costs the user-interface thread.
//
// Starts the application on the offscreen platform with 32 data windows: ten hold holding
// registers 1..10000 of device 1 (what the load generator reads), one of them shows traffic,
// the other 31 show data. kelvaro_loadgen then polls the Modbus/TCP server flat out with FC3 ×
// 125 registers. Each run alternates the two phases, traffic relayed and traffic off (no
// callback registered, so the engine does not even log), and reports per phase: requests/s,
// user-interface thread CPU, batches and words relayed per second, batches the engine dropped,
// and the worst lateness of a 10 ms timer on the user-interface thread (responsiveness).
//
//   kelvaro_traffic_bench [--loadgen PATH] [--seconds S] [--connections N] [--depth D] [--reps R] [--monitor 1]
//     (--monitor 1: the phases are Tools > Traffic Monitor open, following every frame, and
//     closed; the traffic relay runs in both, as in the desktop program. Reported besides: the
//     CPU of the monitor's ticks, the rows it holds and the frames dropped on the way.)
//   kelvaro_traffic_bench --demo SECONDS PORTFILE
//     (for screenshots: two windows in traffic mode, Hex above Decimal, serving Modbus/TCP on a
//     free port written to PORTFILE, for SECONDS; scripts/screenshot-traffic.sh drives it)

#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/TrafficRelay.h"
#include "document/CKelvaro32Doc.h"
#include "monitor/TrafficMonitorSink.h"
#include "monitor/TrafficMonitorWindow.h"
#include "monitor/TrafficTap.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QFile>
#include <QMdiArea>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

std::atomic<std::uint64_t> g_batches{0};
std::atomic<std::uint64_t> g_words{0};

double ThreadCpuSeconds();
CMainFrame* g_frame = nullptr;

// Counts the paints of the traffic window.
class PaintCounter : public QObject {
public:
    std::uint64_t paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};
PaintCounter g_paints;
double g_relaySeconds = 0;   // user-interface thread only
double g_monitorSeconds = 0; // user-interface thread only: inside the monitor's ticks

// Does what the application's TrafficCallback does (queue the relay on the user-interface
// thread), counting the batches and timing each relay there.
bool CountingCallback(std::uint32_t first, std::uint16_t second, std::uint16_t count)
{
    g_batches.fetch_add(1, std::memory_order_relaxed);
    g_words.fetch_add(count, std::memory_order_relaxed);
    return QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [first, second, count] {
            const double t0 = ThreadCpuSeconds();
            g_frame->RelayTraffic(first, second, count);
            g_relaySeconds += ThreadCpuSeconds() - t0;
        },
        Qt::QueuedConnection);
}

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Options {
    std::string loadgen =
#ifdef KV_LOADGEN
        KV_LOADGEN;
#else
        "kelvaro_loadgen";
#endif
    double seconds = 3;
    int connections = 1;
    int depth = 1;
    int reps = 3;
    bool monitor = false;
};

struct Result {
    double requestsPerSecond = 0;
    double uiCpuPercent = 0;       // of one core, over the loadgen's whole run
    double relayCpuPercent = 0;    // of that: inside RelayTraffic (ring and all 32 views)
    double processCpuPercent = 0;  // engine thread included
    double batchesPerSecond = 0;
    double paintsPerSecond = 0;    // of the traffic window
    double wordsPerSecond = 0;
    std::uint64_t engineDropped = 0;
    double worstLatenessMs = 0;
    double monitorCpuPercent = 0;  // of the UI thread's: inside the monitor's ticks
    bool ok = false;
};

// Runs the event loop, sleeping between events, until `done()` or `ms` milliseconds have passed.
// processEvents() with a time limit would spin instead and bill the spinning to the
// user-interface thread that is being measured.
template <class Done>
void RunEventLoop(qint64 ms, Done done)
{
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer elapsed;
    elapsed.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || elapsed.elapsed() >= ms)
            loop.quit();
    });
    poll.start(20);
    loop.exec();
}

Result RunPhase(CKelvaro32App& app, int port, const Options& o, bool relay, const char* label = nullptr)
{
    auto& engine = app.Engine();
    engine.EnableBufferCallback(relay ? &CountingCallback : nullptr);
    // Let anything still queued from the previous phase drain first.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);

    const std::uint64_t batches0 = g_batches.load(), words0 = g_words.load();
    const double relay0 = g_relaySeconds, monitor0 = g_monitorSeconds;
    const std::uint64_t paints0 = g_paints.paints;
    const std::uint64_t dropped0 = engine.DroppedTrafficBatches();
    double worstLateness = 0;
    QElapsedTimer tick;
    tick.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worstLateness = std::max(worstLateness, double(tick.nsecsElapsed()) * 1e-6 - 10.0);
        tick.restart();
    });
    probe.start(10);

    QProcess loadgen;
    loadgen.setProcessChannelMode(QProcess::MergedChannels);
    const double cpu0 = ThreadCpuSeconds(), proc0 = ProcessCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    loadgen.start(QString::fromStdString(o.loadgen),
                  {"--port", QString::number(port), "--connections", QString::number(o.connections), "--depth",
                   QString::number(o.depth), "--write-percent", "0", "--seconds", QString::number(o.seconds),
                   "--warmup", "0.5", "--label", label ? label : relay ? "relay" : "off"});
    const qint64 limitMs = qint64((o.seconds + 20) * 1000);
    RunEventLoop(limitMs, [&] { return loadgen.state() == QProcess::NotRunning; });
    if (loadgen.state() != QProcess::NotRunning) {
        loadgen.kill();
        loadgen.waitForFinished(2000);
    }
    const double elapsed = double(wall.nsecsElapsed()) * 1e-9;
    const double cpu = ThreadCpuSeconds() - cpu0, proc = ProcessCpuSeconds() - proc0;
    probe.stop();

    Result r;
    const QString out = QString::fromLocal8Bit(loadgen.readAll());
    for (const QString& line : out.split('\n'))
        if (line.startsWith("RESULT"))
            for (const QString& kv : line.split(' '))
                if (kv.startsWith("rps="))
                    r.requestsPerSecond = kv.mid(4).toDouble();
    r.ok = loadgen.exitStatus() == QProcess::NormalExit && loadgen.exitCode() == 0;
    if (!r.ok)
        std::fprintf(stderr, "loadgen failed:\n%s\n", out.toLocal8Bit().constData());
    r.uiCpuPercent = 100 * cpu / elapsed;
    r.relayCpuPercent = 100 * (g_relaySeconds - relay0) / elapsed;
    r.monitorCpuPercent = 100 * (g_monitorSeconds - monitor0) / elapsed;
    r.processCpuPercent = 100 * proc / elapsed;
    r.batchesPerSecond = double(g_batches.load() - batches0) / elapsed;
    r.paintsPerSecond = double(g_paints.paints - paints0) / elapsed;
    r.wordsPerSecond = double(g_words.load() - words0) / elapsed;
    r.engineDropped = engine.DroppedTrafficBatches() - dropped0;
    r.worstLatenessMs = worstLateness;
    return r;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
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
    frame->setGeometry(0, 0, 1000, 740);
    for (int i = 0; i < 2; ++i) {
        CKelvaro32Doc* doc = app.NewDocument();
        for (int k = 0; k < 1000; ++k)
            doc->SetWord(k, static_cast<std::uint16_t>(k * 11));
        CKelvaro32View* view = frame->ActiveView();
        view->SetDisplayFormat(i == 0 ? kHex : kDecimal);
        view->SetTrafficMode(true);
    }
    const QList<CChildFrame*> children = frame->Children();
    const QSize area = frame->MdiArea()->viewport()->size();
    for (int i = 0; i < children.size(); ++i)
        children[i]->setGeometry(0, i * area.height() / 2, area.width(), area.height() / 2);

    auto& engine = app.Engine();
    engine.SetTCPServicePort(0);
    const pomrel::Handle server = engine.OpenTCPConnection(nullptr, 1026);
    if (server == pomrel::kNoHandle)
        return 1;
    QFile out(portFile);
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(QByteArray::number(engine.BoundTcpPort(server)) + "\n");
    out.close();
    QTimer::singleShot(int(seconds * 1000), [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    engine.CloseConnection(server);
    return 0;
}

// Tools > Traffic Monitor open on the flat-out master, against the same program with it closed.
int RunMonitor(CKelvaro32App& app, int port, const Options& o)
{
    app.Engine().EnableBufferCallback(&CountingCallback);
    monitor::TrafficTap tap(app.Engine());
    std::printf("Traffic Monitor open vs closed; 32 windows (1 traffic), Modbus/TCP on port %d, loadgen FC3x125, "
                "%d connection(s) x depth %d, %.1f s per run, %d reps\n",
                port, o.connections, o.depth, o.seconds, o.reps);
    std::vector<Result> open, closed;
    std::vector<monitor::TappedFrame> sample;  // the last rows of a run, for the paint figure
    PaintCounter monitorPaints;
    std::vector<double> paintsPerSecond;
    bool ok = true;
    for (int rep = 0; rep < o.reps; ++rep)
        for (bool withMonitor : {true, false}) {
            std::unique_ptr<monitor::TrafficMonitorWindow> window;
            QTimer tick;
            const std::uint64_t tapDropped0 = tap.Dropped();
            if (withMonitor) {
                window = std::make_unique<monitor::TrafficMonitorWindow>(tap, app.mainFrame);
                window->setAttribute(Qt::WA_DeleteOnClose, false);
                window->resize(1100, 560);
                window->show();
                // The window's own timer, timed: the same 100 ms tick, its CPU counted.
                for (QTimer* t : window->findChildren<QTimer*>())
                    t->stop();
                QObject::connect(&tick, &QTimer::timeout, [&window] {
                    const double t0 = ThreadCpuSeconds();
                    window->Tick();
                    g_monitorSeconds += ThreadCpuSeconds() - t0;
                });
                tick.start(monitor::TrafficMonitorWindow::kTickMs);
                window->Table()->viewport()->installEventFilter(&monitorPaints);
                RunEventLoop(300, [] { return false; });
            }
            const std::uint64_t paints0 = monitorPaints.paints;
            QElapsedTimer phase;
            phase.start();
            const Result r = RunPhase(app, port, o, true, withMonitor ? "monitor" : "closed");
            if (window)
                paintsPerSecond.push_back(double(monitorPaints.paints - paints0) / (double(phase.nsecsElapsed()) * 1e-9));
            ok = ok && r.ok;
            std::printf("rep %d %-7s: %8.0f req/s  UI thread %5.1f %% (monitor ticks %5.2f %%, relay %4.2f %%)  process "
                        "%5.1f %%  worst timer lateness %.1f ms",
                        rep + 1, withMonitor ? "monitor" : "closed", r.requestsPerSecond, r.uiCpuPercent,
                        r.monitorCpuPercent, r.relayCpuPercent, r.processCpuPercent, r.worstLatenessMs);
            if (window) {
                const auto& rows = window->Model().Rows();
                std::printf("  rows kept %zu, dropped by the row limit %llu, before the window %llu",
                            rows.KeptCount(), static_cast<unsigned long long>(rows.DroppedRows()),
                            static_cast<unsigned long long>(tap.Dropped() - tapDropped0 + window->Sink().Dropped()));
                std::printf("  %.1f paints/s", paintsPerSecond.back());
                sample.clear();
                for (std::size_t i = rows.KeptCount() - std::min<std::size_t>(rows.KeptCount(), 2000); i < rows.KeptCount(); ++i)
                    sample.push_back(rows.Kept(i));
            }
            std::printf("\n");
            (withMonitor ? open : closed).push_back(r);
        }
    auto med = [](const std::vector<Result>& v, double Result::*field) {
        std::vector<double> x;
        for (const Result& r : v)
            x.push_back(r.*field);
        return Median(x);
    };
    const double uiOpen = med(open, &Result::uiCpuPercent), uiClosed = med(closed, &Result::uiCpuPercent);

    // What one paint of the monitor's rows costs, full of rows and following the end.
    {
        monitor::TrafficMonitorWindow window(tap, app.mainFrame);
        window.setAttribute(Qt::WA_DeleteOnClose, false);
        window.resize(1100, 560);
        window.show();
        RunEventLoop(300, [] { return false; });
        window.Sink().Take(sample);
        window.Tick();
        const int paints = 200;
        const double p0 = ThreadCpuSeconds();
        for (int i = 0; i < paints; ++i)
            window.Table()->viewport()->repaint();
        const double rowsMs = 1000 * (ThreadCpuSeconds() - p0) / paints;
        const double w0 = ThreadCpuSeconds();
        for (int i = 0; i < paints; ++i)
            window.repaint();
        std::printf("full repaint of the monitor's rows: %.3f ms, of the whole window %.3f ms; %.1f paints/s while open\n",
                    rowsMs, 1000 * (ThreadCpuSeconds() - w0) / paints, Median(paintsPerSecond));
    }
    std::printf("\nmedians: monitor open %.0f req/s, UI thread %.1f %% (ticks %.2f %%) | closed %.0f req/s, UI thread "
                "%.1f %%\n",
                med(open, &Result::requestsPerSecond), uiOpen, med(open, &Result::monitorCpuPercent),
                med(closed, &Result::requestsPerSecond), uiClosed);
    std::printf("RESULT monitor_rps=%.0f ui_monitor=%.2f ui_closed=%.2f ticks=%.2f\n",
                med(open, &Result::requestsPerSecond), uiOpen, uiClosed, med(open, &Result::monitorCpuPercent));
    app.Engine().EnableBufferCallback(&TrafficCallback);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const bool demo = argc == 4 && std::string(argv[1]) == "--demo";
    if (!demo && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    if (demo)
        return Demo(std::atof(argv[2]), argv[3]);
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--loadgen")
            o.loadgen = argv[i + 1];
        else if (a == "--seconds")
            o.seconds = std::atof(argv[i + 1]);
        else if (a == "--connections")
            o.connections = std::atoi(argv[i + 1]);
        else if (a == "--depth")
            o.depth = std::atoi(argv[i + 1]);
        else if (a == "--reps")
            o.reps = std::atoi(argv[i + 1]);
        else if (a == "--monitor")
            o.monitor = std::atoi(argv[i + 1]) != 0;
        else {
            std::fprintf(stderr,
                         "usage: %s [--loadgen PATH] [--seconds S] [--connections N] [--depth D] [--reps R] [--monitor 1]\n",
                         argv[0]);
            return 2;
        }
    }

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
    frame->resize(1280, 900);

    CKelvaro32View* trafficView = nullptr;
    for (int i = 0; i < 32; ++i) {
        CKelvaro32Doc* doc = app.NewDocument();
        if (i < 10) {
            doc->deviceId = 1;
            doc->startAddress = static_cast<std::uint16_t>(1 + 1000 * i);
        } else {
            doc->deviceId = static_cast<std::uint8_t>(2 + i);
        }
        doc->length = 1000;
        for (int k = 0; k < 1000; ++k)
            doc->SetWord(k, static_cast<std::uint16_t>(k * 7 + i));
        doc->SetupViews();
        if (i == 0)
            trafficView = frame->ActiveView();
    }
    // The first window, in traffic mode, in front and large.
    for (CChildFrame* child : frame->Children())
        if (child->View() == trafficView) {
            child->raise();
            child->resize(1200, 600);
        }
    trafficView->SetTrafficMode(true);
    trafficView->installEventFilter(&g_paints);

    auto& engine = app.Engine();
    engine.SetTCPServicePort(0);
    const pomrel::Handle server = engine.OpenTCPConnection(nullptr, 1026);
    if (server == pomrel::kNoHandle) {
        std::fprintf(stderr, "cannot open the Modbus/TCP server: %s\n", engine.LastOpenError().c_str());
        return 1;
    }
    const int port = engine.BoundTcpPort(server);
    g_frame = frame;
    // Let the first paints of all 32 windows happen before anything is measured.
    RunEventLoop(1500, [] { return false; });
    {
        // No master at all: what the 32 windows cost by themselves (refresh timers, banner).
        const double c0 = ThreadCpuSeconds();
        QElapsedTimer idle;
        idle.start();
        RunEventLoop(2000, [] { return false; });
        std::printf("idle, no master: UI thread %.1f %%\n", 100 * (ThreadCpuSeconds() - c0) / (double(idle.nsecsElapsed()) * 1e-9));
    }
    if (o.monitor) {
        const int status = RunMonitor(app, port, o);
        engine.CloseConnection(server);
        return status;
    }
    std::printf("32 windows (1 traffic, 31 data), Modbus/TCP on port %d, loadgen FC3x125, %d connection(s) x depth %d, "
                "%.1f s per run, %d reps\n",
                port, o.connections, o.depth, o.seconds, o.reps);

    std::vector<Result> on, off;
    bool ok = true;
    for (int rep = 0; rep < o.reps; ++rep)
        for (bool relay : {true, false}) {
            const Result r = RunPhase(app, port, o, relay);
            ok = ok && r.ok;
            std::printf("rep %d %-5s: %8.0f req/s  UI thread %5.1f %% (relay %4.2f %%)  process %5.1f %%  %6.1f batches/s  "
                        "%8.0f words/s  %5.1f paints/s  engine dropped %llu  worst timer lateness %.1f ms\n",
                        rep + 1, relay ? "relay" : "off", r.requestsPerSecond, r.uiCpuPercent, r.relayCpuPercent,
                        r.processCpuPercent,
                        r.batchesPerSecond, r.wordsPerSecond, r.paintsPerSecond, static_cast<unsigned long long>(r.engineDropped),
                        r.worstLatenessMs);
            (relay ? on : off).push_back(r);
        }
    engine.EnableBufferCallback(&TrafficCallback);
    engine.CloseConnection(server);

    // Upper bound of the traffic window's painting: every batch that scrolls repaints it whole.
    const int paints = 200;
    const double p0 = ThreadCpuSeconds();
    for (int i = 0; i < paints; ++i)
        trafficView->repaint();
    const double paintMs = 1000 * (ThreadCpuSeconds() - p0) / paints;
    std::printf("full repaint of the traffic window (%d lines): %.3f ms\n",
                static_cast<int>(trafficView->Traffic().Lines().size()), paintMs);

    auto med = [](const std::vector<Result>& v, double Result::*field) {
        std::vector<double> x;
        for (const Result& r : v)
            x.push_back(r.*field);
        return Median(x);
    };
    const double rpsOn = med(on, &Result::requestsPerSecond);
    const double uiOn = med(on, &Result::uiCpuPercent), uiOff = med(off, &Result::uiCpuPercent);
    const double path = uiOn - uiOff;
    std::printf("\nmedians: relay %0.f req/s, UI thread %.1f %% | off %.0f req/s, UI thread %.1f %%\n", rpsOn, uiOn,
                med(off, &Result::requestsPerSecond), uiOff);
    const double relayPct = med(on, &Result::relayCpuPercent);
    std::printf("traffic path on the UI thread at %.0f req/s: %.2f %% of one core inside the relay (ring + 32 views), "
                "%.1f %% UI thread relay-on minus relay-off",
                rpsOn, relayPct, path);
    std::printf("\nrelayed: %.1f batches/s, %.0f words/s; worst 10 ms timer lateness %.1f ms (relay) / %.1f ms (off)\n",
                med(on, &Result::batchesPerSecond), med(on, &Result::wordsPerSecond), med(on, &Result::worstLatenessMs),
                med(off, &Result::worstLatenessMs));
    const double paintsOn = med(on, &Result::paintsPerSecond), paintsOff = med(off, &Result::paintsPerSecond);
    std::printf("traffic path total: relay %.2f %% + traffic window paints (%.1f/s relay on, %.1f/s off, each at most "
                "%.3f ms) %.2f %% = %.2f %% of one core\n",
                relayPct, paintsOn, paintsOff, paintMs, paintMs * (paintsOn - paintsOff) / 10,
                relayPct + paintMs * (paintsOn - paintsOff) / 10);
    std::printf("RESULT rps=%.0f ui_on=%.2f ui_off=%.2f path=%.2f relay=%.3f batches=%.1f words=%.0f\n", rpsOn, uiOn,
                uiOff, path, relayPct,
                med(on, &Result::batchesPerSecond), med(on, &Result::wordsPerSecond));
    return ok ? 0 : 1;
}
