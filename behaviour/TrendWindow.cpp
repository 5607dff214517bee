#include "behaviour/TrendWindow.h"

#include "document/FileAccess.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLineSeries>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace behaviour {

TrendWindow::TrendWindow(std::unique_ptr<PointSource> points, QWidget* parent)
    : QWidget(parent, Qt::Window), points_(std::move(points))
{
    setObjectName("trend");
    setWindowTitle("Trend");
    resize(900, 480);
    auto* layout = new QVBoxLayout(this);

    chart_ = new QChart;
    chart_->legend()->setVisible(true);
    chart_->legend()->setAlignment(Qt::AlignBottom);
    timeAxis_ = new QValueAxis(chart_);
    timeAxis_->setTitleText("seconds ago");
    timeAxis_->setRange(-TrendSeries::kWindowMs / 1000.0, 0.0);
    timeAxis_->setLabelFormat("%.0f");
    valueAxis_ = new QValueAxis(chart_);
    valueAxis_->setRange(0.0, 1.0);
    chart_->addAxis(timeAxis_, Qt::AlignBottom);
    chart_->addAxis(valueAxis_, Qt::AlignLeft);
    view_ = new QChartView(chart_, this);
    view_->setObjectName("chart");
    view_->setRenderHint(QPainter::Antialiasing);
    view_->setWhatsThis("The chosen points over the last minute, newest at the right.");

    auto* row = new QHBoxLayout;
    list_ = new QListWidget(this);
    list_->setObjectName("points");
    list_->setMaximumWidth(260);
    list_->setWhatsThis("The points plotted. Add them from a data window's context menu (Add to Trend) or from "
                        "the Behaviour window (Trend).");
    row->addWidget(view_, 1);
    row->addWidget(list_);
    layout->addLayout(row, 1);

    auto* buttons = new QHBoxLayout;
    pause_ = new QPushButton("&Pause", this);
    pause_->setObjectName("pause");
    pause_->setCheckable(true);
    pause_->setWhatsThis("Stops sampling so the lines hold still; press again to go on.");
    buttons->addWidget(pause_);
    auto button = [&](const char* text, const char* name, const char* help, auto slot) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setWhatsThis(help);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
    };
    button("&Remove Point", "removePoint", "Stops plotting the point selected in the list.", [this] {
        if (const int r = list_->currentRow(); r >= 0 && r < static_cast<int>(series_.size()))
            RemovePoint(series_[static_cast<std::size_t>(r)]->Point());
    });
    buttons->addStretch();
    button("Export &CSV...", "exportCsv", "Writes the samples shown as CSV: a time column, then one per point.",
           [this] { ExportCsv(); });
    button("Export P&NG...", "exportPng", "Writes the chart as a PNG picture.", [this] { ExportPng(); });
    layout->addLayout(buttons);

    timer_ = new QTimer(this);
    timer_->setInterval(static_cast<int>(TrendSeries::kMinSpacingMs));
    connect(timer_, &QTimer::timeout, this, [this] { Tick(QDateTime::currentMSecsSinceEpoch()); });
}

void TrendWindow::showEvent(QShowEvent* event)
{
    timer_->start();
    QWidget::showEvent(event);
}

void TrendWindow::hideEvent(QHideEvent* event)
{
    timer_->stop();
    QWidget::hideEvent(event);
}

TrendWindow::~TrendWindow() = default;

bool TrendWindow::Paused() const { return pause_->isChecked(); }

void TrendWindow::AddPoint(const TrendPoint& point)
{
    for (const auto& s : series_)
        if (s->Point() == point)
            return;
    series_.push_back(std::make_unique<TrendSeries>(point));
    auto* line = new QLineSeries(chart_);
    line->setName(QString::fromStdString(point.Label()));
    chart_->addSeries(line);
    line->attachAxis(timeAxis_);
    line->attachAxis(valueAxis_);
    lines_.push_back(line);
    list_->addItem(QString::fromStdString(point.Label()));
}

void TrendWindow::RemovePoint(const TrendPoint& point)
{
    for (std::size_t i = 0; i < series_.size(); ++i) {
        if (series_[i]->Point() != point)
            continue;
        chart_->removeSeries(lines_[i]);
        delete lines_[i];
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
        series_.erase(series_.begin() + static_cast<std::ptrdiff_t>(i));
        delete list_->takeItem(static_cast<int>(i));
        return;
    }
}

void TrendWindow::Tick(std::int64_t nowMs)
{
    if (Paused())
        return;
    for (auto& s : series_)
        if (auto v = SamplePoint(*points_, s->Point()); v && std::isfinite(*v))
            s->Add(nowMs, *v);
    Redraw(nowMs);
}

void TrendWindow::Redraw(std::int64_t nowMs)
{
    double low = INFINITY;
    double high = -INFINITY;
    for (std::size_t i = 0; i < series_.size(); ++i) {
        QList<QPointF> points;
        const auto& samples = series_[i]->Samples();
        points.reserve(static_cast<qsizetype>(samples.size()));
        for (const TrendSample& s : samples) {
            if (s.ms <= nowMs - TrendSeries::kWindowMs)
                continue;
            points.append(QPointF(static_cast<double>(s.ms - nowMs) / 1000.0, s.value));
            low = std::min(low, s.value);
            high = std::max(high, s.value);
        }
        lines_[i]->replace(points);
    }
    if (low > high)
        return;
    // A flat line sits in the middle of a band around it rather than on an edge.
    const double margin = high > low ? (high - low) * 0.05 : std::max(1.0, std::abs(high) * 0.05);
    valueAxis_->setRange(low - margin, high + margin);
}

std::string TrendWindow::CsvText() const
{
    std::vector<const TrendSeries*> all;
    for (const auto& s : series_)
        all.push_back(s.get());
    return TrendCsv(all);
}

void TrendWindow::Tell(const QString& text)
{
    if (tell)
        return tell(text);
    QMessageBox::warning(this, "Kelvaro64", text);
}

QString TrendWindow::AskFileName(const QString& title, const QString& name, const QString& filter)
{
    if (askFileName)
        return askFileName(filter);
    return QFileDialog::getSaveFileName(this, title, name, filter);
}

void TrendWindow::ExportCsv()
{
    const QString path = AskFileName("Export Trend as CSV", "trend.csv", "CSV (*.csv);;All Files (*)");
    if (path.isEmpty())
        return;
    const std::string text = CsvText();
    std::string why;
    if (!WriteFileAtomically(path.toStdString(), std::vector<std::uint8_t>(text.begin(), text.end()), &why))
        Tell(QString("%1 could not be written: %2").arg(path, QString::fromStdString(why)));
}

void TrendWindow::ExportPng()
{
    const QString path = AskFileName("Export Trend as PNG", "trend.png", "PNG pictures (*.png);;All Files (*)");
    if (path.isEmpty())
        return;
    if (!view_->grab().save(path, "PNG"))
        Tell(QString("%1 could not be written").arg(path));
}

} // namespace behaviour
