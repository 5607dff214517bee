// Tools > Access Statistics: every served point with its reads, writes, exception answers, last
// read and write and last writer, sortable and filtered, and on a second tab the requests
// nothing served. A snapshot is taken from the engine once a second; Reset clears the engine's
// counts, Export CSV writes what the table shows.
#pragma once

#include "statistics/AccessStatsModel.h"

#include <QAbstractTableModel>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class AliasTable;
class QCheckBox;
class QKeyEvent;
class QLabel;
class QTabWidget;
class QTableView;
class QTimer;

namespace pomrel {
class ProtocolEngine;
}

namespace statistics {

/// Every served point of every unit and type the engine counts, in unit, type, address order.
std::vector<pomrel::PointAccess> AllServedPoints(const pomrel::ProtocolEngine& engine);
/// The served points of the given (unit, type) pairs only (each asked once).
std::vector<pomrel::PointAccess> ServedPointsOf(const pomrel::ProtocolEngine& engine,
                                               std::vector<std::pair<int, int>> unitTypes);

/// A plain model's rows as a Qt table; sorting through the header goes to the plain model.
template <class Plain>
class StatsTableModel : public QAbstractTableModel {
public:
    explicit StatsTableModel(const std::function<std::int64_t()>& clock, QObject* parent = nullptr)
        : QAbstractTableModel(parent), clock_(clock)
    {
    }
    Plain& Rows() { return rows_; }
    const Plain& Rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;
    /// Runs `change` on the plain rows and tells the view what it did: the same rows in the same
    /// order only changed their cells (selection and scroll stay), anything else resets.
    void Change(const std::function<void(Plain&)>& change);

private:
    Plain rows_;
    const std::function<std::int64_t()>& clock_;
};

class AccessStatsWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTickMs = 1000;

    /// Reads `engine` and labels points with `aliases`; both must outlive the window.
    AccessStatsWindow(pomrel::ProtocolEngine& engine, const AliasTable& aliases, QWidget* parent = nullptr);
    ~AccessStatsWindow() override;

    /// The timer's work: a new snapshot of both tables, and the status line.
    void Tick();
    /// The three filter boxes as they stand, applied.
    void ApplyFilter();
    /// Clears the engine's counts (both tables) and takes a snapshot.
    void Reset();
    /// Writes the shown rows of the current tab as CSV, whole or not at all; false with `error`.
    bool ExportCsv(const QString& path, QString& error);

    // Where snapshots come from and what Reset does: the engine unless a test says otherwise.
    std::function<std::vector<pomrel::PointAccess>()> takePoints;
    std::function<std::vector<pomrel::UnservedRequest>()> takeUnserved;
    std::function<void()> resetCounts;
    /// Microseconds since 1970 UTC (tests fix it).
    std::function<std::int64_t()> clock;
    /// How file names are asked for (tests give one directly; empty: cancelled).
    std::function<QString(const QString& title)> askFileName;

    StatsTableModel<AccessStatsModel>& Points() { return *points_; }
    StatsTableModel<UnservedModel>& Unserved() { return *unserved_; }
    QTableView* PointsTable() const { return pointsTable_; }
    QTableView* UnservedTable() const { return unservedTable_; }
    QTabWidget* Tabs() const { return tabs_; }
    QLabel* StatusLine() const { return status_; }
    QTimer* Timer() const { return timer_; }

protected:
    /// Shift+F1 enters What's This mode here too.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void RefreshStatus();

    const AliasTable& aliases_;
    StatsTableModel<AccessStatsModel>* points_ = nullptr;
    StatsTableModel<UnservedModel>* unserved_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QTableView* pointsTable_ = nullptr;
    QTableView* unservedTable_ = nullptr;
    QCheckBox* neverRead_ = nullptr;
    QCheckBox* written_ = nullptr;
    QCheckBox* exceptions_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* timer_ = nullptr;
    QString message_;
    bool pointsFitted_ = false;     // columns sized to the first rows shown
    bool unservedFitted_ = false;
};

} // namespace statistics
