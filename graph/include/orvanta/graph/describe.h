// What the tools declare, as JSON for scripts and front-ends: the loaded tools, and one tool's
// inputs page by page with their ids, kinds, ranges, items, groups and shown state.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "orvanta/host/host.h"

namespace orvanta::graph {

using Json = nlohmann::ordered_json;

// The 32-bit word as 0xXXXXXXXX.
std::string HexWord(uint32_t w);

// name, registryName, identifier, caption, classWord, versions, library.
Json DescribeClass(const host::ClassInfo& cls);
// The class list, in registration order.
Json DescribeClasses(const std::vector<const host::ClassInfo*>& classes);
// One input: label, id, idWord, kind, required (images), shown, wholeNumbers, range and limits,
// default, items, group.
Json DescribeInput(const host::Node& node, const Input* in);
// The tool: name, identifier, caption, classWord, versions, help and pages [{page, inputs}], in
// declaration order.
Json DescribeNode(const host::Node& node);

}  // namespace orvanta::graph
