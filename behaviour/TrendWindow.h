// Tools > Trend: chosen points plotted against time, the last minute at up to 20 samples a
// second, each point a line named in the legend. Sampling reads the documents' words on this
// window's timer (the user-interface thread, where documents open and close).
#pragma once

#include "behaviour/TrendSeries.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QChart;
class QChartView;
class QLineSeries;
class QListWidget;
class QPushButton;
class QTimer;
class QValueAxis;

namespace behaviour {

class TrendWindow : public QWidget {
    Q_OBJECT
public:
    /// `points` finds the chosen points in the open data windows.
    explicit TrendWindow(std::unique_ptr<PointSource> points, QWidget* parent = nullptr);
    ~TrendWindow() override;

    /// Adds a point to plot (once; a point already plotted stays as it is).
    void AddPoint(const TrendPoint& point);
    void RemovePoint(const TrendPoint& point);
    const std::vector<std::unique_ptr<TrendSeries>>& Series() const { return series_; }
    QChart* Chart() const { return chart_; }
    QListWidget* Points() const { return list_; }
    QPushButton* PauseButton() const { return pause_; }
    bool Paused() const;

    /// The sampling timer's tick at `nowMs` (ms since 1970): each point sampled unless paused
    /// (a point no window serves is passed over), then the lines redrawn.
    void Tick(std::int64_t nowMs);
    /// The CSV text of every point's samples.
    std::string CsvText() const;
    void ExportCsv();
    void ExportPng();

    /// How file names are asked for (tests give one directly).
    std::function<QString(const QString& filter)> askFileName;
    /// Failures are told here (tests read them instead of a message box).
    std::function<void(const QString& text)> tell;

protected:
    // The timer runs while the window is shown: a closed window costs nothing.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Redraw(std::int64_t nowMs);
    void Tell(const QString& text);
    QString AskFileName(const QString& title, const QString& name, const QString& filter);

    std::unique_ptr<PointSource> points_;
    std::vector<std::unique_ptr<TrendSeries>> series_;
    std::vector<QLineSeries*> lines_;
    QChart* chart_ = nullptr;
    QChartView* view_ = nullptr;
    QValueAxis* timeAxis_ = nullptr;
    QValueAxis* valueAxis_ = nullptr;
    QListWidget* list_ = nullptr;
    QPushButton* pause_ = nullptr;
    QTimer* timer_ = nullptr;
};

} // namespace behaviour
