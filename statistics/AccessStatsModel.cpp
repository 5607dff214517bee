#include "statistics/AccessStatsModel.h"

#include "document/AliasTable.h"
#include "document/AnsiText.h"
#include "monitor/FrameDecoder.h"
#include "statistics/AccessTexts.h"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace statistics {

namespace {

// Three-way comparison of one column; the caller breaks ties by the rows' first order.
template <class T>
int Compare(const T& a, const T& b)
{
    return a < b ? -1 : b < a ? 1 : 0;
}

// Stable sort of `shown` by a comparison of two row indices, in either direction.
template <class Cmp>
void SortShown(std::vector<std::size_t>& shown, bool ascending, Cmp cmp)
{
    std::stable_sort(shown.begin(), shown.end(), [&](std::size_t a, std::size_t b) {
        const int c = cmp(a, b);
        return ascending ? c < 0 : c > 0;
    });
}

constexpr const char* kAccessTitles[] = {"Unit",       "Type",       "Address",   "Alias",
                                         "Reads",      "Writes",     "Exceptions", "Last read",
                                         "Last write", "Last writer"};
constexpr const char* kUnservedTitles[] = {"Link", "Unit", "Function", "Address", "Quantity", "Count", "First", "Last"};

} // namespace

std::string CsvField(const std::string& text)
{
    std::string out = text;
    if (!out.empty() && (out[0] == '=' || out[0] == '+' || out[0] == '-' || out[0] == '@'))
        out.insert(out.begin(), '\'');
    if (out.find_first_of(",\"\r\n") == std::string::npos)
        return out;
    std::string quoted = "\"";
    for (char c : out) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

// ---- Points -----------------------------------------------------------------------------------

const char* AccessStatsModel::ColumnTitle(int column)
{
    return column >= 0 && column < kColumns ? kAccessTitles[column] : "";
}

void AccessStatsModel::SetSnapshot(std::vector<pomrel::PointAccess> points, const AliasTable& aliases)
{
    rows_.clear();
    rows_.reserve(points.size());
    const bool anyAlias = !aliases.Entries().empty();
    for (auto& p : points) {
        std::string alias;
        if (anyAlias)
            alias = ansi::ToUtf8(aliases.GetAlias(p.type, static_cast<int>(p.address)));
        rows_.push_back({std::move(p), std::move(alias)});
    }
    std::stable_sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
        return std::tie(a.point.unit, a.point.type, a.point.address) < std::tie(b.point.unit, b.point.type, b.point.address);
    });
    Arrange();
}

void AccessStatsModel::SortBy(int column, bool ascending)
{
    sortColumn_ = std::clamp(column, 0, kColumns - 1);
    ascending_ = ascending;
    Arrange();
}

void AccessStatsModel::SetFilter(const AccessFilter& filter)
{
    filter_ = filter;
    Arrange();
}

void AccessStatsModel::Arrange()
{
    shown_.clear();
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const auto& p = rows_[i].point;
        if ((filter_.neverRead && p.reads != 0) || (filter_.written && p.writes == 0) ||
            (filter_.exceptions && p.exceptions == 0))
            continue;
        shown_.push_back(i);
    }
    SortShown(shown_, ascending_, [this](std::size_t ia, std::size_t ib) {
        const auto& a = rows_[ia];
        const auto& b = rows_[ib];
        switch (sortColumn_) {
        case kUnit: return Compare(a.point.unit, b.point.unit);
        case kType: return Compare(a.point.type, b.point.type);
        case kAddress: return Compare(a.point.address, b.point.address);
        case kAlias: return Compare(a.alias, b.alias);
        case kReads: return Compare(a.point.reads, b.point.reads);
        case kWrites: return Compare(a.point.writes, b.point.writes);
        case kExceptions: return Compare(a.point.exceptions, b.point.exceptions);
        case kLastRead: return Compare(a.point.lastReadUs, b.point.lastReadUs);
        case kLastWrite: return Compare(a.point.lastWriteUs, b.point.lastWriteUs);
        case kLastWriter: return Compare(a.point.lastWriter, b.point.lastWriter);
        default: return 0;
        }
    });
}

