#include "render.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/files.h"
#include "orvanta/io/sequence.h"

namespace orvanta::cli {
namespace fs = std::filesystem;
using graph::Graph;
using graph::GraphNode;

namespace {

bool g_progressOpen = false;

std::string NodeList(const Graph& g) {
  std::string list;
  for (auto& n : g.Nodes()) list += (list.empty() ? "" : ", ") + Quoted(n->name);
  return list;
}

std::string ImageInputList(const host::Node& node) {
  std::string list;
  for (Input* in : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (d.IsImage()) list += (list.empty() ? "" : ", ") + Quoted(d.label);
  }
  return list.empty() ? "none" : list;
}

// The node a setting without a NODE. prefix is for: the only node.
GraphNode& OnlyNode(const Graph& g, const std::string& option, const std::string& spec) {
  if (g.Size() == 1) return *g.Nodes().front();
  throw Failure(option + " " + Quoted(spec) + " names no node; write it as " + option +
                " NODE.CONTROL=VALUE with one of the composition's nodes " + NodeList(g));
}

// "NODE.REST" when NODE is a node of the graph (the text before the first '.' and before any
// '='), else the only node and the whole text.
std::pair<GraphNode*, std::string> Addressed(const Graph& g, const std::string& spec, const std::string& option) {
  const size_t eq = spec.find('=');
  const size_t dot = spec.find('.');
  if (dot != std::string::npos && dot < eq)
    if (GraphNode* n = g.Find(spec.substr(0, dot))) return {n, spec.substr(dot + 1)};
  return {&OnlyNode(g, option, spec), spec};
}

// A path given on the command line, for a graph whose relative paths are read from another folder.
std::string CommandLinePath(const Graph& g, const std::string& path) {
  if (g.baseDir.empty() || fs::path(path).is_absolute()) return path;
  std::error_code ec;
  fs::path abs = fs::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

// -i PATH, -i LABEL=PATH, -i NODE=PATH (its main input), -i NODE.LABEL=PATH.
void ConnectInput(Graph& g, const std::string& spec) {
  GraphNode* node = nullptr;
  Input* target = nullptr;
  std::string path = spec;
  const size_t eq = spec.find('=');
  if (eq != std::string::npos) {
    const std::string head = spec.substr(0, eq);
    if (GraphNode* n = g.Find(head); n && !graph::FindImageInput(*n->node, head)) {
      node = n;
      path = spec.substr(eq + 1);
    } else {
      auto [n2, rest] = Addressed(g, spec, "-i");
      const size_t eq2 = rest.find('=');
      if (Input* in = graph::FindImageInput(*n2->node, rest.substr(0, eq2))) {
        node = n2, target = in;
        path = rest.substr(eq2 + 1);
      } else {
        std::error_code ec;
        if (!fs::exists(spec, ec))
          throw Failure((g.Size() > 1 ? n2->Named() + " (" + n2->Tool() + ")" : n2->Tool()) + " has no image input " +
                        Quoted(rest.substr(0, eq2)) + "; its image inputs are " + ImageInputList(*n2->node));
      }
    }
  }
  if (!node) node = &OnlyNode(g, "-i", spec);
  if (!target) target = graph::MainImageInput(*node->node);
  if (!target) throw Failure(node->Tool() + " has no image input to connect " + path + " to");
  if (path.empty()) throw Failure("-i " + Quoted(spec) + " gives no file path");
  g.ConnectFile(*node, target, CommandLinePath(g, path));
}

void ApplySetting(Graph& g, const std::string& spec) {
  auto [node, rest] = Addressed(g, spec, "-s");
  const size_t eq = rest.find('=');
  if (eq == std::string::npos) throw Failure("-s takes CONTROL=VALUE, not " + Quoted(spec));
  Input* in = graph::FindControl(*node->node, rest.substr(0, eq));
  graph::ApplyValue(in, graph::ParseValue(*node->node, in, rest.substr(eq + 1)));
  g.ClearExpression(*node, in);  // a value given replaces an expression
}

void ApplyExpression(Graph& g, const std::string& spec) {
  auto [node, rest] = Addressed(g, spec, "-x");
  const size_t eq = rest.find('=');
  if (eq == std::string::npos) throw Failure("-x takes CONTROL=EXPRESSION, not " + Quoted(spec));
  Input* in = graph::FindControl(*node->node, rest.substr(0, eq));
  g.SetExpression(*node, in, rest.substr(eq + 1));
}

Graph StartingGraph(const RenderOptions& o) {
  if (!o.comp.empty()) {
    Graph g = io::LoadComposition(o.comp);
    if (!o.tool.empty()) {
      if (g.Size() != 1)
        throw Failure(o.comp + " holds " + std::to_string(g.Size()) + " nodes; name the one to render with --node, not a tool");
      if (host::FindClass(o.tool) != &g.Nodes().front()->node->Class())
        throw Failure(o.comp + " holds a node of " + g.Nodes().front()->Tool() + ", not of " + o.tool);
    }
    return g;
  }
  if (o.tool.empty()) throw Failure("render needs a tool name, or a composition with --comp");
  const host::ClassInfo* cls = host::FindClass(o.tool);
  if (!cls) throw Failure("no installed tool is named " + Quoted(o.tool) + "; 'orvanta tools' lists them");
  Graph g;
  g.Add(g.UniqueName(graph::NodeNameFor(*cls)), *cls);
  return g;
}

// Every image input the render needs is connected; said the way the user can mend it.
void CheckRequiredInputs(const Graph& g, const std::vector<GraphNode*>& nodes) {
  for (GraphNode* n : nodes)
    for (Input* in : n->node->Inputs()) {
      const host::ControlDescription& d = host::Describe(in);
      if (!d.IsRequired() || n->links.count(in)) continue;
      const bool main = in == graph::MainImageInput(*n->node);
      if (g.Size() == 1)
        throw Failure(n->Tool() + " needs its image input " + Quoted(d.label) + "; give it with -i " +
                      (main ? std::string("PATH") : Quoted(d.label + "=PATH")));
      throw Failure(n->Named() + " (" + n->Tool() + ") needs its image input " + Quoted(d.label) +
                    "; connect it in the composition or give it with -i " + Quoted(n->name + "." + d.label + "=PATH"));
    }
}

void Progress(const RenderOptions& o, int32_t frame, size_t done, size_t total) {
  if (o.quiet || total < 2 || !::isatty(STDERR_FILENO)) return;
  std::fprintf(stderr, "\rorvanta: frame %d (%zu of %zu)", frame, done, total);
  std::fflush(stderr);
  g_progressOpen = true;
  if (done == total) EndProgressLine();
}

}  // namespace

void EndProgressLine() {
  if (!g_progressOpen) return;
  std::fputc('\n', stderr);
  g_progressOpen = false;
}

void Render(const RenderOptions& o) {
  Graph g = StartingGraph(o);
  for (const std::string& spec : o.inputs) ConnectInput(g, spec);
  for (const std::string& spec : o.settings) ApplySetting(g, spec);
  for (const std::string& spec : o.expressions) ApplyExpression(g, spec);

  if (o.output.empty() && o.save.empty() && !o.stats)
    throw Failure("nothing to do: give -o PATH for the result or --save COMP");
  // Only saving: every end node must be renderable, though none is rendered.
  const bool rendering = !o.output.empty() || o.stats;
  std::vector<GraphNode*> targets = rendering || !o.node.empty() ? std::vector<GraphNode*>{&g.Target(o.node)} : g.Ends();
  if (targets.empty()) targets.push_back(&g.Target());  // no end node: every node is in a cycle, which this names
  CheckRequiredInputs(g, g.Upstream(targets));           // Upstream refuses a cycle first
  g.Check(targets);
  GraphNode& target = *targets.front();

  io::FileCache files;
  graph::Evaluator eval(g, files);
  if (!rendering && o.frames.empty()) {  // only saving: no frames to check the files at
    io::SaveComposition(g, o.save);
    return;
  }
  std::vector<int32_t> frames =
      o.frames.empty() ? eval.DefaultFrames(targets, io::HasFramePattern(o.output)) : io::ParseFrames(o.frames);
  if (!o.output.empty()) {
    if (frames.size() > 1 && !io::HasFramePattern(o.output))
      throw Failure("rendering " + std::to_string(frames.size()) +
                    " frames needs a frame pattern (# or %04d) in the -o path " + o.output);
    io::CheckWritable(io::FramePath(o.output, frames.front()));
  }
  eval.CheckFiles(targets, frames);
  eval.CheckExpressions(targets, frames);

  if (!o.save.empty()) io::SaveComposition(g, o.save);
  if (o.output.empty() && !o.stats) return;

  using Clock = std::chrono::steady_clock;
  Clock::duration total{0};
  for (size_t i = 0; i < frames.size(); ++i) {
    const int32_t f = frames[i];
    const Clock::time_point start = Clock::now();
    host::ImagePtr image = eval.Render(target, f);
    if (!o.output.empty()) io::WriteImage(*image, io::FramePath(o.output, f), o.bits);
    total += Clock::now() - start;
    Progress(o, f, i + 1, frames.size());
  }
  if (o.stats && !frames.empty()) {
    const double n = double(frames.size());
    const double inTools = eval.RenderSeconds() * 1000.0 / n;
    const double all = std::chrono::duration<double, std::milli>(total).count() / n;
    const std::string what = g.Size() == 1 ? target.Tool() : target.Named();
    std::fprintf(stderr, "%s: %zu frames, %.3f ms per frame in the tool%s, %.3f ms per frame with reading and writing\n",
                 what.c_str(), frames.size(), inTools, g.Size() == 1 ? "" : "s", all);
  }
}

}  // namespace orvanta::cli
