#include "orvanta/graph/edits.h"

#include <filesystem>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/host/failure.h"

namespace orvanta::graph {
namespace {

// The node a setting without a NODE. prefix is for: the only node.
GraphNode& OnlyNode(const Graph& g, const std::string& option, const std::string& spec,
                    const NamesNoNode& namesNoNode) {
  if (g.Size() == 1) return *g.Nodes().front();
  throw Failure(namesNoNode(g, option, spec));
}

// "NODE.REST" when NODE is a node of the graph (the text before the first '.' and before any
// '='), else the only node and the whole text.
std::pair<GraphNode*, std::string> Addressed(const Graph& g, const std::string& spec,
                                             const std::string& option, const NamesNoNode& namesNoNode) {
  const size_t eq = spec.find('=');
  const size_t dot = spec.find('.');
  if (dot != std::string::npos && dot < eq)
    if (GraphNode* n = g.Find(spec.substr(0, dot))) return {n, spec.substr(dot + 1)};
  return {&OnlyNode(g, option, spec, namesNoNode), spec};
}

// -i PATH, -i LABEL=PATH, -i NODE=PATH (its main input), -i NODE.LABEL=PATH.
void ConnectInput(Graph& g, const std::string& spec, const NamesNoNode& namesNoNode) {
  GraphNode* node = nullptr;
  Input* target = nullptr;
  std::string path = spec;
  const size_t eq = spec.find('=');
  if (eq != std::string::npos) {
    const std::string head = spec.substr(0, eq);
    if (GraphNode* n = g.Find(head); n && !FindImageInput(*n->node, head)) {
      node = n;
      path = spec.substr(eq + 1);
    } else {
      auto [n2, rest] = Addressed(g, spec, "-i", namesNoNode);
      const size_t eq2 = rest.find('=');
      if (Input* in = FindImageInput(*n2->node, rest.substr(0, eq2))) {
        node = n2, target = in;
        path = rest.substr(eq2 + 1);
      } else {
        std::error_code ec;
        if (!std::filesystem::exists(spec, ec))
          throw Failure(g.Mention(*n2) + " has no image input " + Quoted(rest.substr(0, eq2)) +
                        "; its image inputs are " + ImageInputList(*n2->node));
      }
    }
  }
  if (!node) node = &OnlyNode(g, "-i", spec, namesNoNode);
  if (!target) target = MainImageInput(*node->node);
  if (!target) throw Failure(node->Tool() + " has no image input to connect " + path + " to");
  if (path.empty()) throw Failure("-i " + Quoted(spec) + " gives no file path");
  g.ConnectFile(*node, target, g.CallerPath(path));
}

void SetValue(Graph& g, const std::string& spec, const NamesNoNode& namesNoNode) {
  auto [node, rest] = Addressed(g, spec, "-s", namesNoNode);
  const size_t eq = rest.find('=');
  if (eq == std::string::npos) throw Failure("-s takes CONTROL=VALUE, not " + Quoted(spec));
  Input* in = FindControl(*node->node, rest.substr(0, eq));
  ApplyValue(in, ParseValue(*node->node, in, rest.substr(eq + 1)));
  g.ClearExpression(*node, in);  // a value given replaces an expression
}

void SetExpression(Graph& g, const std::string& spec, const NamesNoNode& namesNoNode) {
  auto [node, rest] = Addressed(g, spec, "-x", namesNoNode);
  const size_t eq = rest.find('=');
  if (eq == std::string::npos) throw Failure("-x takes CONTROL=EXPRESSION, not " + Quoted(spec));
  Input* in = FindControl(*node->node, rest.substr(0, eq));
  g.SetExpression(*node, in, rest.substr(eq + 1));
}

}  // namespace

Graph ToolGraph(const std::string& tool) {
  const host::ClassInfo* cls = host::FindClass(tool);
  if (!cls) throw Failure("no installed tool is named " + Quoted(tool) + "; 'orvanta tools' lists them");
  Graph g;
  g.Add(g.UniqueName(NodeNameFor(*cls)), *cls);
  return g;
}

void ConnectInputs(Graph& graph, const GraphEdits& edits, const NamesNoNode& namesNoNode) {
  for (const std::string& spec : edits.inputs) ConnectInput(graph, spec, namesNoNode);
}

void SetControls(Graph& graph, const GraphEdits& edits, const NamesNoNode& namesNoNode) {
  for (const std::string& spec : edits.settings) SetValue(graph, spec, namesNoNode);
  for (const std::string& spec : edits.expressions) SetExpression(graph, spec, namesNoNode);
}

void ApplyEdits(Graph& graph, const GraphEdits& edits, const NamesNoNode& namesNoNode) {
  ConnectInputs(graph, edits, namesNoNode);
  SetControls(graph, edits, namesNoNode);
}

// ---- the option loop ----------------------------------------------------------------------------

ArgReader::ArgReader(std::vector<std::string> words, std::function<void(const std::string&)> refuse)
    : words_(std::move(words)), refuse_(std::move(refuse)) {}

std::string ArgReader::Value() {
  const std::string& option = Current();
  if (next_ >= words_.size()) {
    refuse_(option + " needs a value");
    throw Failure(option + " needs a value");  // refuse_ throws; this is for one that returned
  }
  return words_[next_++];
}

bool ArgReader::TakeEdit(GraphEdits& edits) {
  const std::string& option = Current();
  std::vector<std::string>* list = option == "-i"   ? &edits.inputs
                                   : option == "-s" ? &edits.settings
                                   : option == "-x" ? &edits.expressions
                                                    : nullptr;
  if (!list) return false;
  list->push_back(Value());
  return true;
}

}  // namespace orvanta::graph
