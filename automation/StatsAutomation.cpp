#include "automation/StatsAutomation.h"

#include "automation/MethodRegistry.h"

#include <cstdio>
#include <ctime>

std::string IsoTimeUs(std::int64_t us)
{
    const std::int64_t seconds = us >= 0 ? us / 1'000'000 : (us - 999'999) / 1'000'000;
    const auto micro = static_cast<long>(us - seconds * 1'000'000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr)
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micro);
    return text;
}

nlohmann::json AccessPointsJson(const std::vector<pomrel::PointAccess>& points)
{
    nlohmann::json out = nlohmann::json::array();
    for (const pomrel::PointAccess& p : points) {
        nlohmann::json o{{"unit", p.unit},   {"type", p.type},     {"address", p.address},
                         {"reads", p.reads}, {"writes", p.writes}, {"exceptions", p.exceptions}};
        if (p.lastReadUs != 0)
            o["last_read"] = IsoTimeUs(p.lastReadUs);
        if (p.lastWriteUs != 0)
            o["last_write"] = IsoTimeUs(p.lastWriteUs);
        if (!p.lastWriter.empty())
            o["last_writer"] = p.lastWriter;
        out.push_back(std::move(o));
    }
    return out;
}

nlohmann::json UnservedJson(const std::vector<pomrel::UnservedRequest>& requests)
{
    nlohmann::json out = nlohmann::json::array();
    for (const pomrel::UnservedRequest& r : requests)
        out.push_back({{"link", r.link},         {"unit", r.unit},   {"function", r.function},
                       {"address", r.address},   {"quantity", r.quantity}, {"count", r.count},
                       {"first", IsoTimeUs(r.firstUs)}, {"last", IsoTimeUs(r.lastUs)}});
    return out;
}

nlohmann::json AccessReport(const pomrel::ProtocolEngine& engine)
{
    return {{"points", AccessPointsJson(engine.AccessStats(-1, 0, 1, 0x10000))},
            {"requests", UnservedJson(engine.Unserved())}};
}

namespace {

// unit -1 (every unit) or 0..255; type 0 (every type) or 1..4; addresses 1..65536.
bool Whole(const nlohmann::json& v, std::int64_t low, std::int64_t high, std::int64_t& out)
{
    return WholeNumber(v, out) && out >= low && out <= high;
}

}  // namespace

void RegisterStatsMethods(MethodRegistry& registry, pomrel::ProtocolEngine& engine, std::function<void(bool)> setLearn)
{
    pomrel::ProtocolEngine* e = &engine;
    registry.Add({"GetAccessStats",
                  "stats",
                  {{"unit", "-1 (all) or 0..255"},
                   {"type", "0 (all) or 1..4"},
                   {"first", "1..65536"},
                   {"last", "1..65536"}},
                  [e](const nlohmann::json& p) {
                      std::int64_t unit = 0, type = 0, first = 0, last = 0;
                      if (!Whole(p[0], -1, 255, unit))
                          return MethodOutcome::Invalid("unit: -1 or 0..255");
                      if (!Whole(p[1], 0, 4, type))
                          return MethodOutcome::Invalid("type: 0..4");
                      if (!Whole(p[2], 1, 65536, first))
                          return MethodOutcome::Invalid("first: 1..65536");
                      if (!Whole(p[3], 1, 65536, last))
                          return MethodOutcome::Invalid("last: 1..65536");
                      const auto points = e->AccessStats(static_cast<int>(unit), static_cast<int>(type),
                                                         static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last));
                      return MethodOutcome::Done({{"status", 0}, {"points", AccessPointsJson(points)}});
                  }});
    registry.Add({"ResetAccessStats", "stats", {}, [e](const nlohmann::json&) {
                      e->ResetAccessStats();
                      return MethodOutcome::Done({{"status", 0}});
                  }});
    registry.Add({"ListUnserved", "stats", {}, [e](const nlohmann::json&) {
                      nlohmann::json result{{"status", 0}, {"requests", UnservedJson(e->Unserved())}};
                      if (const std::uint64_t more = e->UnservedOverflow())
                          result["overflow"] = more;
                      return MethodOutcome::Done(std::move(result));
                  }});
    registry.Add({"SetLearn", "stats", {{"on", "true/false"}}, [learn = std::move(setLearn)](const nlohmann::json& p) {
                      ParamReader reader(p);
                      const bool on = reader.Bool("on");
                      if (!reader.Ok())
                          return MethodOutcome::Invalid(reader.Error());
                      if (learn)
                          learn(on);
                      return MethodOutcome::Done({{"status", 0}});
                  }});
}
