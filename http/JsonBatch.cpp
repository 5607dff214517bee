#include "http/JsonBatch.h"

#include <nlohmann/json.hpp>

namespace web {

namespace {
bool Space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && Space(s.front())) s.remove_prefix(1);
    while (!s.empty() && Space(s.back())) s.remove_suffix(1);
    return s;
}
}  // namespace

std::optional<std::vector<std::string_view>> SplitJsonArray(std::string_view text) {
    // Only well-formed JSON is split, so the scan below needs to know strings and nesting only.
    if (!nlohmann::json::accept(text))
        return std::nullopt;
    const std::string_view body = Trim(text);
    if (body.empty() || body.front() != '[')
        return std::nullopt;
    std::vector<std::string_view> elements;
    std::size_t depth = 0, start = 1;
    bool inString = false, escaped = false;
    for (std::size_t i = 1; i < body.size(); ++i) {
        const char c = body[i];
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') ++depth;
        else if ((c == ']' || c == '}') && depth > 0) --depth;
        else if ((c == ',' && depth == 0) || (c == ']' && depth == 0)) {
            const std::string_view element = Trim(body.substr(start, i - start));
            if (!element.empty() || c == ',')
                elements.push_back(element);
            start = i + 1;
        }
    }
    return elements;
}

}  // namespace web
