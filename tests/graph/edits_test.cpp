// What the front-ends' command lines do to a graph: -i, -s and -x addressed to the only node or
// by NODE., each front-end's own sentence for a setting that names no node, the option loop, and
// the checks before a render.
#include <cmath>
#include <stdexcept>
#include <string>

#include "orvanta/graph/controls.h"
#include "orvanta/graph/edits.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/host/failure.h"
#include "support.h"

namespace orvanta {
namespace {

using graph::Graph;
using graph::GraphEdits;
using graph::GraphNode;

// The sentence a front-end gives; the tests see that it is the one used.
std::string NoNode(const Graph& g, const std::string& option, const std::string& spec) {
  return "no node for " + option + " " + spec + " among " + std::to_string(g.Size());
}

std::string Refusal(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Failure& e) {
    return e.what();
  }
  return "";
}

class EditsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* lib : {"OrvantaLineDrop", "OrvantaRemap"}) testing::LoadTool(lib);
  }
  // fields (LineDrop) -> levels (Remap).
  static Graph TwoNodes() {
    Graph g;
    g.Add("fields", *host::FindClass("OrvantaLineDrop"));
    GraphNode& levels = g.Add("levels", *host::FindClass("OrvantaRemap"));
    g.ConnectNode(levels, graph::MainImageInput(*levels.node), "fields");
    return g;
  }
  static double Value(const GraphNode& n, const char* control) {
    return host::NumberAt(graph::FindControl(*n.node, control), 0.0);
  }
};

TEST_F(EditsTest, AToolGraphHoldsOneNodeNamedAfterTheTool) {
  Graph g = graph::ToolGraph("OrvantaRemap");
  ASSERT_EQ(g.Size(), 1u);
  EXPECT_EQ(g.Nodes().front()->name, "remap");
  EXPECT_NE(Refusal([] {
              graph::ToolGraph("OrvantaNothing");
            }).find("no installed tool is named \"OrvantaNothing\""),
            std::string::npos);
}

TEST_F(EditsTest, SettingsGoToTheOnlyNodeOrTheNodeTheyName) {
  Graph one = graph::ToolGraph("OrvantaRemap");
  GraphEdits e;
  e.settings = {"SORL=0.25", "remap.SORH=0.75"};
  e.expressions = {"SOTH=0.5 + frame / 100"};
  graph::ApplyEdits(one, e, NoNode);
  const GraphNode& remap = *one.Nodes().front();
  EXPECT_EQ(Value(remap, "SORL"), 0.25);
  EXPECT_EQ(Value(remap, "SORH"), 0.75);
  EXPECT_EQ(remap.expressions.at(graph::FindControl(*remap.node, "SOTH")).Text(), "0.5 + frame / 100");

  Graph two = TwoNodes();
  e = {};
  e.settings = {"levels.SORL=0.3", "fields.BSCH=2"};
  graph::ApplyEdits(two, e, NoNode);
  EXPECT_EQ(Value(*two.Find("levels"), "SORL"), 0.3);
  EXPECT_EQ(Value(*two.Find("fields"), "BSCH"), 2.0);
  // Without a node the caller's sentence says so; a '.' after the '=' is no node name.
  for (const char* spec : {"SORL=0.5", "SORL=levels.5"}) {
    e = {};
    e.settings = {spec};
    EXPECT_EQ(Refusal([&] { graph::ApplyEdits(two, e, NoNode); }),
              "no node for -s " + std::string(spec) + " among 2");
  }
  e = {};
  e.expressions = {"SORH=frame"};
  EXPECT_EQ(Refusal([&] { graph::SetControls(two, e, NoNode); }), "no node for -x SORH=frame among 2");
}

TEST_F(EditsTest, AValueReplacesAnExpressionAndAFaultKeepsWhatCameBefore) {
  Graph g = TwoNodes();
  GraphNode& levels = *g.Find("levels");
  Input* high = graph::FindControl(*levels.node, "SORH");
  g.SetExpression(levels, high, "frame / 10");
  GraphEdits e;
  e.settings = {"levels.SORH=0.5", "levels.SORL=0.2", "levels.SORL=7", "levels.SOTL=0.1"};
  EXPECT_NE(Refusal([&] { graph::SetControls(g, e, NoNode); }).find("outside the range"), std::string::npos);
  EXPECT_FALSE(levels.expressions.count(high));
  EXPECT_EQ(Value(levels, "SORH"), 0.5);
  EXPECT_EQ(Value(levels, "SORL"), 0.2);
  EXPECT_EQ(Value(levels, "SOTL"), 0.0);  // after the fault: not applied
  e = {};
  e.settings = {"levels.SORL"};
  EXPECT_EQ(Refusal([&] { graph::SetControls(g, e, NoNode); }),
            "-s takes CONTROL=VALUE, not \"levels.SORL\"");
  e = {};
  e.expressions = {"levels.SORL"};
  EXPECT_EQ(Refusal([&] { graph::SetControls(g, e, NoNode); }),
            "-x takes CONTROL=EXPRESSION, not \"levels.SORL\"");
}

