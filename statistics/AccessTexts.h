// How what masters did to a point reads for a user: ages ("read 0.4 s ago"), times, the data
// window's tooltip and the colour class of its label (Access Marks). Plain functions of a
// snapshot and of "now", so the same point reads the same everywhere.
#pragma once

#include "engine/AccessStats.h"
#include "view/Workspace.h"

#include <cstdint>
#include <string>

namespace statistics {

/// A read or write this recent marks a point (Display > Access Marks).
inline constexpr std::int64_t kRecentUs = 2'000'000;

/// Microseconds since 1970 UTC, as the engine stamps accesses.
std::int64_t NowUs();

/// "0.4 s" under 10 s, "12 s" under 2 min, "5 min" under 2 h, "3 h" under 2 days, else "4 d".
/// A negative age (the clock went back) reads as 0.
std::string AgeText(std::int64_t ageUs);
/// "read 0.4 s ago" or "never read".
std::string ReadText(const pomrel::PointAccess& p, std::int64_t nowUs);
/// "written 12 s ago by tcp 127.0.0.1:50312" or "never written".
std::string WriteText(const pomrel::PointAccess& p, std::int64_t nowUs);
/// The data window's tooltip: reference and alias (UTF-8), counts, last read, last write.
std::string HoverText(const pomrel::PointAccess& p, const std::string& alias, std::int64_t nowUs);

/// Written in the last 2 s, else read in the last 2 s, else never read since the last reset.
AccessMark MarkOf(const pomrel::PointAccess& p, std::int64_t nowUs);

/// "40001" for holding register 1 (the data window's label without its colon).
std::string ReferenceText(int type, std::uint32_t address);
/// "coil", "input status", "holding register", "input register".
std::string PointTypeName(int type);
/// "2026-12-11T06:40:01.123456Z"; empty for 0 (never).
std::string IsoTime(std::int64_t us);
/// Local time: "08:12:03.412" on the day of `nowUs`, else "2026-12-10 23:59:01"; empty for 0.
std::string LocalTimeText(std::int64_t us, std::int64_t nowUs);

} // namespace statistics
