#include "orvanta/graph/evaluate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <set>

#include "orvanta/graph/controls.h"
#include "orvanta/host/failure.h"

namespace orvanta::graph {
namespace {

constexpr int kMaxExpressionDepth = 64;

std::string Num(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "infinity" : "minus infinity";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

// Puts a node's pictures and driven values in place for one render and takes them out again, so
// that no input keeps a picture that is about to be freed.
class Wiring {
 public:
  explicit Wiring(GraphNode& n) : n_(n) {}
  ~Wiring() {
    for (Input* in : n_.node->Inputs()) {
      if (n_.expressions.count(in)) host::Undrive(in);
      auto it = n_.links.find(in);
      if (it != n_.links.end())
        host::Connect(in, host::ImageSource([](double) -> Image* { return nullptr; }), host::SourceName(in));
    }
  }
  Wiring(const Wiring&) = delete;
  Wiring& operator=(const Wiring&) = delete;

 private:
  GraphNode& n_;
};

}  // namespace

void CheckRenderable(const Graph& g, const std::vector<GraphNode*>& targets, const MissingInput& missing,
                     const GivenPicture& given) {
  for (GraphNode* n : g.Upstream(targets))
    for (Input* in : n->node->Inputs()) {
      if (!host::Describe(in).IsRequired() || n->links.count(in) || (given && given(in))) continue;
      throw Failure(missing(g, *n, in));
    }
  g.Check(targets);
}

namespace {

double ValueAtDepth(const Graph& graph, const GraphNode& node, const Input* in, double frame, int depth) {
  auto it = node.expressions.find(in);
  if (it == node.expressions.end()) return host::NumberAt(in, frame);
  const std::string control = Quoted(host::Describe(in).label) + " of " + node.Named();
  if (depth > kMaxExpressionDepth)
    throw Failure("the expression of " + control + " reads expressions too deeply (a cycle?)");
  Expression& e = const_cast<Expression&>(it->second);
  std::vector<double> refs;
  for (const Expression::Reference& r : e.References())
    refs.push_back(
        ValueAtDepth(graph, graph.Get(r.node), graph.ReferencedControl(r, node), frame, depth + 1));
  const double v = e.Evaluate(frame, refs);
  if (!std::isfinite(v))
    throw Failure("the expression " + Quoted(e.Text()) + " of " + control + " gives " + Num(v) +
                  " at frame " + Num(frame));
  return v;
}

}  // namespace

double ControlValueAt(const Graph& graph, const GraphNode& node, const Input* in, double frame) {
  return ValueAtDepth(graph, node, in, frame, 0);
}

double Evaluator::ValueAt(const GraphNode& node, const Input* in, double frame) {
  return ControlValueAt(graph_, node, in, frame);
}

std::vector<host::ImagePtr> Evaluator::Render(const std::vector<GraphNode*>& targets, int32_t frame) {
  const std::vector<GraphNode*> order = graph_.Upstream(targets);
  const std::set<const GraphNode*> wanted(targets.begin(), targets.end());
  // How many nodes still take each node's picture this frame, so it is freed after its last use.
  std::map<std::string, int> uses;
  for (GraphNode* n : order)
    for (auto& [in, link] : n->links)
      if (link.kind == Link::Kind::Node) ++uses[link.target];
  std::map<std::string, host::ImagePtr> results;
  const bool named = graph_.Size() > 1;

  for (GraphNode* n : order) {
    Wiring wiring(*n);
    for (Input* in : n->node->Inputs()) {
      if (n->expressions.count(in)) host::Drive(in, ValueAt(*n, in, double(frame)));
      auto it = n->links.find(in);
      if (it == n->links.end()) continue;
      const Link& link = it->second;
      if (link.kind == Link::Kind::Node) {
        host::Connect(in, results.at(link.target).get(), host::SourceName(in));
      } else {
        // Read before the render starts, so that its time is the tool's alone and a file that
        // cannot be read is reported as such.
        host::Connect(in, files_.Load(graph_.Resolve(link.target), frame), host::SourceName(in));
      }
    }
    const auto start = std::chrono::steady_clock::now();
    host::RenderResult r = n->node->Render(double(frame));
    renderSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++renders_[n];
    if (!r.ok()) {
      std::string why = r.error.empty() ? n->Tool() + ": the render failed" : r.error;
      throw Failure(named ? n->Named() + ": " + why : why);
    }
    results[n->name] = std::move(r.image);
    for (auto& [in, link] : n->links)
      if (link.kind == Link::Kind::Node && --uses[link.target] == 0 &&
          !wanted.count(&graph_.Get(link.target)))
        results.erase(link.target);
  }
  std::vector<host::ImagePtr> out;
  for (size_t i = 0; i < targets.size(); ++i) {
    host::ImagePtr& im = results.at(targets[i]->name);
    if (im) {
      out.push_back(std::move(im));
    } else {  // a target named twice: the second gets a copy of the first's picture
      size_t first = size_t(std::find(targets.begin(), targets.end(), targets[i]) - targets.begin());
      out.push_back(host::ImagePtr(out[first]->CopyOfImage()));
    }
  }
  return out;
}

host::ImagePtr Evaluator::Render(GraphNode& target, int32_t frame) {
  return std::move(Render({&target}, frame).front());
}

std::vector<int32_t> Evaluator::DefaultFrames(const std::vector<GraphNode*>& targets, bool manyFrames) {
  int32_t movie = 0;
  bool sequence = false;
  std::vector<int32_t> held;  // the frames every sequence so far holds
  for (GraphNode* n : graph_.Upstream(targets))
    for (auto& [in, link] : n->links) {
      if (link.kind != Link::Kind::File) continue;
      FileInfo info = files_.Info(graph_.Resolve(link.target));
      if (info.kind == FileInfo::Kind::Sequence) {
        if (info.frames.empty())
          throw Failure("the input " + link.target + " is an image sequence with no frames on disk; " +
                        "give the frames with --frames, e.g. --frames 1-100");
        std::vector<int32_t> common;
        std::set_intersection(held.begin(), held.end(), info.frames.begin(), info.frames.end(),
                              std::back_inserter(common));
        held = sequence ? common : info.frames;
        if (held.empty())
          throw Failure(
              "the image sequences of the inputs hold no frame in common; give the frames with --frames");
        sequence = true;
      }
      if (info.kind == FileInfo::Kind::Movie && info.movieFrames > 0)
        movie = movie == 0 ? info.movieFrames : std::min(movie, info.movieFrames);
    }
  if (sequence) {
    if (!manyFrames) held.resize(1);
    return held;
  }
  std::vector<int32_t> frames;
  if (movie > 0 && manyFrames)
    for (int32_t f = 1; f <= movie; ++f) frames.push_back(f);
  else
    frames.push_back(1);
  return frames;
}

void Evaluator::CheckFiles(const std::vector<GraphNode*>& targets, const std::vector<int32_t>& frames) {
  for (GraphNode* n : graph_.Upstream(targets))
    for (auto& [in, link] : n->links)
      if (link.kind == Link::Kind::File)
        for (int32_t f : frames) files_.Check(graph_.Resolve(link.target), f);
}

void Evaluator::CheckExpressions(const std::vector<GraphNode*>& targets, const std::vector<int32_t>& frames) {
  for (GraphNode* n : graph_.Upstream(targets))
    for (auto& [in, e] : n->expressions)
      for (int32_t f : frames) (void)ValueAt(*n, in, double(f));
}

void Evaluator::CheckFrames(const std::vector<GraphNode*>& targets, const std::vector<int32_t>& frames) {
  CheckFiles(targets, frames);
  CheckExpressions(targets, frames);
}

int64_t Evaluator::Renders(const GraphNode& node) const {
  auto it = renders_.find(&node);
  return it == renders_.end() ? 0 : it->second;
}

}  // namespace orvanta::graph
