// Access statistics, the requests nothing served and learn mode, for automation
// (GetAccessStats, ResetAccessStats, ListUnserved, SetLearn) and for kelvaro64-headless's
// access report, which writes the same JSON. Plain code over the engine.
#pragma once

#include "engine/ProtocolEngine.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>

class MethodRegistry;

/// "2026-12-11T06:40:01.123456Z" for microseconds since 1970 UTC.
std::string IsoTimeUs(std::int64_t us);

/// [{unit, type, address, reads, writes, exceptions, last_read, last_write, last_writer}], the
/// time and writer keys absent when never.
nlohmann::json AccessPointsJson(const std::vector<pomrel::PointAccess>& points);
/// [{link, unit, function, address, quantity, count, first, last}]
nlohmann::json UnservedJson(const std::vector<pomrel::UnservedRequest>& requests);
/// {"points": [...every served point...], "requests": [...]}: what --access-report writes.
nlohmann::json AccessReport(const pomrel::ProtocolEngine& engine);

/// Adds the four methods as the "stats" family. `setLearn` switches learn mode.
void RegisterStatsMethods(MethodRegistry& registry, pomrel::ProtocolEngine& engine, std::function<void(bool)> setLearn);
