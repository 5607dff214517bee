#include "app/TrafficRelay.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "document/CKelvaro32Doc.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <atomic>

namespace {
// The frame that receives traffic. Touched only on the user-interface thread: the engine thread
// never sees a frame pointer, so a frame deleted while the engine still runs cannot be reached.
QPointer<CMainFrame> g_trafficTarget;
// Bumped at every install; a batch announced for an earlier frame (and its engine) is skipped.
std::atomic<std::uint32_t> g_generation{0};
} // namespace

void InstallTrafficCallback(CMainFrame* frame)
{
    g_trafficTarget = frame;
    g_generation.fetch_add(1, std::memory_order_acq_rel);
    frame->App().Engine().EnableBufferCallback(&TrafficCallback);
}

bool TrafficCallback(std::uint32_t first, std::uint16_t second, std::uint16_t count)
{
    // The application object lives on the user-interface thread for the whole run; posting to it
    // keeps the batches in the engine's order.
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    const std::uint32_t generation = g_generation.load(std::memory_order_acquire);
    return QMetaObject::invokeMethod(
        app,
        [generation, first, second, count] {
            CMainFrame* frame = g_trafficTarget.data();
            if (frame && generation == g_generation.load(std::memory_order_acquire))
                frame->RelayTraffic(first, second, count);
        },
        Qt::QueuedConnection);
}

void CMainFrame::RelayTraffic(std::uint32_t first, std::uint32_t second, std::uint32_t count)
{
    if (count > static_cast<std::uint32_t>(TrafficRing::kCapacity))
        return;
    // One fixed buffer: nothing is allocated per batch.
    static std::uint16_t buffer[TrafficRing::kCapacity];
    app_.Engine().ReadDebugData(first, buffer, static_cast<std::uint16_t>(second), static_cast<std::uint16_t>(count));
    const int shift = traffic_.AppendTraffic(buffer, static_cast<int>(count));
    // Indexed: a view must not be able to invalidate an iterator by what it does here.
    const auto& docs = app_.Documents().All();
    for (std::size_t i = 0; i < docs.size(); ++i)
        docs[i]->ShiftTraffic(shift);
}
