// The data window's view: shows one document's block (or the traffic), registers the block
// with the engine and refreshes once a second.
#pragma once

#include "behaviour/TrendSeries.h"
#include "document/DocumentView.h"
#include "engine/ProtocolEngine.h"
#include "document/LogFont.h"
#include "view/DataViewModel.h"
#include "view/DisplayLayout.h"
#include "view/TrafficPainter.h"
#include "view/ValueFormat.h"
#include "view/Workspace.h"

#include <QFont>
#include <QRegion>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CKelvaro32Doc;
class QComboBox;
class QLabel;
class QTimer;
class QLineEdit;
class QMenu;
class QPainter;
class QPrinter;
class QScrollBar;

class CKelvaro32View : public QWidget, public DocumentView {
    Q_OBJECT
public:
    CKelvaro32View(CKelvaro32Doc* doc, Workspace& workspace, QWidget* parent = nullptr);
    ~CKelvaro32View() override;

    CKelvaro32Doc* Document() const { return doc_; }
    /// What the view was handed: aliases, connection state, traffic, the engine's blocks.
    Workspace& Services() const { return model_.Services(); }
    const DataViewModel& Model() const { return model_; }
    pomrel::Handle BlockHandle() const { return model_.BlockHandle(); }

    /// Removes the previous block, then defines the document's block with the engine.
    void RegisterBlock();

    // DocumentView
    void SetupHeader() override;
    void ShiftTraffic(int shift) override;
    void RepaintAll(bool erase) override;
    int DisplayFormat() const override { return model_.DisplayFormat(); }
    void SetDisplayFormat(int format) override { model_.SetDisplayFormat(format); }

    /// The refresh timer's tick (timer id 10, 1 s): blinks the banner and repaints the items
    /// whose text changed.
    void OnRefreshTimer();

    /// Formats every item from the first shown point and schedules a repaint of the rectangle
    /// of each one whose text changed. Returns the number of rectangles.
    int RefreshItems();
    /// The font command reaches every view with the active document's font, not each view's own.
    void ApplyFont(const LogFont& font) override { SetItemFont(font, true); UpdateScrollRange(); RepaintAll(true); }
    /// Sets the scroll bar's range from the client height and the block length.
    void UpdateScrollRange();
    /// Horizontal scroll by whole columns.
    void Scroll(layout::ScrollCode code, int thumb = 0);
    /// The point under a client position (of the last paint), or -1.
    int HitTest(QPoint pos) const;
    const layout::DisplayLayout& Layout() const { return layout_; }
    /// The item last drawn (or about to be drawn) for point k; empty after an erase.
    const std::string& CachedItem(int k) const;
    /// Prints the block's items column after column over as many pages as needed.
    /// Returns the number of pages.
    int PrintItems(QPrinter& printer);
    /// True while the block is in an ENRON range with EnronMode set.
    bool EnronAppliesNow() const;

    /// The tooltip of the point under a client position: what masters did to it, as the
    /// workspace tells it; empty over no point or when there is nothing to tell.
    QString AccessToolTip(QPoint pos) const;
    /// The label colour of a mark (Display > Access Marks); invalid for kNone (the foreground).
    static QColor AccessMarkColour(AccessMark mark);
    /// The mark point k was last painted or refreshed with (kNone while the marks are off).
    AccessMark ShownMark(int k) const;

    // Header controls (null before SetupHeader). A view not yet shown makes them when it is
    // shown or when one of them is asked for: the headless program's windows never need them.
    QLabel* Banner() { MakeHeaderControls(); return banner_; }
    QLineEdit* DeviceIdField() { MakeHeaderControls(); return deviceEdit_; }
    QLineEdit* AddressField() { MakeHeaderControls(); return addressEdit_; }
    QLineEdit* LengthField() { MakeHeaderControls(); return lengthEdit_; }
    QComboBox* PointTypeList() { MakeHeaderControls(); return typeList_; }
    QScrollBar* HorizontalBar() const { return hbar_; }

