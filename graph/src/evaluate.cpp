#include "orvanta/graph/evaluate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <optional>
#include <set>

#include "orvanta/graph/controls.h"
#include "orvanta/host/failure.h"

namespace orvanta::graph {
namespace {

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

// Depth first over the controls the expressions read, on a stack of its own rather than the
// thread's: a chain of expressions may be as long as the graph. Each control's value is kept in
// known once found, so none is evaluated twice at the frame.
double DrivenValue(const Graph& graph, const GraphNode& node, const Input* in, double frame,
                   std::map<std::pair<const GraphNode*, const Input*>, double>& known, int64_t& evaluations) {
  struct Pending {
    const GraphNode* node;
    const Input* in;
    Expression* expression;
    std::vector<double> refs;  // the values of the references found so far
  };
  std::vector<Pending> stack;
  std::set<std::pair<const GraphNode*, const Input*>> open;
  // The controls from the one read again to the last, each reading the next, as Graph::Check says it.
  auto cycle = [&](const GraphNode& n, const Input* i) {
    auto name = [](const GraphNode& g, const Input* c) {
      return g.name + "." + IdText(host::Describe(c).id);
    };
    std::string text;
    auto from =
        std::find_if(stack.begin(), stack.end(), [&](const Pending& p) { return p.node == &n && p.in == i; });
    for (auto it = from; it != stack.end(); ++it) text += name(*it->node, it->in) + " -> ";
    return "the expressions read each other in a cycle: " + text + name(n, i);
  };
  auto ready = [&](const GraphNode& n, const Input* i) -> std::optional<double> {
    auto e = n.expressions.find(i);
    if (e == n.expressions.end()) return host::NumberAt(i, frame);
    if (auto k = known.find({&n, i}); k != known.end()) return k->second;
    if (!open.insert({&n, i}).second) throw Failure(cycle(n, i));
    stack.push_back({&n, i, const_cast<Expression*>(&e->second), {}});
    return std::nullopt;
  };
  if (std::optional<double> v = ready(node, in)) return *v;
  for (;;) {
    Pending& top = stack.back();
    const std::vector<Expression::Reference>& refs = top.expression->References();
    if (top.refs.size() < refs.size()) {
      const Expression::Reference& r = refs[top.refs.size()];
      if (std::optional<double> v = ready(graph.Get(r.node), graph.ReferencedControl(r, *top.node)))
        top.refs.push_back(*v);
      continue;
    }
    const double v = top.expression->Evaluate(frame, top.refs);
    ++evaluations;
    if (!std::isfinite(v))
      throw Failure("the expression " + Quoted(top.expression->Text()) + " of " +
                    Quoted(host::Describe(top.in).label) + " of " + top.node->Named() + " gives " + Num(v) +
                    " at frame " + Num(frame));
    known.emplace(std::make_pair(top.node, top.in), v);
    open.erase({top.node, top.in});
    stack.pop_back();
    if (stack.empty()) return v;
    stack.back().refs.push_back(v);
  }
}

}  // namespace

double ControlValueAt(const Graph& graph, const GraphNode& node, const Input* in, double frame) {
  std::map<std::pair<const GraphNode*, const Input*>, double> known;
  int64_t evaluations = 0;
  return DrivenValue(graph, node, in, frame, known, evaluations);
}

double Evaluator::ValueAt(const GraphNode& node, const Input* in, double frame) {
  FrameValues known{frame, {}};
  return ValueAt(node, in, known);
}

double Evaluator::ValueAt(const GraphNode& node, const Input* in, FrameValues& known) {
  return DrivenValue(graph_, node, in, known.frame, known.values, evaluations_);
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
  FrameValues known{double(frame), {}};

  for (GraphNode* n : order) {
    Wiring wiring(*n);
    for (Input* in : n->node->Inputs()) {
      if (n->expressions.count(in)) host::Drive(in, ValueAt(*n, in, known));
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
  const std::vector<GraphNode*> order = graph_.Upstream(targets);
  for (int32_t f : frames) {
    FrameValues known{double(f), {}};
    for (GraphNode* n : order)
      for (auto& [in, e] : n->expressions) (void)ValueAt(*n, in, known);
  }
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
