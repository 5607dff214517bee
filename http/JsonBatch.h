// A JSON-RPC batch taken apart without reading it: the text of each element of a JSON array as
// it was sent, so that each goes to the same request handler as a line of the automation port
// does (a key given twice inside one element is refused there, as on that port). Plain code.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace web {

/// The elements of the array `text` holds (whitespace around each trimmed); nullopt when
/// `text` is not a JSON array. Only the array's own commas split: those inside strings,
/// objects and nested arrays do not.
std::optional<std::vector<std::string_view>> SplitJsonArray(std::string_view text);

}  // namespace web