    // Traffic display (TrafficView.cpp).
    bool TrafficMode() const { return trafficMode_; }
    /// Show Data / Show Traffic: keeps the lines, hides the header controls in traffic mode.
    void SetTrafficMode(bool on);
    const TrafficLines& Traffic() const;
    /// Paints the traffic that arrived since the last paint (the pacing timer's tick).
    void FlushTrafficPaint();
    bool TrafficPaintPending() const { return !trafficDirty_.isEmpty(); }

    /// Point k as a value of the view's format: its first register's address and word layout.
    behaviour::TrendPoint PointAt(int pointIndex) const;
    /// The context menu of point k (Add Generator..., Add to Trend), owned by `parent`.
    QMenu* PointMenu(int pointIndex, QWidget* parent);

signals:
    void AddGeneratorAsked(const behaviour::TrendPoint& point);
    void AddToTrendAsked(const behaviour::TrendPoint& point);

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    /// Point editing: opens the write dialog of the point under the cursor (not in traffic mode).
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    /// Tooltips: the access statistics of the point under the mouse.
    bool event(QEvent* event) override;

private:
    CKelvaro32Doc* doc_;
    DataViewModel model_;
    int refreshTimer_ = 0;

    // Data mode (CKelvaro32View.cpp).
    void PaintData(QPaintEvent* event);
    void MeasureHeader();
    void SetItemFont(const LogFont& font, bool useMaxWidth);
    int ClientHeight() const;
    int ColumnChars() const;
    QRect ItemRect(int k, int textWidth) const;
    void FormatAllIntoCache();
    void ApplyBlockChange();
    void CreateHeaderControls();
    void MakeHeaderControls();
    bool headerWanted_ = false;        // SetupHeader ran: the controls exist or wait for a show
    void FillDeviceId();
    void FillAddress();
    void FillLength();
    void OnDeviceIdChanged(const QString& text);
    void OnAddressChanged(const QString& text);
    void OnLengthChanged(const QString& text);
    void OnPointTypeChanged(int index);
    /// Shows a length the model cut and re-registers the block, unless the edit was refused.
    void AfterHeaderEdit(DataViewModel::Edit edit);
    void OnScrollAction(int action);
    QString CurrentBannerText() const;

    layout::DisplayLayout layout_;
    QFont headerFont_;                 // the fixed-pitch system font: W and H
    QFont itemFont_;
    LogFont itemLogFont_;              // what itemFont_ was made from
    // Made by the first paint: a window never shown (all of the headless program's) keeps none.
    std::vector<std::string> cache_;
    bool cacheValid_ = false;          // false after an erase: the next paint formats everything
    std::string scratch_;
    // Access Marks: asked of the workspace with every full format and refresh; empty while off.
    bool TakeMarks(std::vector<AccessMark>& into);
    std::vector<AccessMark> marks_;
    std::vector<AccessMark> newMarks_;
    std::string label_;
    bool bannerVisiblePhase_ = false;
    QLabel* banner_ = nullptr;         // id 13
    QLineEdit* deviceEdit_ = nullptr;  // id 6
    QLineEdit* addressEdit_ = nullptr; // id 7
    QLineEdit* lengthEdit_ = nullptr;  // id 8
    QComboBox* typeList_ = nullptr;    // id 1
    QScrollBar* hbar_ = nullptr;

    void PaintTrafficMode(QPaintEvent* event);
    TrafficGeometry CurrentTrafficGeometry();
    const FontTextMeasurer& TrafficMeasurer();
    bool trafficMode_ = false;
    bool paintedTraffic_ = false;   // the last paint was in traffic mode: data top 0
    TrafficLines& Lines();
    // Made when traffic first comes: a document without traffic (thousands, headless) keeps
    // neither the lines (an empty deque already holds 600 bytes) nor the widths (2 kB).
    std::unique_ptr<TrafficLines> trafficLines_;
    std::unique_ptr<FontTextMeasurer> trafficMeasurer_;   // for itemFont_
    QRegion trafficDirty_;                    // new traffic text not yet painted
    QTimer* trafficPaintTimer_ = nullptr;     // paces those paints (FlushTrafficPaint)
};
