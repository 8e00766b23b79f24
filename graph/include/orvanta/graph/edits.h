// What a front-end's command line does to a graph, written once for every front-end: a graph of
// one tool, the -i, -s and -x options read in one option loop, and applied to the graph's nodes.
//
//   -i PATH, -i LABEL=PATH          a file into the main image input, or into the input LABEL
//   -i NODE=PATH, -i NODE.LABEL=PATH  the same for a node of a composition
//   -s [NODE.]CONTROL=VALUE         a value (or keyframes) through the set-value path
//   -x [NODE.]CONTROL=EXPRESSION    a number control driven by an expression
//
// Without a NODE. prefix a setting is for the graph's only node. No files are read here; a -i value
// holding '=' is only looked up as a file name when what precedes the '=' is no image input.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "orvanta/graph/graph.h"

namespace orvanta::graph {

// The -i, -s and -x values of a command line, each kind in command-line order.
struct GraphEdits {
  std::vector<std::string> inputs;       // -i [NODE.]PATH or -i [NODE.]LABEL=PATH
  std::vector<std::string> settings;     // -s [NODE.]CONTROL=VALUE
  std::vector<std::string> expressions;  // -x [NODE.]CONTROL=EXPRESSION
};

// A graph of one node of the tool (display name, identifier or registry name). Throws Failure
// when no installed tool has that name.
Graph ToolGraph(const std::string& tool);

// The sentence for a setting without a NODE. prefix in a graph of several nodes (the option, -i,
// -s or -x, and its value as given); each front-end says it its own way.
using NamesNoNode =
    std::function<std::string(const Graph& graph, const std::string& option, const std::string& spec)>;

// Connects the -i files, in order; paths are read from the caller's folder (Graph::CallerPath).
void ConnectInputs(Graph& graph, const GraphEdits& edits, const NamesNoNode& namesNoNode);
// Sets the -s values (a value replaces an expression), then the -x expressions, in order.
void SetControls(Graph& graph, const GraphEdits& edits, const NamesNoNode& namesNoNode);
// ConnectInputs, then SetControls. Each throws Failure with one sentence at the first edit that
// does not apply; those before it stay applied.
void ApplyEdits(Graph& graph, const GraphEdits& edits, const NamesNoNode& namesNoNode);

// The option loop of a front-end's command line: words taken one at a time, an option's value
// taken with it, and -i, -s and -x gathered into GraphEdits. refuse is called with a sentence
// for a missing value and must throw.
class ArgReader {
 public:
  ArgReader(std::vector<std::string> words, std::function<void(const std::string& why)> refuse);

  bool More() const { return next_ < words_.size(); }
  // The next word; More() must be true.
  const std::string& Next() { return words_[next_++]; }
  // The word Next() gave last.
  const std::string& Current() const { return words_[next_ - 1]; }
  // The value of the option Next() gave; refuses "OPTION needs a value" when there is none.
  std::string Value();
  // When the word Next() gave is -i, -s or -x: its value added to edits, and true.
  bool TakeEdit(GraphEdits& edits);

 private:
  std::vector<std::string> words_;
  std::function<void(const std::string&)> refuse_;
  size_t next_ = 0;
};

}  // namespace orvanta::graph
