// Arbitrary text as the expressions of two nodes: each line drives one number control (lines 1 to 4
// the controls of node "a", 5 to 8 those of node "b"; an empty line none). Every expression must
// parse or be refused with a Failure, and every value the evaluator gives must be finite and equal
// a plain evaluation that follows each reference again without sharing anything; where the plain
// one meets NaN or an infinity the evaluator must refuse with a Failure. Nothing else may be thrown.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/graph/controls.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/graph/graph.h"
#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"

namespace {

using namespace orvanta;

constexpr const char* kNodes[] = {"a", "b"};
constexpr uint32_t kControls[] = {FourCC("SORL"), FourCC("SORH"), FourCC("SOTL"), FourCC("SOTH")};
constexpr size_t kLines = 8;
// The plain evaluation gives up beyond this many evaluations (its cost may grow exponentially).
constexpr int kPlainBudget = 20000;

class NoFiles : public graph::FileProvider {
 public:
  graph::FileInfo Info(const std::string&) override { return {}; }
  void Check(const std::string& path, int32_t) override { throw Failure("no file " + path); }
  Image* Load(const std::string& path, int32_t) override { throw Failure("no file " + path); }
};

// The value of the control at frame by following every reference again; nullopt when NaN or an
// infinity comes out anywhere on the way, or when the budget runs out (it is then below zero).
std::optional<double> Plain(graph::Graph& g, const graph::GraphNode& n, const Input* in, double frame,
                            int& budget) {
  auto it = n.expressions.find(in);
  if (it == n.expressions.end()) return host::NumberAt(in, frame);
  if (--budget < 0) return std::nullopt;
  auto& e = const_cast<graph::Expression&>(it->second);
  std::vector<double> refs;
  for (const graph::Expression::Reference& r : e.References()) {
    std::optional<double> v = Plain(g, g.Get(r.node), g.ReferencedControl(r, n), frame, budget);
    if (!v) return std::nullopt;
    refs.push_back(*v);
  }
  const double v = e.Evaluate(frame, refs);
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  host::LoadPlugin(std::string(ORVANTA_PLUGIN_DIR) + "/OrvantaRemap.so");
  if (!host::FindClass("OrvantaRemap")) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  graph::Graph g;
  std::vector<std::pair<graph::GraphNode*, Input*>> controls;
  for (const char* name : kNodes) {
    graph::GraphNode& n = g.Add(name, *host::FindClass("OrvantaRemap"));
    g.ConnectFile(n, graph::MainImageInput(*n.node), "in.png");  // never read: nothing is rendered
    for (uint32_t id : kControls) controls.emplace_back(&n, n.node->FindInput(id));
  }
  size_t start = 0;
  for (size_t line = 0; line < kLines && start <= text.size(); ++line) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string expr = text.substr(start, end - start);
    start = end + 1;
    if (expr.empty()) continue;
    try {
      g.SetExpression(*controls[line].first, controls[line].second, expr);
    } catch (const Failure&) {
    }
  }
  try {
    g.Check({g.Nodes()[0].get(), g.Nodes()[1].get()});
  } catch (const Failure&) {
    return 0;  // a cycle: refused before anything is evaluated, as the front-ends do
  }

  NoFiles files;
  graph::Evaluator eval(g, files);
  for (double frame : {1.0, 0.0, -7.0, 2.5, 1e9}) {
    bool allFinite = true, allFollowed = true;
    for (auto [n, in] : controls) {
      std::optional<double> got;
      try {
        got = eval.ValueAt(*n, in, frame);
        if (!std::isfinite(*got)) std::abort();
      } catch (const Failure&) {
      }
      int budget = kPlainBudget;
      std::optional<double> plain = Plain(g, *n, in, frame, budget);
      if (budget < 0) {  // too costly to follow every path again
        allFollowed = false;
        continue;
      }
      allFinite = allFinite && plain.has_value();
      if (got.has_value() != plain.has_value() || (got && !SameBits(*got, *plain))) std::abort();
    }
    // Every control at once, the values shared between them: refused exactly when one is not finite.
    if (frame != std::floor(frame) || !allFollowed) continue;
    bool refused = false;
    try {
      eval.CheckExpressions({g.Nodes()[0].get(), g.Nodes()[1].get()}, {int32_t(frame)});
    } catch (const Failure&) {
      refused = true;
    }
    if (refused == allFinite) std::abort();
  }
  return 0;
}
