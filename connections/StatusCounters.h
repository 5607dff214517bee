// The rows of the Connection Status Counters dialog and the engine calls behind them: the
// Modbus/TCP server and serial ports 1 to 9 (ports above 9 have no row).
#pragma once

#include <array>
#include <cstdint>

class ConnectionManager;

struct CounterRow {
    const char* label;
    int validId;     // "Valid Messages" field
    int invalidId;   // "Invalid CRCs" field
    int port;        // 0: the Modbus/TCP server
};

inline constexpr std::array<CounterRow, 10> kCounterRows = {{
    {"modbus/TCP:", 1012, 1021, 0},
    {"COMM 1:", 1013, 1022, 1},
    {"COMM 2:", 1014, 1023, 2},
    {"COMM 3:", 1015, 1024, 3},
    {"COMM 4:", 1016, 1025, 4},
    {"COMM 5:", 1017, 1026, 5},
    {"COMM 6:", 1018, 1027, 6},
    {"COMM 7:", 1019, 1028, 7},
    {"COMM 8:", 1020, 1029, 8},
    {"COMM 9:", 1030, 1031, 9},
}};

struct CounterValues {
    std::int32_t valid = 0;     // shown signed, as the engine's 32 bits read as "%d"
    std::int32_t invalid = 0;
};

/// One timer tick: the engine's counts for each row; a closed connection reads 0 and 0.
std::array<CounterValues, kCounterRows.size()> ReadStatusCounters(ConnectionManager& connections);
/// Sets the engine's counts of every open connection of the rows back to zero.
void ResetStatusCounters(ConnectionManager& connections);