std::string AccessStatsModel::Cell(std::size_t row, int column, std::int64_t nowUs) const
{
    if (row >= shown_.size())
        return {};
    const Row& r = rows_[shown_[row]];
    const auto& p = r.point;
    switch (column) {
    case kUnit: return std::to_string(p.unit);
    case kType: return PointTypeName(p.type);
    case kAddress: return std::to_string(p.address);
    case kAlias: return r.alias;
    case kReads: return std::to_string(p.reads);
    case kWrites: return std::to_string(p.writes);
    case kExceptions: return std::to_string(p.exceptions);
    case kLastRead: return LocalTimeText(p.lastReadUs, nowUs);
    case kLastWrite: return LocalTimeText(p.lastWriteUs, nowUs);
    case kLastWriter: return p.lastWriter;
    default: return {};
    }
}

std::string AccessStatsModel::CsvText() const
{
    std::string out = "unit,type,address,alias,reads,writes,exceptions,last_read,last_write,last_writer\r\n";
    for (std::size_t i : shown_) {
        const Row& r = rows_[i];
        const auto& p = r.point;
        out += std::to_string(p.unit) + ',' + std::to_string(p.type) + ',' + std::to_string(p.address) + ',' +
               CsvField(r.alias) + ',' + std::to_string(p.reads) + ',' + std::to_string(p.writes) + ',' +
               std::to_string(p.exceptions) + ',' + IsoTime(p.lastReadUs) + ',' + IsoTime(p.lastWriteUs) + ',' +
               CsvField(p.lastWriter) + "\r\n";
    }
    return out;
}

// ---- Requests nothing served ------------------------------------------------------------------

const char* UnservedModel::ColumnTitle(int column)
{
    return column >= 0 && column < kColumns ? kUnservedTitles[column] : "";
}

void UnservedModel::SetSnapshot(std::vector<pomrel::UnservedRequest> requests)
{
    rows_ = std::move(requests);
    std::stable_sort(rows_.begin(), rows_.end(), [](const auto& a, const auto& b) {
        return std::tie(a.link, a.unit, a.function, a.address, a.quantity) <
               std::tie(b.link, b.unit, b.function, b.address, b.quantity);
    });
    Arrange();
}

void UnservedModel::SortBy(int column, bool ascending)
{
    sortColumn_ = std::clamp(column, 0, kColumns - 1);
    ascending_ = ascending;
    Arrange();
}

void UnservedModel::Arrange()
{
    shown_.resize(rows_.size());
    std::iota(shown_.begin(), shown_.end(), std::size_t(0));
    SortShown(shown_, ascending_, [this](std::size_t ia, std::size_t ib) {
        const auto& a = rows_[ia];
        const auto& b = rows_[ib];
        switch (sortColumn_) {
        case kLink: return Compare(a.link, b.link);
        case kUnit: return Compare(a.unit, b.unit);
        case kFunction: return Compare(a.function, b.function);
        case kAddress: return Compare(a.address, b.address);
        case kQuantity: return Compare(a.quantity, b.quantity);
        case kCount: return Compare(a.count, b.count);
        case kFirst: return Compare(a.firstUs, b.firstUs);
        case kLast: return Compare(a.lastUs, b.lastUs);
        default: return 0;
        }
    });
}

std::string UnservedModel::Cell(std::size_t row, int column, std::int64_t nowUs) const
{
    if (row >= shown_.size())
        return {};
    const auto& r = rows_[shown_[row]];
    switch (column) {
    case kLink: return r.link;
    case kUnit: return std::to_string(r.unit);
    case kFunction: return std::to_string(r.function) + " " + monitor::FunctionName(r.function);
    case kAddress: return std::to_string(r.address);
    case kQuantity: return std::to_string(r.quantity);
    case kCount: return std::to_string(r.count);
    case kFirst: return LocalTimeText(r.firstUs, nowUs);
    case kLast: return LocalTimeText(r.lastUs, nowUs);
    default: return {};
    }
}

std::string UnservedModel::CsvText() const
{
    std::string out = "link,unit,function,address,quantity,count,first,last\r\n";
    for (std::size_t i : shown_) {
        const auto& r = rows_[i];
        out += CsvField(r.link) + ',' + std::to_string(r.unit) + ',' + std::to_string(r.function) + ',' +
               std::to_string(r.address) + ',' + std::to_string(r.quantity) + ',' + std::to_string(r.count) + ',' +
               IsoTime(r.firstUs) + ',' + IsoTime(r.lastUs) + "\r\n";
    }
    return out;
}

} // namespace statistics
