#include "app/TrafficRelay.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "document/CKelvaro32Doc.h"

#include <QMetaObject>
#include <QPointer>
#include <atomic>

namespace {
// Written once before the callback is registered; read on the engine thread.
std::atomic<CMainFrame*> g_trafficTarget{nullptr};
} // namespace

void InstallTrafficCallback(CMainFrame* frame)
{
    g_trafficTarget.store(frame, std::memory_order_release);
    frame->App().Engine().EnableBufferCallback(&TrafficCallback);
}

bool TrafficCallback(std::uint32_t first, std::uint16_t second, std::uint16_t count)
{
    CMainFrame* frame = g_trafficTarget.load(std::memory_order_acquire);
    if (!frame)
        return false;
    return QMetaObject::invokeMethod(
        frame, [frame, first, second, count] { frame->RelayTraffic(first, second, count); }, Qt::QueuedConnection);
}

void CMainFrame::RelayTraffic(std::uint32_t first, std::uint32_t second, std::uint32_t count)
{
    if (count > TrafficRing::kCapacity)
        return;
    // One fixed buffer: nothing is allocated per batch.
    static std::uint16_t buffer[TrafficRing::kCapacity];
    app_.Engine().ReadDebugData(first, buffer, static_cast<std::uint16_t>(second), static_cast<std::uint16_t>(count));
    const int shift = traffic_.AppendTraffic(buffer, static_cast<int>(count));
    for (CKelvaro32Doc* doc : app_.Documents())
        doc->ShiftTraffic(shift);
}
