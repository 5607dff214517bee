#include "http/Metrics.h"

#include <map>
#include <utility>

namespace web {

namespace {

// Length of the UTF-8 sequence at `s[i]`, or 0 when it is not a well-formed one (overlong forms,
// surrogates and code points past U+10FFFF included).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2;
    else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return n;
}

using Labels = std::vector<std::pair<std::string, std::string>>;

struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::map<Labels, std::uint64_t> samples;

    void Add(Labels labels, std::uint64_t value) { samples[std::move(labels)] += value; }
};

void Write(std::string& out, const Family& f) {
    out += "# HELP ";
    out += f.name;
    out += ' ';
    out += f.help;
    out += "\n# TYPE ";
    out += f.name;
    out += ' ';
    out += f.type;
    out += '\n';
    for (const auto& [labels, value] : f.samples) {
        out += f.name;
        if (!labels.empty()) {
            out += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (i) out += ',';
                out += labels[i].first;
                out += "=\"";
                out += EscapeLabelValue(labels[i].second);
                out += '"';
            }
            out += '}';
        }
        out += ' ';
        out += std::to_string(value);
        out += '\n';
    }
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else {
            const std::size_t n = Utf8Length(value, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
                continue;
            }
            out.append(value.substr(i, n));
            i += n;
            continue;
        }
        ++i;
    }
    return out;
}

std::string MetricsText(const MetricsSnapshot& s) {
    Family requests{"kelvaro64_requests_total", "counter", "Requests answered, per link kind, unit id and function code.", {}};
    Family exceptions{"kelvaro64_exceptions_total", "counter",
                      "Exception answers, per link kind, unit id, function code and exception code.", {}};
    for (const pomrel::FunctionCount& f : s.functions) {
        const std::string unit = std::to_string(f.unit), function = std::to_string(f.function);
        requests.Add({{"link", f.link}, {"unit", unit}, {"function", function}}, f.requests);
        for (const auto& [code, count] : f.exceptions)
            exceptions.Add({{"link", f.link}, {"unit", unit}, {"function", function}, {"code", std::to_string(code)}}, count);
    }
    Family invalid{"kelvaro64_invalid_frames_total", "counter",
                   "Frames refused for a bad checksum or a form that could not be read, per link.", {}};
    for (const auto& c : s.invalidFrames) invalid.Add({{"link", c.link}}, c.value);
    Family connections{"kelvaro64_connections", "gauge", "Masters connected now, per link.", {}};
    for (const auto& c : s.connections) connections.Add({{"link", c.link}}, c.value);
    Family fired{"kelvaro64_fault_fired_total", "counter",
                 "Times each fault rule fired since its list was put in force (rule id and name).", {}};
    for (const auto& r : s.faults) fired.Add({{"rule", std::to_string(r.id)}, {"name", r.name}}, r.fired);
    Family dropped{"kelvaro64_frame_records_dropped_total", "counter",
                   "Frame records overwritten before a monitor, capture or log took them.", {}};
    dropped.Add({}, s.droppedFrameRecords);
    Family documents{"kelvaro64_documents", "gauge", "Documents open.", {}};
    documents.Add({}, s.documents);
    Family updates{"kelvaro64_generator_updates_total", "counter", "Values each generator wrote (generator id and name).", {}};
    for (const auto& g : s.generatorUpdates) updates.Add({{"generator", std::to_string(g.id)}, {"name", g.name}}, g.value);
    Family reactions{"kelvaro64_reaction_fired_total", "counter", "Times each reaction fired (reaction id and name).", {}};
    for (const auto& r : s.reactionsFired) reactions.Add({{"reaction", std::to_string(r.id)}, {"name", r.name}}, r.value);
    Family scripts{"kelvaro64_script_calls_total", "counter", "Calls of each script's functions (script id and name).", {}};
    for (const auto& c : s.scriptCalls) scripts.Add({{"script", std::to_string(c.id)}, {"name", c.name}}, c.value);
    Family writesDropped{"kelvaro64_behaviour_writes_dropped_total", "counter",
                         "Masters' writes the reactions and scripts missed because they were behind.", {}};
    writesDropped.Add({}, s.droppedWrites);

    std::string out;
    for (const Family* f : {&requests, &exceptions, &invalid, &connections, &fired, &dropped, &documents, &updates, &reactions, &scripts,
                           &writesDropped})
        Write(out, *f);
    return out;
}

}  // namespace web
