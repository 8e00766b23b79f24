// The browser host's state: one graph, the file it is saved to, the frame range, the viewer, and
// every operation of the JSON API (describe, set, render, edit, save). No sockets here: the
// server (server.cpp) calls these under one lock, and the tests call them directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvanta/graph/describe.h"
#include "orvanta/graph/edits.h"
#include "orvanta/graph/graph.h"
#include "orvanta/io/files.h"
#include "orvanta/io/view.h"

namespace orvanta::serve {

using Json = graph::Json;

// What the command line gives: a composition file, or a tool with its inputs (-i, for the tool's
// node only), and -s and -x for either (edits.h).
struct StartOptions : graph::GraphEdits {
  std::string comp;    // graph.json (or a binary composition)
  std::string tool;    // or a tool for a one-node graph
  std::string save;    // where saving writes (default: comp, else composition.json)
  std::string frames;  // frame range of the slider, e.g. "1-50"
};

// A rendered preview: PNG bytes of the picture and how it was made.
struct Preview {
  std::vector<uint8_t> png;
  int32_t width = 0, height = 0;
  bool viewTransformed = false;           // float picture shown through the view transform
  double renderMs = 0.0, encodeMs = 0.0;  // the graph's render; the view transform and PNG encoding
};

class Session {
 public:
  // Builds the graph; throws Failure for a bad option, as the command would.
  explicit Session(const StartOptions& options);
  ~Session();

  // Everything the page shows: tools that can be added, the nodes with their controls page by
  // page (declarations, current values at the frame, links, expressions), the viewed node, the
  // frame range, the save path and the view transform.
  Json State() const;

  // {node, control, value} sets through the same path as -s; {node, control, expression} as -x
  // ("" clears it); {node, settings: [{control, value}, ...]} sets several in order (a colour).
  // node "@scope" addresses the viewer scope. Returns State(): presets change what is shown.
  // Throws Failure with a sentence for the page; what was set before the fault stays set.
  Json Set(const Json& request);

  // Graph edits; each returns State() or throws Failure.
  Json AddNode(const Json& request);     // {tool, name?}
  Json RemoveNode(const Json& request);  // {node}
  Json Connect(const Json& request);     // {node, input, source} (a node's name) or {.., file}
  Json Disconnect(const Json& request);  // {node, input}
  Json View(const Json& request);        // {node?, frame?, scope?}: what the preview shows
  // Writes the graph to the save path through io::SaveCompositionFile; returns {saved: path}.
  Json Save();

  // The node at frame, its file inputs shrunk by scale (0 < scale <= 1; 1 renders exactly what
  // the command renders), as PNG: 8/16-bit pictures as they are, float ones through the view
  // transform. With the scope on, the scope's picture of that node. Throws Failure.
  Preview Render(const std::string& node, int32_t frame, double scale);

  const graph::Graph& Graph() const { return graph_; }
  const std::string& SavePath() const { return savePath_; }

 private:
  class ScaledFiles;
  graph::GraphNode& NodeOf(const Json& request, const char* key = "node") const;
  Json DescribeWithValues(const graph::GraphNode* gn, const host::Node& node) const;
  void SetOne(graph::GraphNode* gn, host::Node& node, const std::string& control, const Json& value);

  graph::Graph graph_;
  std::string savePath_;
  int32_t firstFrame_ = 1, lastFrame_ = 1;
  int32_t frame_ = 1;
  std::string viewed_;
  bool scopeOn_ = false;
  std::unique_ptr<host::Node> scope_;  // the viewer scope, outside the graph (not saved)
  io::FileCache files_;
  std::unique_ptr<ScaledFiles> proxy_;  // the file pictures shrunk for the last proxy scale
  std::unique_ptr<io::ViewTransform> view_;
};

// The text of a JSON value given for a control: numbers as the shortest exact text, strings as
// they are, [x, y] as "X,Y", true/false as on/off. Throws Failure for anything else.
std::string ValueText(const Json& value);

}  // namespace orvanta::serve
