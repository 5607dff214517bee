#include "connections/StatusCounters.h"

#include "connections/ConnectionManager.h"

namespace {
pomrel::Handle RowHandle(const ConnectionManager& c, const CounterRow& row)
{
    return row.port == 0 ? c.ServerHandle() : c.SerialHandle(row.port);
}
} // namespace

std::array<CounterValues, kCounterRows.size()> ReadStatusCounters(ConnectionManager& connections)
{
    std::array<CounterValues, kCounterRows.size()> values{};
    for (std::size_t i = 0; i < kCounterRows.size(); ++i) {
        const pomrel::Handle h = RowHandle(connections, kCounterRows[i]);
        if (h == pomrel::kNoHandle)
            continue;
        std::uint32_t valid = 0;
        std::uint32_t invalid = 0;
        connections.Engine().SlaveStatus(h, valid, invalid, 0);
        values[i] = {static_cast<std::int32_t>(valid), static_cast<std::int32_t>(invalid)};
    }
    return values;
}

void ResetStatusCounters(ConnectionManager& connections)
{
    for (const auto& row : kCounterRows) {
        const pomrel::Handle h = RowHandle(connections, row);
        if (h == pomrel::kNoHandle)
            continue;
        std::uint32_t valid = 0;
        std::uint32_t invalid = 0;
        connections.Engine().SlaveStatus(h, valid, invalid, 1);
    }
}
