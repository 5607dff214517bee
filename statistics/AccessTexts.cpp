#include "statistics/AccessTexts.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace statistics {

namespace {

std::tm Broken(std::int64_t us, bool local)
{
    // Floor division, so a time before 1970 still splits into seconds and a positive remainder.
    std::int64_t seconds = us / 1'000'000;
    if (us % 1'000'000 < 0)
        --seconds;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (local)
        localtime_r(&t, &tm);
    else
        gmtime_r(&t, &tm);
    return tm;
}

std::int64_t Fraction(std::int64_t us)
{
    const std::int64_t f = us % 1'000'000;
    return f < 0 ? f + 1'000'000 : f;
}

} // namespace

std::int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string AgeText(std::int64_t ageUs)
{
    if (ageUs < 0)
        ageUs = 0;
    char buf[48];
    const std::int64_t s = ageUs / 1'000'000;
    if (ageUs < 10'000'000) {
        // Tenths, truncated: "0.4 s" until the age reaches half a second.
        std::snprintf(buf, sizeof buf, "%lld.%lld s", static_cast<long long>(s),
                      static_cast<long long>(ageUs % 1'000'000 / 100'000));
    } else if (s < 120) {
        std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(s));
    } else if (s < 2 * 3600) {
        std::snprintf(buf, sizeof buf, "%lld min", static_cast<long long>(s / 60));
    } else if (s < 2 * 86400) {
        std::snprintf(buf, sizeof buf, "%lld h", static_cast<long long>(s / 3600));
    } else {
        std::snprintf(buf, sizeof buf, "%lld d", static_cast<long long>(s / 86400));
    }
    return buf;
}

std::string ReadText(const pomrel::PointAccess& p, std::int64_t nowUs)
{
    if (p.lastReadUs == 0)
        return "never read";
    return "read " + AgeText(nowUs - p.lastReadUs) + " ago";
}

std::string WriteText(const pomrel::PointAccess& p, std::int64_t nowUs)
{
    if (p.lastWriteUs == 0)
        return "never written";
    std::string text = "written " + AgeText(nowUs - p.lastWriteUs) + " ago";
    if (!p.lastWriter.empty())
        text += " by " + p.lastWriter;
    return text;
}

std::string HoverText(const pomrel::PointAccess& p, const std::string& alias, std::int64_t nowUs)
{
    std::string text = ReferenceText(p.type, p.address);
    if (!alias.empty())
        text += "  " + alias;
    text += "\nreads " + std::to_string(p.reads) + ", writes " + std::to_string(p.writes);
    if (p.exceptions)
        text += ", exceptions " + std::to_string(p.exceptions);
    text += "\n" + ReadText(p, nowUs);
    text += "\n" + WriteText(p, nowUs);
    return text;
}

AccessMark MarkOf(const pomrel::PointAccess& p, std::int64_t nowUs)
{
    // A write is the rarer event and the one a test engineer looks for, so it shows over a read.
    if (p.lastWriteUs != 0 && nowUs - p.lastWriteUs < kRecentUs)
        return AccessMark::kWritten;
    if (p.lastReadUs != 0 && nowUs - p.lastReadUs < kRecentUs)
        return AccessMark::kRead;
    if (p.reads == 0)
        return AccessMark::kNeverRead;
    return AccessMark::kNone;
}

std::string ReferenceText(int type, std::uint32_t address)
{
    // The data window's label: the type's digit, then the address, zero-filled to four places.
    const char digit = type == 1 ? '0' : type == 2 ? '1' : type == 3 ? '4' : type == 4 ? '3' : '?';
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%04u", digit, static_cast<unsigned>(address));
    return buf;
}

std::string PointTypeName(int type)
{
    switch (type) {
    case 1: return "coil";
    case 2: return "input status";
    case 3: return "holding register";
    case 4: return "input register";
    default: return "type " + std::to_string(type);
    }
}

std::string IsoTime(std::int64_t us)
{
    if (us == 0)
        return {};
    const std::tm tm = Broken(us, false);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(Fraction(us)));
    return buf;
}

std::string LocalTimeText(std::int64_t us, std::int64_t nowUs)
{
    if (us == 0)
        return {};
    const std::tm tm = Broken(us, true);
    const std::tm today = Broken(nowUs, true);
    char buf[96];
    if (tm.tm_year == today.tm_year && tm.tm_yday == today.tm_yday)
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<long long>(Fraction(us) / 1000));
    else
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

} // namespace statistics
