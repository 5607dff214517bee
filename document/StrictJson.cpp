#include "document/StrictJson.h"

#include <unordered_set>
#include <vector>

using nlohmann::json;

namespace {

// One open object or array of the parse; the keys an object has had so far.
struct Level {
    bool object = false;
    std::unordered_set<std::string> keys;
    std::string key;         // object: the member being read
    std::size_t items = 0;   // array: elements begun
};

std::string Where(const std::vector<Level>& levels)
{
    std::string where;
    // The innermost level is the object holding the repeated key; its own member is not part
    // of where it is.
    for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
        const Level& l = levels[i];
        if (l.object)
            where += (where.empty() ? "" : ".") + l.key;
        else
            where += "[" + std::to_string(l.items - 1) + "]";
    }
    return where;
}

} // namespace

json ParseJsonNoDuplicates(std::string_view text, std::optional<JsonDuplicate>& duplicate)
{
    duplicate.reset();
    std::vector<Level> levels;
    auto element = [&levels] {
        if (!levels.empty() && !levels.back().object)
            ++levels.back().items;
    };
    const json::parser_callback_t watch = [&](int, json::parse_event_t event, json& parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            element();
            levels.emplace_back().object = event == json::parse_event_t::object_start;
            break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            if (!levels.empty())
                levels.pop_back();
            break;
        case json::parse_event_t::key:
            if (!levels.empty() && parsed.is_string()) {
                Level& l = levels.back();
                l.key = parsed.get<std::string>();
                if (!l.keys.insert(l.key).second && !duplicate)
                    duplicate = JsonDuplicate{Where(levels), l.key};
            }
            break;
        case json::parse_event_t::value:
            element();
            break;
        }
        return true;
    };
    return json::parse(text.begin(), text.end(), watch, false);
}

std::optional<JsonDuplicate> FindDuplicateKey(std::string_view text)
{
    std::optional<JsonDuplicate> duplicate;
    ParseJsonNoDuplicates(text, duplicate);
    return duplicate;
}
