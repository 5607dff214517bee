// The statistics' texts and the two tables' rows: cells, sorting, filters and CSV from hand-made
// snapshots of the kind the engine hands out.
#include "document/AliasTable.h"
#include "statistics/AccessStatsModel.h"
#include "statistics/AccessTexts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

namespace {

using pomrel::PointAccess;
using pomrel::UnservedRequest;
using namespace statistics;

// 2026-12-11T06:40:01.123456Z
constexpr std::int64_t kNow = 1'796'971'201'123'456;
constexpr std::int64_t kSecond = 1'000'000;

PointAccess Point(int unit, int type, std::uint32_t address, std::uint64_t reads, std::uint64_t writes,
                  std::uint64_t exceptions = 0, std::int64_t lastRead = 0, std::int64_t lastWrite = 0,
                  std::string writer = {})
{
    PointAccess p;
    p.unit = static_cast<std::uint8_t>(unit);
    p.type = static_cast<std::uint8_t>(type);
    p.address = address;
    p.reads = reads;
    p.writes = writes;
    p.exceptions = exceptions;
    p.lastReadUs = lastRead;
    p.lastWriteUs = lastWrite;
    p.lastWriter = std::move(writer);
    return p;
}

class UtcZone : public ::testing::Test {
protected:
    // Local times in cells follow TZ; UTC makes them the same on every machine.
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST(AccessTexts, AgesReadAsAPersonSaysThem)
{
    const struct {
        std::int64_t ageUs;
        const char* text;
    } cases[] = {
        {0, "0.0 s"},          {399'999, "0.3 s"},    {400'000, "0.4 s"},   {9'999'999, "9.9 s"},
        {10'000'000, "10 s"},  {119'999'999, "119 s"}, {120 * kSecond, "2 min"}, {7199 * kSecond, "119 min"},
        {7200 * kSecond, "2 h"}, {172'799 * kSecond, "47 h"}, {172'800 * kSecond, "2 d"}, {-5 * kSecond, "0.0 s"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AgeText(c.ageUs), c.text) << c.ageUs;
}

TEST(AccessTexts, ReadAndWriteTextsNameTheAgeAndTheWriter)
{
    const PointAccess p = Point(1, 3, 20, 7, 1, 0, kNow - 400'000, kNow - 12 * kSecond, "tcp 127.0.0.1:50312");
    EXPECT_EQ(ReadText(p, kNow), "read 0.4 s ago");
    EXPECT_EQ(WriteText(p, kNow), "written 12 s ago by tcp 127.0.0.1:50312");
    const PointAccess never = Point(1, 3, 21, 0, 0);
    EXPECT_EQ(ReadText(never, kNow), "never read");
    EXPECT_EQ(WriteText(never, kNow), "never written");
    EXPECT_EQ(HoverText(p, "Pump", kNow),
              "40020  Pump\nreads 7, writes 1\nread 0.4 s ago\nwritten 12 s ago by tcp 127.0.0.1:50312");
    EXPECT_EQ(HoverText(Point(2, 1, 5, 0, 0, 3), "", kNow),
              "00005\nreads 0, writes 0, exceptions 3\nnever read\nnever written");
}

TEST(AccessTexts, MarksTellRecentWritesRecentReadsAndNeverRead)
{
    const struct {
        PointAccess p;
        AccessMark mark;
    } cases[] = {
        {Point(1, 3, 1, 0, 0), AccessMark::kNeverRead},
        {Point(1, 3, 1, 5, 0, 0, kNow - 1'999'999), AccessMark::kRead},
        {Point(1, 3, 1, 5, 0, 0, kNow - 2'000'000), AccessMark::kNone},            // read 2 s ago: no longer recent
        {Point(1, 3, 1, 5, 1, 0, kNow - 100, kNow - 1'000'000), AccessMark::kWritten},   // a write shows over a read
        {Point(1, 3, 1, 0, 1, 0, 0, kNow - 1'000'000), AccessMark::kWritten},           // written, never read
        {Point(1, 3, 1, 0, 1, 0, 0, kNow - 3'000'000), AccessMark::kNeverRead},         // old write, never read
        {Point(1, 3, 1, 5, 1, 0, kNow - 9'000'000, kNow - 3'000'000), AccessMark::kNone},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(MarkOf(cases[i].p, kNow), cases[i].mark) << i;
}

TEST_F(UtcZone, TimesInUtcAndLocalTime)
{
    EXPECT_EQ(IsoTime(kNow), "2026-12-11T06:40:01.123456Z");
    EXPECT_EQ(IsoTime(0), "");
    EXPECT_EQ(LocalTimeText(kNow, kNow + 5 * kSecond), "06:40:01.123");
    EXPECT_EQ(LocalTimeText(kNow - 7 * 3600 * kSecond, kNow), "2026-12-10 23:40:01");
    EXPECT_EQ(LocalTimeText(0, kNow), "");
    EXPECT_EQ(ReferenceText(3, 1), "40001");
    EXPECT_EQ(ReferenceText(4, 12), "30012");
    EXPECT_EQ(ReferenceText(3, 65536), "465536");
}

class PointsTable : public UtcZone {
protected:
    std::vector<PointAccess> Snapshot() const
    {
        // Deliberately not in address order: the model orders rows itself.
        return {
            Point(1, 3, 3, 10, 0, 0, kNow - kSecond),
            Point(1, 3, 1, 0, 2, 0, 0, kNow - 3 * kSecond, "serial:3"),
            Point(2, 1, 7, 4, 0, 2, kNow - 5 * kSecond),
            Point(1, 3, 2, 25, 1, 1, kNow - 2 * kSecond, kNow - 4 * kSecond, "tcp 127.0.0.1:50312"),
            Point(1, 4, 1, 0, 0),
        };
    }
    std::vector<std::string> Column(const AccessStatsModel& m, int column) const
    {
        std::vector<std::string> cells;
        for (std::size_t r = 0; r < m.ShownCount(); ++r)
            cells.push_back(m.Cell(r, column, kNow));
        return cells;
    }
    std::vector<std::string> Ids(const AccessStatsModel& m) const
    {
        std::vector<std::string> ids;
        for (std::size_t r = 0; r < m.ShownCount(); ++r)
            ids.push_back(std::to_string(m.Shown(r).unit) + "/" + std::to_string(m.Shown(r).type) + "/" +
                          std::to_string(m.Shown(r).address));
        return ids;
    }
    AliasTable aliases;
};

TEST_F(PointsTable, RowsCarryEveryColumnWithTheAlias)
{
    aliases.SetAlias(3, 2, "Pump \xB0"
                           "C");   // Windows-1252 degree sign, shown as UTF-8
    AccessStatsModel m;
    m.SetSnapshot(Snapshot(), aliases);
    ASSERT_EQ(m.ShownCount(), 5u);
    EXPECT_EQ(Ids(m), (std::vector<std::string>{"1/3/1", "1/3/2", "1/3/3", "1/4/1", "2/1/7"}));
    std::vector<std::string> row;
    for (int c = 0; c < AccessStatsModel::kColumns; ++c)
        row.push_back(m.Cell(1, c, kNow));
    EXPECT_EQ(row, (std::vector<std::string>{"1", "holding register", "2", "Pump \u00B0C", "25", "1", "1", "06:39:59.123",
                                             "06:39:57.123", "tcp 127.0.0.1:50312"}));
    EXPECT_EQ(m.Cell(3, AccessStatsModel::kLastRead, kNow), "");   // never
    EXPECT_EQ(m.Cell(99, AccessStatsModel::kUnit, kNow), "");      // no such row
    EXPECT_STREQ(AccessStatsModel::ColumnTitle(AccessStatsModel::kLastWriter), "Last writer");
}

TEST_F(PointsTable, EveryColumnSortsBothWaysWithTiesInAddressOrder)
{
    const struct {
        int column;
        std::vector<std::string> ascending;
    } cases[] = {
        {AccessStatsModel::kUnit, {"1/3/1", "1/3/2", "1/3/3", "1/4/1", "2/1/7"}},
        {AccessStatsModel::kType, {"2/1/7", "1/3/1", "1/3/2", "1/3/3", "1/4/1"}},
        {AccessStatsModel::kAddress, {"1/3/1", "1/4/1", "1/3/2", "1/3/3", "2/1/7"}},
        {AccessStatsModel::kAlias, {"1/3/1", "1/3/3", "1/4/1", "2/1/7", "1/3/2"}},
        {AccessStatsModel::kReads, {"1/3/1", "1/4/1", "2/1/7", "1/3/3", "1/3/2"}},
        {AccessStatsModel::kWrites, {"1/3/3", "1/4/1", "2/1/7", "1/3/2", "1/3/1"}},
        {AccessStatsModel::kExceptions, {"1/3/1", "1/3/3", "1/4/1", "1/3/2", "2/1/7"}},
        {AccessStatsModel::kLastRead, {"1/3/1", "1/4/1", "2/1/7", "1/3/2", "1/3/3"}},
        {AccessStatsModel::kLastWrite, {"1/3/3", "1/4/1", "2/1/7", "1/3/2", "1/3/1"}},
        {AccessStatsModel::kLastWriter, {"1/3/3", "1/4/1", "2/1/7", "1/3/1", "1/3/2"}},
    };
    aliases.SetAlias(3, 2, "Zeta");
    AccessStatsModel m;
    m.SetSnapshot(Snapshot(), aliases);
    for (const auto& c : cases) {
        m.SortBy(c.column, true);
        EXPECT_EQ(Ids(m), c.ascending) << AccessStatsModel::ColumnTitle(c.column);
        m.SortBy(c.column, false);
        // Descending reverses the keys; rows with equal keys keep their address order.
        auto ids = Ids(m);
        std::vector<std::string> keysDown, keysUp;
        for (std::size_t r = 0; r < m.ShownCount(); ++r)
            keysDown.push_back(m.Cell(r, c.column, kNow));
        m.SortBy(c.column, true);
        for (std::size_t r = m.ShownCount(); r-- > 0;)
            keysUp.push_back(m.Cell(r, c.column, kNow));
        EXPECT_EQ(keysDown, keysUp) << AccessStatsModel::ColumnTitle(c.column);
    }
    // Sorting survives a new snapshot.
    m.SortBy(AccessStatsModel::kReads, false);
    m.SetSnapshot(Snapshot(), aliases);
    EXPECT_EQ(Ids(m).front(), "1/3/2");
}

TEST_F(PointsTable, FiltersPickTheirPointsAndCombine)
{
    const struct {
        AccessFilter filter;
        std::vector<std::string> ids;
    } cases[] = {
        {{}, {"1/3/1", "1/3/2", "1/3/3", "1/4/1", "2/1/7"}},
        {{true, false, false}, {"1/3/1", "1/4/1"}},
        {{false, true, false}, {"1/3/1", "1/3/2"}},
        {{false, false, true}, {"1/3/2", "2/1/7"}},
        {{true, true, false}, {"1/3/1"}},
        {{false, true, true}, {"1/3/2"}},
        {{true, false, true}, {}},
    };
    AccessStatsModel m;
    m.SetSnapshot(Snapshot(), aliases);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        m.SetFilter(cases[i].filter);
        EXPECT_EQ(Ids(m), cases[i].ids) << i;
        EXPECT_EQ(m.TotalCount(), 5u);
    }
    // A filter stays through new snapshots.
    m.SetFilter({false, true, false});
    auto points = Snapshot();
    points[4].writes = 1;
    m.SetSnapshot(points, aliases);
    EXPECT_EQ(Ids(m), (std::vector<std::string>{"1/3/1", "1/3/2", "1/4/1"}));
}

TEST_F(PointsTable, CsvHoldsTheShownRowsInTheirOrder)
{
    aliases.SetAlias(3, 2, "Flow, \"main\"");
    aliases.SetAlias(3, 3, "=HYPERLINK(\"x\")");
    AccessStatsModel m;
    m.SetSnapshot(Snapshot(), aliases);
    m.SortBy(AccessStatsModel::kReads, false);
    const std::string all = m.CsvText();
    EXPECT_EQ(all,
              "unit,type,address,alias,reads,writes,exceptions,last_read,last_write,last_writer\r\n"
              "1,3,2,\"Flow, \"\"main\"\"\",25,1,1,2026-12-11T06:39:59.123456Z,2026-12-11T06:39:57.123456Z,tcp "
              "127.0.0.1:50312\r\n"
              "1,3,3,\"'=HYPERLINK(\"\"x\"\")\",10,0,0,2026-12-11T06:40:00.123456Z,,\r\n"
              "2,1,7,,4,0,2,2026-12-11T06:39:56.123456Z,,\r\n"
              "1,3,1,,0,2,0,,2026-12-11T06:39:58.123456Z,serial:3\r\n"
              "1,4,1,,0,0,0,,,\r\n");
    m.SetFilter({true, false, false});
    EXPECT_EQ(m.CsvText(), "unit,type,address,alias,reads,writes,exceptions,last_read,last_write,last_writer\r\n"
                           "1,3,1,,0,2,0,,2026-12-11T06:39:58.123456Z,serial:3\r\n"
                           "1,4,1,,0,0,0,,,\r\n");
}

TEST_F(UtcZone, NotServedRowsSortAndExport)
{
    auto request = [](std::string link, int unit, int function, std::uint32_t address, int quantity,
                      std::uint64_t count, std::int64_t first, std::int64_t last) {
        UnservedRequest r;
        r.link = std::move(link);
        r.unit = static_cast<std::uint8_t>(unit);
        r.function = static_cast<std::uint8_t>(function);
        r.address = address;
        r.quantity = static_cast<std::uint16_t>(quantity);
        r.count = count;
        r.firstUs = first;
        r.lastUs = last;
        return r;
    };
    UnservedModel m;
    m.SetSnapshot({request("tcp", 9, 3, 1, 10, 4, kNow - 9 * kSecond, kNow - kSecond),
                   request("serial:3", 1, 3, 5000, 2, 12, kNow - 30 * kSecond, kNow),
                   request("tcp", 1, 16, 5000, 1, 1, kNow - 2 * kSecond, kNow - 2 * kSecond)});
    ASSERT_EQ(m.ShownCount(), 3u);
    // Most frequent first until the user sorts otherwise.
    EXPECT_EQ(m.Cell(0, UnservedModel::kCount, kNow), "12");
    std::vector<std::string> row;
    for (int c = 0; c < UnservedModel::kColumns; ++c)
        row.push_back(m.Cell(1, c, kNow));
    EXPECT_EQ(row, (std::vector<std::string>{"tcp", "9", "3 Read Holding Registers", "1", "10", "4", "06:39:52.123",
                                             "06:40:00.123"}));
    m.SortBy(UnservedModel::kFunction, false);
    EXPECT_EQ(m.Cell(0, UnservedModel::kFunction, kNow), "16 Write Multiple Registers");
    m.SortBy(UnservedModel::kLink, true);
    EXPECT_EQ(m.CsvText(), "link,unit,function,address,quantity,count,first,last\r\n"
                           "serial:3,1,3,5000,2,12,2026-12-11T06:39:31.123456Z,2026-12-11T06:40:01.123456Z\r\n"
                           "tcp,1,16,5000,1,1,2026-12-11T06:39:59.123456Z,2026-12-11T06:39:59.123456Z\r\n"
                           "tcp,9,3,1,10,4,2026-12-11T06:39:52.123456Z,2026-12-11T06:40:00.123456Z\r\n");
}

} // namespace