TEST_F(EditsTest, InputsTakeFilesByLabelOrNode) {
  auto linkOf = [](const GraphNode& n) {
    auto it = n.links.find(graph::MainImageInput(*n.node));
    return it == n.links.end() ? std::string("(none)") : it->second.target;
  };
  Graph one = graph::ToolGraph("OrvantaRemap");
  GraphEdits e;
  e.inputs = {"bars.png"};
  graph::ConnectInputs(one, e, NoNode);
  EXPECT_EQ(linkOf(*one.Nodes().front()), "bars.png");
  e.inputs = {"Input=ramp.png"};  // by the input's label
  graph::ConnectInputs(one, e, NoNode);
  EXPECT_EQ(linkOf(*one.Nodes().front()), "ramp.png");

  Graph two = TwoNodes();
  e.inputs = {"fields=plates/a.#.exr"};  // a node's main input
  graph::ConnectInputs(two, e, NoNode);
  EXPECT_EQ(linkOf(*two.Find("fields")), "plates/a.#.exr");
  e.inputs = {"levels.Input=b.png"};  // a node's input by label, replacing its link
  graph::ConnectInputs(two, e, NoNode);
  EXPECT_EQ(linkOf(*two.Find("levels")), "b.png");

  e.inputs = {"c.png"};
  EXPECT_EQ(Refusal([&] { graph::ConnectInputs(two, e, NoNode); }), "no node for -i c.png among 2");
  e.inputs = {"levels.Nope=c.png"};
  EXPECT_NE(
      Refusal([&] {
        graph::ConnectInputs(two, e, NoNode);
      }).find("node \"levels\" (OrvantaRemap) has no image input \"Nope\"; its image inputs are \"Input\""),
      std::string::npos);
  e.inputs = {"fields="};
  EXPECT_EQ(Refusal([&] { graph::ConnectInputs(two, e, NoNode); }), "-i \"fields=\" gives no file path");
}

TEST(ArgReader, OptionsTakeTheirValuesAndEditsAreGathered) {
  std::vector<std::string> refused;
  auto refuse = [&](const std::string& why) {
    refused.push_back(why);
    throw std::invalid_argument(why);
  };
  graph::ArgReader args({"-i", "a.png", "--node", "n", "-s", "-5", "-x", "X=frame", "TOOL", "-s", "Y=1"},
                        refuse);
  GraphEdits e;
  std::vector<std::string> rest;
  while (args.More()) {
    const std::string& a = args.Next();
    if (args.TakeEdit(e)) continue;
    rest.push_back(a == "--node" ? a + " " + args.Value() : a);
  }
  EXPECT_EQ(e.inputs, (std::vector<std::string>{"a.png"}));
  EXPECT_EQ(e.settings, (std::vector<std::string>{"-5", "Y=1"}));  // a value that looks like an option
  EXPECT_EQ(e.expressions, (std::vector<std::string>{"X=frame"}));
  EXPECT_EQ(rest, (std::vector<std::string>{"--node n", "TOOL"}));
  EXPECT_TRUE(refused.empty());

  graph::ArgReader last({"-x"}, refuse);
  last.Next();
  EXPECT_THROW(last.TakeEdit(e), std::invalid_argument);
  EXPECT_EQ(refused, (std::vector<std::string>{"-x needs a value"}));
  // A refusal that returns still ends the reading.
  graph::ArgReader lax({"--frames"}, [](const std::string&) {});
  lax.Next();
  EXPECT_THROW(lax.Value(), Failure);
}

TEST_F(EditsTest, RenderChecksSayWhatIsMissingTheFrontEndsWay) {
  Graph g = TwoNodes();
  std::vector<GraphNode*> targets{g.Find("levels")};
  auto missing = [](const Graph& graph, const GraphNode& n, const Input* in) {
    return graph.Mention(n) + " lacks " + host::Describe(in).label;
  };
  EXPECT_EQ(Refusal([&] { graph::CheckRenderable(g, targets, missing); }),
            "node \"fields\" (OrvantaLineDrop) lacks Input");
  // A picture the front-end connected itself counts once it says so.
  host::ImagePtr picture = testing::Numbered(8, 6, Depth16);
  Input* fieldsIn = graph::MainImageInput(*g.Find("fields")->node);
  host::Connect(fieldsIn, picture.get(), "");
  EXPECT_EQ(Refusal([&] {
              graph::CheckRenderable(g, targets, missing, [&](const Input* in) { return in == fieldsIn; });
            }),
            "");
  // A cycle is named before any input.
  g.ConnectNode(*g.Find("fields"), fieldsIn, "levels");
  EXPECT_NE(Refusal([&] { graph::CheckRenderable(g, targets, missing); }).find("has a cycle"),
            std::string::npos);
  host::Disconnect(fieldsIn);  // before the picture goes

  Graph one = graph::ToolGraph("OrvantaRemap");
  EXPECT_EQ(Refusal([&] { graph::CheckRenderable(one, {one.Nodes().front().get()}, missing); }),
            "OrvantaRemap lacks Input");
}

}  // namespace
}  // namespace orvanta
