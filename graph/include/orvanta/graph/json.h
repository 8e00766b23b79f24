// JSON text from outside (composition files, request bodies, Python strings) read without letting
// its shape reach the stack: nesting is bounded while the text is read, and every fault is one
// sentence naming what was read.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace orvanta::graph {

using Json = nlohmann::ordered_json;

// The deepest nesting of lists and objects ParseJson takes. A composition nests five deep (the
// keys of a control of a node: {"nodes": [{"controls": {"ID": {"keys": [[1, 0.5]]}}}]}) and the
// browser host's requests less; 64 leaves room for what later versions add, while every walk over a
// parsed value that recurses once per level (writing it out, copying, comparing, the readers that
// take it apart) stays a few kilobytes of stack deep.
inline constexpr int kMaxJsonDepth = 64;

// Parses text as one JSON value. Throws Failure with one sentence that starts with what (a file's
// path, "the request body"): "WHAT is not valid JSON: ..." for a syntax error or a number too
// large for a double, "WHAT nests lists and objects more than 64 deep" for deeper text. The depth
// is refused as the text is read, before a deeper value is built. Any thread may call it.
Json ParseJson(std::string_view text, const std::string& what);

}  // namespace orvanta::graph
