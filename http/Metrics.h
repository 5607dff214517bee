// The program's counters in the Prometheus text exposition format (0.0.4): a snapshot in, the
// text out. Gathering the snapshot is MetricsSources' job; this knows nothing of where the
// numbers come from, so new families (generators, scripts) only add fields here. Plain code.
#pragma once

#include "engine/AccessStats.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace web {

/// Everything /metrics shows, taken at one moment.
struct MetricsSnapshot {
    /// A count for one link ("tcp", "serial:3", "udp", "tcp:2", ...).
    struct LinkCount {
        std::string link;
        std::uint64_t value = 0;
    };
    /// How often one fault rule fired since its list was put in force.
    struct RuleFired {
        std::uint32_t id = 0;
        std::string name;
        std::uint64_t fired = 0;
    };
    std::vector<pomrel::FunctionCount> functions;   // requests and exception answers
    std::vector<LinkCount> invalidFrames;           // bad checksums and frames that could not be read
    std::vector<LinkCount> connections;             // masters connected now (TCP kinds)
    std::vector<RuleFired> faults;
    /// A generator's updates, a reaction's firings or a script's calls, by id and name.
    struct BehaviourCount {
        std::uint64_t id = 0;
        std::string name;
        std::uint64_t value = 0;
    };
    std::vector<BehaviourCount> generatorUpdates;
    std::vector<BehaviourCount> reactionsFired;
    std::vector<BehaviourCount> scriptCalls;
    std::uint64_t droppedWrites = 0;                // masters' writes the behaviour core could not take
    std::uint64_t droppedFrameRecords = 0;
    std::uint64_t documents = 0;
};

/// The exposition text: each family with its HELP and TYPE lines, samples sorted by their labels,
/// samples of the same labels added together.
std::string MetricsText(const MetricsSnapshot& snapshot);

/// A label value as the format writes it between quotes: backslash, double quote and line feed
/// escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string EscapeLabelValue(std::string_view value);

/// The content type of the text.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace web
