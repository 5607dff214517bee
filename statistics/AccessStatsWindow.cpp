#include "statistics/AccessStatsWindow.h"

#include "document/FileAccess.h"
#include "engine/ProtocolEngine.h"
#include "statistics/AccessTexts.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QWhatsThis>

#include <algorithm>

namespace statistics {

namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }

// What identifies a row across snapshots: the same keys in the same order is the same table.
std::vector<std::uint64_t> Keys(const AccessStatsModel& m)
{
    std::vector<std::uint64_t> keys(m.ShownCount());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto& p = m.Shown(i);
        keys[i] = (std::uint64_t(p.unit) << 40) | (std::uint64_t(p.type) << 32) | p.address;
    }
    return keys;
}

std::vector<std::string> Keys(const UnservedModel& m)
{
    std::vector<std::string> keys(m.ShownCount());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto& r = m.Shown(i);
        keys[i] = r.link + '\0' + std::to_string(r.unit) + ' ' + std::to_string(r.function) + ' ' +
                  std::to_string(r.address) + ' ' + std::to_string(r.quantity);
    }
    return keys;
}

bool RightAligned(const AccessStatsModel*, int column)
{
    return column == AccessStatsModel::kUnit || column == AccessStatsModel::kAddress ||
           column == AccessStatsModel::kReads || column == AccessStatsModel::kWrites ||
           column == AccessStatsModel::kExceptions;
}

bool RightAligned(const UnservedModel*, int column)
{
    return column == UnservedModel::kUnit || column == UnservedModel::kAddress || column == UnservedModel::kQuantity ||
           column == UnservedModel::kCount;
}

} // namespace

std::vector<pomrel::PointAccess> AllServedPoints(const pomrel::ProtocolEngine& engine)
{
    // The engine answers per unit and type; 1024 questions a second cost it next to nothing
    // when most units serve nothing.
    std::vector<pomrel::PointAccess> all;
    for (int unit = 0; unit <= 255; ++unit)
        for (int type = 1; type <= 4; ++type) {
            auto points = engine.AccessStats(unit, type, 1, 65536);
            all.insert(all.end(), std::make_move_iterator(points.begin()), std::make_move_iterator(points.end()));
        }
    return all;
}

std::vector<pomrel::PointAccess> ServedPointsOf(const pomrel::ProtocolEngine& engine,
                                               std::vector<std::pair<int, int>> unitTypes)
{
    std::sort(unitTypes.begin(), unitTypes.end());
    unitTypes.erase(std::unique(unitTypes.begin(), unitTypes.end()), unitTypes.end());
    std::vector<pomrel::PointAccess> all;
    for (const auto& [unit, type] : unitTypes) {
        auto points = engine.AccessStats(unit, type, 1, 65536);
        all.insert(all.end(), std::make_move_iterator(points.begin()), std::make_move_iterator(points.end()));
    }
    return all;
}

// ---- The table models -------------------------------------------------------------------------

template <class Plain>
int StatsTableModel<Plain>::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.ShownCount());
}

template <class Plain>
int StatsTableModel<Plain>::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : Plain::kColumns;
}

template <class Plain>
QVariant StatsTableModel<Plain>::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= rows_.ShownCount())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return Text(rows_.Cell(static_cast<std::size_t>(index.row()), index.column(), clock_ ? clock_() : NowUs()));
    case Qt::TextAlignmentRole:
        if (RightAligned(&rows_, index.column()))
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    default: return {};
    }
}

template <class Plain>
QVariant StatsTableModel<Plain>::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return QString::fromUtf8(Plain::ColumnTitle(section));
    return {};
}

template <class Plain>
void StatsTableModel<Plain>::sort(int column, Qt::SortOrder order)
{
    Change([&](Plain& rows) { rows.SortBy(column, order == Qt::AscendingOrder); });
}

template <class Plain>
void StatsTableModel<Plain>::Change(const std::function<void(Plain&)>& change)
{
    const auto before = Keys(rows_);
    change(rows_);
    if (Keys(rows_) == before) {
        // Same rows in the same places: only cells changed, so selection and scroll stay.
        if (rowCount() > 0)
            emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
        return;
    }
    // Nothing asks the model between the change and the reset (one thread), and the reset tells
    // the view that every row it knew is gone.
    beginResetModel();
    endResetModel();
}

template class StatsTableModel<AccessStatsModel>;
template class StatsTableModel<UnservedModel>;

// ---- The window -------------------------------------------------------------------------------

