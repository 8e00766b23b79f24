// Compositions as text: a graph written as JSON and read back (the format is described in
// docs/compositions.md), and the nodes of the older binary composition format as a graph.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/graph/graph.h"

namespace orvanta::graph {

inline constexpr int kCompositionVersion = 1;

// True when the bytes look like JSON (an object or a list) rather than a binary composition.
bool LooksLikeJson(std::string_view bytes);

// Reads a JSON composition; every fault is a Failure that starts with name (the file's path).
// Controls are set in the order written through the tools' set-value path, as a user would set
// them, and then every written value is put back exactly, so a tool's presets fill in only what
// the file leaves out. File paths are kept as written; the caller sets the graph's baseDir.
Graph ReadJsonComposition(std::string_view text, const std::string& name);

// The graph as JSON text: nodes in graph order, image inputs by label, controls by id in
// declaration order (only those that hold a value or an expression). pathText, when given, turns
// each file path as kept into the text to write. Reading the text back and writing it again
// gives the same text.
std::string WriteJsonComposition(const Graph& graph,
                                 const std::function<std::string(const std::string&)>& pathText = {});

// A name for a new node of the tool: its display name without the maker's prefix, in lower case.
std::string NodeNameFor(const host::ClassInfo& cls);

// The nodes of a binary composition as a graph, each named after its tool; image inputs that
// name a file become file links.
Graph GraphOfNodes(std::vector<std::unique_ptr<host::Node>> nodes);
// The graph's nodes for the binary format, their file inputs naming absolute paths; throws
// Failure when the graph holds what that format cannot (links between nodes, expressions).
std::vector<host::Node*> NodesForBinary(Graph& graph, const std::string& path);

}  // namespace orvanta::graph
