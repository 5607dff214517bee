// Tools > Traffic Monitor: every frame on every link, decoded, in a table that keeps up with a
// master polling flat out. The tap hands frames to a sink on its own thread; a 100 ms timer takes
// them in one swap and adds them to the rows in one insert, so the user-interface thread never
// waits on the tap and the view only ever asks for the rows on screen.
#pragma once

#include "monitor/TrafficMonitorModel.h"

#include <QAbstractTableModel>
#include <QMargins>
#include <QRect>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QKeyEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTimer;

namespace monitor {

class CaptureFile;
class TrafficJsonLog;
class TrafficMonitorSink;
class TrafficTap;

/// The rows as a Qt table model: shown row i is the plain model's, and the plain model says
/// exactly which rows come and go.
class TrafficTableModel : public QAbstractTableModel, private MonitorRowListener {
public:
    explicit TrafficTableModel(QObject* parent = nullptr);
    ~TrafficTableModel() override;
    TrafficMonitorModel& Rows() { return rows_; }
    const TrafficMonitorModel& Rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    /// Every shown row's cells may read differently (the values' format changed).
    void Refresh();

private:
    void RowsAboutToBeDropped(std::size_t count) override;
    void RowsDropped() override;
    void RowsAboutToBeAdded(std::size_t first, std::size_t count) override;
    void RowsAdded() override;
    void AboutToReset() override;
    void Reset() override;

    TrafficMonitorModel rows_;
};

class TrafficMonitorWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTickMs = 100;

    /// Listens to `tap` from now until the window goes; the tap must outlive it.
    TrafficMonitorWindow(TrafficTap& tap, QWidget* parent = nullptr);
    ~TrafficMonitorWindow() override;

    /// The timer's work: takes what the sink holds, adds it, follows the end unless the user
    /// scrolled up, and refreshes the status line (every fifth tick, or every tick while paused).
    void Tick();

    /// The filter controls as they stand, applied; false (and the status line says why) when
    /// a field does not read.
    bool ApplyFilter();
    void SetPaused(bool paused);
    void Clear();
    /// The selected rows, tab-separated, onto the clipboard.
    void CopyRows();
    void ShowBytes(bool on);
    /// Register values as raw words instead of the serving data window's format.
    void ShowRawWords(bool on);
    /// Which data window serves a point, and in which format (the program's open documents).
    void SetServingLookup(ServingLookup lookup);

    /// Where a window that would like `wanted` goes on a screen whose work area is `available`:
    /// no larger than the work area less a window manager's frame, and moved inside it.
    static QRect PlaceInside(const QRect& wanted, const QRect& available);
    /// The frame a window manager adds around the window, allowed for when placing it.
    static QMargins FrameAllowance() { return {8, 32, 8, 8}; }

    /// Starts a pcapng capture of every frame from now on (replacing one in progress).
    bool StartCapture(const QString& path, QString& error);
    void StopCapture();
    /// Writes the rows the window holds (shown or not) as a pcapng file, whole or not at all.
    bool SaveCapture(const QString& path, QString& error);
    /// Starts a JSON Lines log of every frame from now on (replacing one in progress).
    bool StartLog(const QString& path, QString& error);
    void StopLog();
    bool Capturing() const { return capture_ != nullptr; }
    bool Logging() const { return log_ != nullptr; }

    /// How file names are asked for (tests give one directly; empty: cancelled).
    std::function<QString(const QString& title, const QString& filter)> askFileName;

    TrafficTableModel& Model() { return *model_; }
    QTableView* Table() const { return table_; }
    QLabel* StatusLine() const { return status_; }
    TrafficMonitorSink& Sink() { return *sink_; }

protected:
    /// Shift+F1 enters What's This mode here too, unless the program has that key already.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString AskFileName(const QString& title, const QString& filter);
    void RefreshLinks();
    void RefreshFaults();
    void FitColumns();
    void RefreshStatus();
    void Report(const QString& text);

    TrafficTap& tap_;
    std::shared_ptr<TrafficMonitorSink> sink_;
    std::shared_ptr<CaptureFile> capture_;
    std::shared_ptr<TrafficJsonLog> log_;
    TrafficTableModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    QComboBox* link_ = nullptr;
    QLineEdit* unit_ = nullptr;
    QComboBox* function_ = nullptr;
    QLineEdit* address_ = nullptr;
    QComboBox* fault_ = nullptr;
    QCheckBox* errorsOnly_ = nullptr;
    QPushButton* pause_ = nullptr;
    QCheckBox* bytes_ = nullptr;
    QCheckBox* rawWords_ = nullptr;
    QPushButton* captureButton_ = nullptr;
    QPushButton* logButton_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* timer_ = nullptr;
    QString message_;
    std::size_t linksShown_ = 0;
    std::size_t faultsShown_ = 0;
    static constexpr unsigned kStatusEveryTicks = 5;
    unsigned ticks_ = 0;
    std::uint64_t tapDroppedAtOpen_ = 0;  // the tap's count covers its whole life
};

} // namespace monitor
