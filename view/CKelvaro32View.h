// The data window's view: shows one document's block (or the traffic), registers the block
// with the engine and refreshes once a second.
#pragma once

#include "document/DocumentView.h"
#include "engine/ProtocolEngine.h"
#include "view/ValueFormat.h"

#include <QWidget>

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

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    CKelvaro32Doc* doc_;
    pomrel::Handle blockHandle_ = pomrel::kNoHandle;
    int refreshTimer_ = 0;
};
