// The rows of Tools > Access Statistics: every served point with what masters did to it, and the
// requests nothing served. Each model holds the last snapshot the engine gave, sorted by any
// column and filtered; cells, CSV text and sort keys come from here, the window only shows them.
#pragma once

#include "engine/AccessStats.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class AliasTable;

namespace statistics {

/// The filters of the points table; several on show the points that pass all of them.
struct AccessFilter {
    bool neverRead = false;    // reads == 0
    bool written = false;      // writes > 0
    bool exceptions = false;   // exceptions > 0
};

class AccessStatsModel {
public:
    enum Column { kUnit, kType, kAddress, kAlias, kReads, kWrites, kExceptions, kLastRead, kLastWrite, kLastWriter,
                  kColumns };
    static const char* ColumnTitle(int column);

    /// Replaces the rows with `points`; aliases are looked up now (texts as UTF-8). Sort order
    /// and filter stay.
    void SetSnapshot(std::vector<pomrel::PointAccess> points, const AliasTable& aliases);
    /// Sorts the shown rows by `column`; equal keys keep unit, type, address order.
    void SortBy(int column, bool ascending);
    int SortColumn() const { return sortColumn_; }
    bool SortAscending() const { return ascending_; }
    void SetFilter(const AccessFilter& filter);
    const AccessFilter& Filter() const { return filter_; }

    std::size_t TotalCount() const { return rows_.size(); }
    std::size_t ShownCount() const { return shown_.size(); }
    const pomrel::PointAccess& Shown(std::size_t row) const { return rows_[shown_[row]].point; }
    const std::string& AliasOf(std::size_t row) const { return rows_[shown_[row]].alias; }
    /// A cell as the table shows it; times in local time, relative to `nowUs` for the date.
    std::string Cell(std::size_t row, int column, std::int64_t nowUs) const;
    /// The shown rows in their order as CSV (RFC 4180, a header line, CRLF): type as its number,
    /// times as ISO 8601 UTC with microseconds, empty when never.
    std::string CsvText() const;

private:
    struct Row {
        pomrel::PointAccess point;
        std::string alias;
    };
    void Arrange();

    std::vector<Row> rows_;               // unit, type, address order
    std::vector<std::size_t> shown_;      // indices into rows_, filtered and sorted
    AccessFilter filter_;
    int sortColumn_ = kUnit;   // with ties in unit, type, address order: the natural one
    bool ascending_ = true;
};

class UnservedModel {
public:
    enum Column { kLink, kUnit, kFunction, kAddress, kQuantity, kCount, kFirst, kLast, kColumns };
    static const char* ColumnTitle(int column);

    void SetSnapshot(std::vector<pomrel::UnservedRequest> requests);
    void SortBy(int column, bool ascending);
    int SortColumn() const { return sortColumn_; }
    bool SortAscending() const { return ascending_; }

    std::size_t ShownCount() const { return shown_.size(); }
    const pomrel::UnservedRequest& Shown(std::size_t row) const { return rows_[shown_[row]]; }
    std::string Cell(std::size_t row, int column, std::int64_t nowUs) const;
    std::string CsvText() const;

private:
    void Arrange();

    std::vector<pomrel::UnservedRequest> rows_;
    std::vector<std::size_t> shown_;
    int sortColumn_ = kCount;
    bool ascending_ = false;
};

/// One CSV field: quoted when it holds a comma, a quote or a line break (quotes doubled), and
/// kept from reading as a formula in a spreadsheet ("=...", "+...", "-...", "@..." get a ').
std::string CsvField(const std::string& text);

} // namespace statistics
