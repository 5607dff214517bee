// The data window's view: shows one document's block (or the traffic), registers the block
// with the engine and refreshes once a second.
#pragma once

#include "document/DocumentView.h"
#include "engine/ProtocolEngine.h"
#include "view/TrafficPainter.h"
#include "view/ValueFormat.h"

#include <QWidget>
#include <optional>

class CKelvaro32Doc;

class CKelvaro32View : public QWidget, public DocumentView {
    Q_OBJECT
public:
    CKelvaro32View(CKelvaro32Doc* doc, QWidget* parent = nullptr);
    ~CKelvaro32View() override;

    CKelvaro32Doc* Document() const { return doc_; }
    pomrel::Handle BlockHandle() const { return blockHandle_; }
    int displayFormat = kDecimal;

    /// Removes the previous block, then defines the document's block with the engine.
    void RegisterBlock();

    // DocumentView
    void SetupHeader() override;
    void ShiftTraffic(int shift) override;
    void RepaintAll(bool erase) override;

    /// The refresh timer's tick (timer id 10, 1 s).
    void OnRefreshTimer();

    // Traffic display (TrafficView.cpp).
    bool TrafficMode() const { return trafficMode_; }
    /// Show Data / Show Traffic: keeps the lines, hides the header controls in traffic mode.
    void SetTrafficMode(bool on);
    const TrafficLines& Traffic() const { return trafficLines_; }

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    CKelvaro32Doc* doc_;
    pomrel::Handle blockHandle_ = pomrel::kNoHandle;
    int refreshTimer_ = 0;

    void PaintTrafficMode(QPaintEvent* event);
    TrafficGeometry CurrentTrafficGeometry();
    const FontTextMeasurer& TrafficMeasurer();
    bool trafficMode_ = false;
    bool paintedTraffic_ = false;   // the last paint was in traffic mode: data top 0
    TrafficLines trafficLines_;
    std::optional<FontTextMeasurer> trafficMeasurer_;   // for the document's font below
    LogFont trafficFont_;
};