AccessStatsWindow::AccessStatsWindow(pomrel::ProtocolEngine& engine, const AliasTable& aliases, QWidget* parent)
    : QWidget(parent, Qt::Window), aliases_(aliases)
{
    setObjectName("accessStatistics");
    setWindowTitle("Access Statistics");
    setAttribute(Qt::WA_DeleteOnClose);
    setWhatsThis("What masters did to every point the open data windows serve, and the requests no data "
                 "window serves. Shift+F1 and a click on any control says what it does.");
    takePoints = [&engine] { return AllServedPoints(engine); };
    takeUnserved = [&engine] { return engine.Unserved(); };
    resetCounts = [&engine] { engine.ResetAccessStats(); };

    points_ = new StatsTableModel<AccessStatsModel>(clock, this);
    unserved_ = new StatsTableModel<UnservedModel>(clock, this);

    auto* layout = new QVBoxLayout(this);
    auto* filters = new QHBoxLayout;
    auto box = [&](const char* text, const char* name, const char* help) {
        auto* b = new QCheckBox(text, this);
        b->setObjectName(name);
        b->setWhatsThis(help);
        connect(b, &QCheckBox::toggled, this, [this] { ApplyFilter(); });
        filters->addWidget(b);
        return b;
    };
    neverRead_ = box("&Never read", "neverRead", "Shows only the points no master has read since the last reset.");
    written_ = box("&Written", "written", "Shows only the points a master wrote since the last reset.");
    exceptions_ = box("&Exceptions", "exceptions",
                      "Shows only the points a request was refused for with an exception answer (a fault rule's "
                      "exception, an illegal value) since the last reset.");
    filters->addStretch(1);
    layout->addLayout(filters);

    auto table = [&](QAbstractItemModel* model, const char* name) {
        auto* t = new QTableView(this);
        t->setObjectName(name);
        t->setModel(model);
        t->setSelectionBehavior(QAbstractItemView::SelectRows);
        t->setEditTriggers(QAbstractItemView::NoEditTriggers);
        t->verticalHeader()->hide();
        t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 4);
        t->horizontalHeader()->setStretchLastSection(true);
        t->setSortingEnabled(true);
        return t;
    };
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");
    tabs_->setWhatsThis("Points: what masters did to each served point. Not served: the requests no data window "
                        "serves.");
    pointsTable_ = table(points_, "points");
    pointsTable_->sortByColumn(AccessStatsModel::kUnit, Qt::AscendingOrder);
    pointsTable_->setWhatsThis("One row per served point: its unit, point type, address (as the data window "
                               "counts it) and alias; how often masters read and wrote it and how often a "
                               "request for it got an exception answer; the last read and write (local time) "
                               "and who wrote last (link and master's address). Click a column's title to sort.");
    unservedTable_ = table(unserved_, "notServed");
    unservedTable_->sortByColumn(UnservedModel::kCount, Qt::DescendingOrder);
    unservedTable_->setWhatsThis("Requests nothing served: a unit no data window serves, or addresses outside "
                                 "every data window of the unit (answered with exception 02). One row per link, "
                                 "unit, function, first address and quantity, with how often it came, first "
                                 "and last.");
    tabs_->addTab(pointsTable_, "&Points");
    tabs_->addTab(unservedTable_, "Not &served");
    layout->addWidget(tabs_, 1);

    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* text, const char* name, const char* help, auto onClick) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setWhatsThis(help);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, onClick);
        buttons->addWidget(b);
        return b;
    };
    button("&Reset", "reset", "Sets every count back to zero and forgets the times, the last writers and the "
                              "requests nothing served.", [this] { Reset(); });
    button("Export &CSV...", "export",
           "Writes the rows the current tab shows, in their order, into a CSV file (times in UTC).", [this] {
               const QString path = askFileName ? askFileName("Export CSV") : QString();
               if (path.isEmpty())
                   return;
               QString error;
               message_ = ExportCsv(path, error) ? QString("Written %1").arg(path) : error;
               RefreshStatus();
           });
    buttons->addStretch(1);
    layout->addLayout(buttons);

    status_ = new QLabel(this);
    status_->setObjectName("status");
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    status_->setWhatsThis("Points served and shown, requests nothing served, and the last export.");
    layout->addWidget(status_);

    askFileName = [this](const QString& title) {
        return QFileDialog::getSaveFileName(this, title, QString(), "CSV files (*.csv);;All Files (*)");
    };
    resize(900, 480);

    timer_ = new QTimer(this);
    timer_->setInterval(kTickMs);
    connect(timer_, &QTimer::timeout, this, &AccessStatsWindow::Tick);
    timer_->start();
    Tick();
}

AccessStatsWindow::~AccessStatsWindow() = default;

void AccessStatsWindow::Tick()
{
    auto points = takePoints ? takePoints() : std::vector<pomrel::PointAccess>();
    points_->Change([&](AccessStatsModel& rows) { rows.SetSnapshot(std::move(points), aliases_); });
    auto requests = takeUnserved ? takeUnserved() : std::vector<pomrel::UnservedRequest>();
    unserved_->Change([&](UnservedModel& rows) { rows.SetSnapshot(std::move(requests)); });
    // Columns as wide as their first texts, once: later the user's widths stay.
    const auto fit = [](QTableView* table, bool& fitted) {
        if (!fitted && table->model()->rowCount() > 0) {
            table->resizeColumnsToContents();
            fitted = true;
        }
    };
    fit(pointsTable_, pointsFitted_);
    fit(unservedTable_, unservedFitted_);
    RefreshStatus();
}

void AccessStatsWindow::ApplyFilter()
{
    AccessFilter filter;
    filter.neverRead = neverRead_->isChecked();
    filter.written = written_->isChecked();
    filter.exceptions = exceptions_->isChecked();
    points_->Change([&](AccessStatsModel& rows) { rows.SetFilter(filter); });
    RefreshStatus();
}

void AccessStatsWindow::Reset()
{
    if (resetCounts)
        resetCounts();
    message_.clear();
    Tick();
}

bool AccessStatsWindow::ExportCsv(const QString& path, QString& error)
{
    const std::string text =
        tabs_->currentWidget() == unservedTable_ ? unserved_->Rows().CsvText() : points_->Rows().CsvText();
    std::string why;
    if (!WriteFileAtomically(path.toStdString(), std::vector<std::uint8_t>(text.begin(), text.end()), &why)) {
        error = QString("%1: %2").arg(path, Text(why));
        return false;
    }
    return true;
}

void AccessStatsWindow::RefreshStatus()
{
    const auto& p = points_->Rows();
    QString text = QString("%1 points served, %2 shown; %3 requests not served")
                       .arg(p.TotalCount())
                       .arg(p.ShownCount())
                       .arg(unserved_->Rows().ShownCount());
    if (!message_.isEmpty())
        text += " — " + message_;
    status_->setText(text);
}

void AccessStatsWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::ShiftModifier) {
        QWhatsThis::enterWhatsThisMode();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace statistics
