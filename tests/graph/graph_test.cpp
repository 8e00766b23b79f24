// Node graphs in process: renders of chains equal the same nodes fed by hand, shared nodes render
// once, expressions reach the tools at every frame, JSON compositions read back exactly, and every
// bad graph is refused with one sentence naming what is wrong.
#include <pthread.h>

#include <cmath>
#include <functional>
#include <map>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/graph/json.h"
#include "orvanta/host/failure.h"
#include "support.h"

namespace orvanta {
namespace {

using graph::Graph;
using graph::GraphNode;

constexpr uint32_t kShow = FourCC("BSCH"), kCrop = FourCC("CSCH"), kInLow = FourCC("SORL"),
                   kInHigh = FourCC("SORH");

// Runs fn, which must throw Failure with one line that holds says.
template <class F>
void Fails(F fn, const std::string& says) {
  try {
    fn();
    ADD_FAILURE() << "no failure; expected: " << says;
  } catch (const Failure& e) {
    EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what() << "\n  expected: " << says;
    EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
  }
}

// Pictures by path, counting reads, standing in for image files.
class Pictures : public graph::FileProvider {
 public:
  void Put(const std::string& path, host::ImagePtr im) { images_[path] = std::move(im); }
  graph::FileInfo Info(const std::string&) override { return {}; }
  void Check(const std::string& path, int32_t) override {
    if (!images_.count(path)) throw Failure("cannot read " + path + ": the file does not exist");
  }
  Image* Load(const std::string& path, int32_t) override {
    Check(path, 0);
    ++loads;
    return images_.at(path).get();
  }
  int loads = 0;

 private:
  std::map<std::string, host::ImagePtr> images_;
};

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* lib : {"OrvantaLineDrop", "OrvantaRemap", "OrvantaBillboard", "OrvantaScope",
                            "OrvantaRaster", "OrvantaToneGate"})
      testing::LoadTool(lib);
    files.Put("bars.tif", testing::Numbered(37, 24, Depth16));
  }

  GraphNode& Add(Graph& g, const char* name, const char* tool, const char* from) {
    GraphNode& n = g.Add(name, *host::FindClass(tool));
    Input* main = graph::MainImageInput(*n.node);
    if (g.Find(from))
      g.ConnectNode(n, main, from);
    else
      g.ConnectFile(n, main, from);
    return n;
  }

  // fields (LineDrop) -> levels (Remap) -> board (Billboard), and scope (Scope) of levels.
  Graph Chain() {
    Graph g;
    GraphNode& fields = Add(g, "fields", "OrvantaLineDrop", "bars.tif");
    testing::Set(*fields.node, kShow, 2);
    testing::Set(*fields.node, kCrop, 1);
    GraphNode& levels = Add(g, "levels", "OrvantaRemap", "fields");
    testing::Set(*levels.node, kInLow, 0.2);
    testing::Set(*levels.node, kInHigh, 0.7);
    GraphNode& board = Add(g, "board", "OrvantaBillboard", "levels");
    graph::ApplySetting(*board.node, "Preset=Airport");
    GraphNode& scope = Add(g, "scope", "OrvantaScope", "levels");
    graph::ApplySetting(*scope.node, "TYPE=4");
    return g;
  }

  Pictures files;
};

// The same nodes' settings on fresh nodes, each fed the picture of the one before by hand.
host::ImagePtr ByHand(Graph& g, const std::vector<std::string>& chain, Image* source, double frame) {
  host::ImagePtr picture;
  Image* in = source;
  for (const std::string& name : chain) {
    const host::Node& model = *g.Get(name).node;
    host::Node fresh(model.Class());
    for (size_t i = 0; i < model.Inputs().size(); ++i)
      if (!host::Describe(model.Inputs()[i]).IsImage())
        host::SetKeys(fresh.Inputs()[i], host::Keys(model.Inputs()[i]), host::IsAnimated(model.Inputs()[i]));
    host::Connect(graph::MainImageInput(fresh), in);
    host::RenderResult r = fresh.Render(frame);
    EXPECT_TRUE(r.ok()) << r.error;
    picture = std::move(r.image);
    in = picture.get();
  }
  return picture;
}

TEST_F(GraphTest, ChainsEqualTheNodesFedByHandForOneAndTwoWorkers) {
  Graph g = Chain();
  host::ImagePtr expected[2];
  Pictures copy;
  for (int32_t threads : {1, 2}) {
    SCOPED_TRACE(threads);
    host::ImagePtr board, scope;
    testing::WithThreads(threads, [&] {
      graph::Evaluator eval(g, files);
      auto images = eval.Render({&g.Get("board"), &g.Get("scope")}, 1);
      board = std::move(images[0]);
      scope = std::move(images[1]);
      return 0;
    });
    Image* bars = files.Load("bars.tif", 1);
    host::ImagePtr boardByHand = ByHand(g, {"fields", "levels", "board"}, bars, 1);
    host::ImagePtr scopeByHand = ByHand(g, {"fields", "levels", "scope"}, bars, 1);
    ASSERT_TRUE(board && scope && boardByHand && scopeByHand);
    EXPECT_GT(board->Width, 37);  // the display pixels enlarge it
    EXPECT_TRUE(testing::SameBytes(board.get(), boardByHand.get()));
    EXPECT_TRUE(testing::SameBytes(scope.get(), scopeByHand.get()));
    expected[threads - 1] = std::move(board);
  }
  EXPECT_TRUE(testing::SameBytes(expected[0].get(), expected[1].get()));
}

TEST_F(GraphTest, ANodeSeveralNodesUseRendersOncePerFrame) {
  Graph g = Chain();
  graph::Evaluator eval(g, files);
  for (int32_t f = 1; f <= 3; ++f) eval.Render({&g.Get("board"), &g.Get("scope")}, f);
  EXPECT_EQ(eval.Renders(g.Get("levels")), 3);
  EXPECT_EQ(eval.Renders(g.Get("fields")), 3);
  EXPECT_EQ(eval.Renders(g.Get("board")), 3);
  EXPECT_EQ(eval.Renders(g.Get("scope")), 3);
  EXPECT_EQ(files.loads, 3);  // the file read once per frame, for the one node that takes it
  // Asking for one end renders only what it needs.
  eval.Render(g.Get("scope"), 4);
  EXPECT_EQ(eval.Renders(g.Get("board")), 3);
  EXPECT_EQ(eval.Renders(g.Get("levels")), 4);
  // The graph stays wired as before: no input keeps a picture of the render.
  EXPECT_TRUE(host::IsConnected(graph::MainImageInput(*g.Get("board").node)));
}

TEST_F(GraphTest, ExpressionsDriveControlsAtEveryFrame) {
  Graph g;
  GraphNode& fields = Add(g, "fields", "OrvantaLineDrop", "bars.tif");
  GraphNode& levels = Add(g, "levels", "OrvantaRemap", "fields");
  // The crop count follows the frame; the remap's top reads the field node's own control.
  testing::Set(*fields.node, kShow, 3);
  g.SetExpression(fields, fields.node->FindInput(kCrop), "1 + (frame > 2)");
  g.SetExpression(levels, levels.node->FindInput(kInHigh), "0.5 + fields.BSCH / 10 - frame / 100");
  graph::Evaluator eval(g, files);
  for (int32_t f : {1, 2, 3, 7}) {
    SCOPED_TRACE(f);
    EXPECT_EQ(eval.ValueAt(fields, fields.node->FindInput(kCrop), f), f > 2 ? 2 : 1);
    EXPECT_DOUBLE_EQ(eval.ValueAt(levels, levels.node->FindInput(kInHigh), f), 0.5 + 0.3 - f / 100.0);
    host::ImagePtr got = eval.Render(levels, f);
    // The same values as keys of fresh nodes.
    Graph keyed;
    GraphNode& kf = Add(keyed, "fields", "OrvantaLineDrop", "bars.tif");
    GraphNode& kl = Add(keyed, "levels", "OrvantaRemap", "fields");
    testing::Set(*kf.node, kShow, 3);
    testing::Set(*kf.node, kCrop, f > 2 ? 2 : 1);
    testing::Set(*kl.node, kInHigh, 0.5 + 0.3 - f / 100.0);
    graph::Evaluator plain(keyed, files);
    host::ImagePtr want = plain.Render(kl, f);
    // 24 rows keeping 3 of every 4, then of every 5 (a last part cycle counts in full).
    EXPECT_EQ(got->Height, f > 2 ? 16 : 18);
    EXPECT_TRUE(testing::SameBytes(got.get(), want.get()));
  }
  // Between renders the keys are what they were: the expression did not write them.
  EXPECT_TRUE(host::Keys(fields.node->FindInput(kCrop)).empty());
}

// A driven value reaches the tool as it is: a combo index no item lists, a checkbox between 0
// and 1 (which the tool truncates to 0).
TEST_F(GraphTest, DrivenValuesAreNotLimitedToItemsOrRanges) {
  auto render = [&](const char* tool, const char* control, const char* expr, std::optional<double> key) {
    Graph g;
    GraphNode& n = Add(g, "n", tool, "bars.tif");
    Input* in = graph::FindControl(*n.node, control);
    if (expr) g.SetExpression(n, in, expr);
    if (key) host::SetKeys(in, {{0.0, *key, 0.0}});
    graph::Evaluator eval(g, files);
    return eval.Render(n, 1);
  };
  // Raster's multiply (3) through an expression equals keys of 3, which no combo item gives.
  auto multiply = render("OrvantaRaster", "Blend Mode", "3", {});
  EXPECT_TRUE(testing::SameBytes(multiply.get(), render("OrvantaRaster", "Blend Mode", nullptr, 3.0).get()));
  auto half = render("OrvantaToneGate", "Red", "0.5", {});
  EXPECT_TRUE(testing::SameBytes(half.get(), render("OrvantaToneGate", "Red", nullptr, 0.0).get()));
  EXPECT_FALSE(testing::SameBytes(half.get(), render("OrvantaToneGate", "Red", nullptr, 1.0).get()));
}

TEST_F(GraphTest, BadGraphsAreRefusedNamingTheNodes) {
  auto fails = [](auto fn, const std::string& says) { Fails(fn, says); };
  Graph g = Chain();
  GraphNode& fields = g.Get("fields");
  Input* fieldsIn = graph::MainImageInput(*fields.node);
  // A link back to the end makes a cycle.
  g.ConnectNode(fields, fieldsIn, "board");
  fails([&] { g.Upstream({&g.Get("board")}); }, "cycle: \"board\" -> \"fields\" -> \"levels\" -> \"board\"");
  g.ConnectFile(fields, fieldsIn, "bars.tif");
  fails([&] { g.ConnectNode(fields, fieldsIn, "nowhere"); },
        "node \"nowhere\", which the composition does not have");
  fails([&] { g.ConnectNode(fields, fieldsIn, "fields"); }, "takes its own picture");
  fails([&] { g.ConnectFile(fields, fields.node->FindInput(kShow), "x.png"); },
        "is a control, not an image input");
  fails([&] { g.Add("fields", *host::FindClass("OrvantaRemap")); }, "already has a node named \"fields\"");
  fails([&] { g.Add("2nd", *host::FindClass("OrvantaRemap")); }, "is not a valid node name");
  fails([&] { g.Target(); }, "ends in several nodes (\"board\", \"scope\")");
  fails([&] { g.Get("missing"); }, "no node named \"missing\"");

  Input* high = g.Get("levels").node->FindInput(kInHigh);
  fails([&] { g.SetExpression(g.Get("levels"), high, "1 +"); }, "does not parse");
  fails([&] { g.SetExpression(g.Get("levels"), high, "speed * 2"); },
        "names \"speed\", which is neither frame nor");
  fails([&] { g.SetExpression(g.Get("levels"), high, "ghost.SORL"); }, "has no node \"ghost\"");
  fails([&] { g.SetExpression(g.Get("levels"), high, "fields.NOPE"); }, "has no control \"NOPE\"");
  fails([&] { g.SetExpression(g.Get("scope"), graph::FindControl(*g.Get("scope").node, "Center"), "1"); },
        "only number controls take expressions");
  // Expressions that read each other.
  g.SetExpression(g.Get("levels"), high, "levels.SORL + 0.1");
  g.SetExpression(g.Get("levels"), g.Get("levels").node->FindInput(kInLow), "levels.SORH - 0.1");
  fails([&] { g.Check({&g.Get("board")}); }, "the expressions read each other in a cycle");
  // One that gives NaN or an infinity at some frame only.
  g.ClearExpression(g.Get("levels"), g.Get("levels").node->FindInput(kInLow));
  g.SetExpression(g.Get("levels"), high, "sqrt(3 - frame)");
  graph::Evaluator eval(g, files);
  EXPECT_NO_THROW(eval.CheckExpressions({&g.Get("board")}, {1, 2, 3}));
  fails([&] { eval.CheckExpressions({&g.Get("board")}, {1, 4}); }, "gives NaN at frame 4");
  g.SetExpression(g.Get("levels"), high, "1 / (frame - 2)");
  fails([&] { eval.Render(g.Get("board"), 2); }, "gives infinity at frame 2");
  // Removing a node cuts the links to it, and a required input left open is named.
  g.Remove("levels");
  EXPECT_FALSE(host::IsConnected(graph::MainImageInput(*g.Get("board").node)));
  fails([&] { g.Check({&g.Get("board")}); },
        "node \"board\" (OrvantaBillboard) needs its image input \"Input\"");
}

TEST_F(GraphTest, JsonCompositionsReadBackExactly) {
  Graph g = Chain();
  GraphNode& scope = g.Get("scope");
  graph::ApplySetting(*scope.node, "Center=0.25,0.75");
  graph::ApplySetting(*g.Get("fields").node, "BSCH=1@1,4@10");
  g.SetExpression(g.Get("levels"), g.Get("levels").node->FindInput(kInHigh), "0.6 + frame / 100");
  g.output = "board";
  const std::string text = graph::WriteJsonComposition(g);
  Graph back = graph::ReadJsonComposition(text, "c.json");
  EXPECT_EQ(graph::WriteJsonComposition(back), text);
  for (auto& n : g.Nodes()) {
    const GraphNode& b = back.Get(n->name);
    for (size_t i = 0; i < n->node->Inputs().size(); ++i) {
      const Input* a = n->node->Inputs()[i];
      const Input* c = b.node->Inputs()[i];
      if (n->expressions.count(a)) {  // written as the expression alone
        EXPECT_EQ(b.expressions.at(c).Text(), n->expressions.at(a).Text());
        continue;
      }
      SCOPED_TRACE(n->name + " " + host::Describe(a).label);
      EXPECT_EQ(host::Keys(a).size(), host::Keys(c).size());
      for (double t : {0.0, 1.0, 5.5, 10.0}) {
        EXPECT_EQ(host::NumberAt(a, t), host::NumberAt(c, t));
        EXPECT_EQ(host::PointAt(a, t).Y, host::PointAt(c, t).Y);
      }
      EXPECT_EQ(host::Describe(a).shown, host::Describe(c).shown);
    }
  }
  EXPECT_EQ(text.find("\"Preset\""), std::string::npos);  // controls are kept by id, not label
  EXPECT_NE(text.find("\"Type\": \"Airport\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"expr\": \"0.6 + frame / 100\""), std::string::npos);
  // The renders agree too.
  graph::Evaluator a(g, files), b(back, files);
  for (int32_t f : {1, 6})
    EXPECT_TRUE(testing::SameBytes(a.Render(g.Get("board"), f).get(), b.Render(back.Get("board"), f).get()));
}

// A picture a front-end connects to a node itself (an array in memory) counts as connected.
TEST_F(GraphTest, PicturesConnectedDirectlyCountAsConnected) {
  Graph one;
  GraphNode& remap = one.Add("remap", *host::FindClass("OrvantaRemap"));
  EXPECT_THROW(one.Check({&remap}), Failure);
  host::ImagePtr picture = testing::Numbered(9, 5, Depth8);
  host::Connect(graph::MainImageInput(*remap.node), picture.get());
  EXPECT_NO_THROW(one.Check({&remap}));
  graph::Evaluator eval(one, files);
  host::ImagePtr out = eval.Render(remap, 1);
  EXPECT_TRUE(testing::SameBytes(out.get(), picture.get()));  // the default maps 0..1 onto 0..1
}

// Node positions are optional: a file without them writes none, and one with them keeps them.
TEST_F(GraphTest, PositionsAreKeptOnlyWhereGiven) {
  Graph g = Chain();
  const std::string plain = graph::WriteJsonComposition(g);
  EXPECT_EQ(plain.find("position"), std::string::npos);
  g.Get("levels").position = graph::Position{120, -40.5};
  const std::string placed = graph::WriteJsonComposition(g);
  Graph back = graph::ReadJsonComposition(placed, "c.json");
  ASSERT_TRUE(back.Get("levels").position.has_value());
  EXPECT_EQ(*back.Get("levels").position, (graph::Position{120, -40.5}));
  EXPECT_FALSE(back.Get("board").position.has_value());
  EXPECT_EQ(graph::WriteJsonComposition(back), placed);
  for (const char* bad : {R"([1])", R"(["1", 2])", R"([1, 2, 3])", R"({"x": 1})", R"([1e10, 0])"}) {
    const std::string text =
        R"({"nodes": [{"name": "a", "tool": "OrvantaRemap", "position": )" + std::string(bad) + "}]}";
    try {
      graph::ReadJsonComposition(text, "p.json");
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find("the position of node \"a\""), std::string::npos) << e.what();
    }
  }
}

// A rename carries the links, the expressions that read the node and the output with it.
TEST_F(GraphTest, RenamesReachLinksExpressionsAndTheOutput) {
  Graph g = Chain();
  GraphNode& fields = g.Get("fields");
  g.SetExpression(fields, fields.node->FindInput(kShow), "levels.SORL*10+ levels.SORH - (2.5)");
  g.output = "levels";
  EXPECT_THROW(g.Rename("levels", "board"), Failure);  // taken
  EXPECT_THROW(g.Rename("levels", "2nd"), Failure);    // not a name
  EXPECT_THROW(g.Rename("ghost", "spirit"), Failure);
  EXPECT_NE(g.Find("levels"), nullptr);
  EXPECT_NO_THROW(g.Rename("levels", "levels"));

  g.Rename("levels", "grade");
  EXPECT_EQ(g.Find("levels"), nullptr);
  EXPECT_EQ(g.output, "grade");
  EXPECT_EQ(fields.expressions.at(fields.node->FindInput(kShow)).Text(), "grade.SORL*10+ grade.SORH - (2.5)");
  EXPECT_EQ(g.Get("board").links.begin()->second.target, "grade");
  EXPECT_EQ(g.Get("scope").links.begin()->second.target, "grade");
  EXPECT_NO_THROW(g.Check({&g.Get("board"), &g.Get("fields")}));
}

TEST_F(GraphTest, ExpressionsSayWhetherTheyReadTheFrame) {
  EXPECT_TRUE(graph::Expression("frame / 2").UsesFrame());
  EXPECT_TRUE(graph::Expression("sin(frame) + a.SORL").UsesFrame());
  EXPECT_FALSE(graph::Expression("a.SORL * 2").UsesFrame());
  EXPECT_FALSE(graph::Expression("0.5").UsesFrame());
  EXPECT_FALSE(graph::Expression("frames.SORL").UsesFrame());  // a node named frames
  EXPECT_EQ(graph::Expression("a.X+aa.X+ba.X").WithNodeRenamed("a", "b"), "b.X+aa.X+ba.X");
}

// The value a control shows at a frame: keys between keyframes, an expression's own value, and an
// expression reading another driven control.
TEST_F(GraphTest, ControlValuesAtAFrameFollowKeysAndExpressions) {
  Graph g = Chain();
  GraphNode& levels = g.Get("levels");
  GraphNode& fields = g.Get("fields");
  graph::ApplySetting(*levels.node, "SORL=0.1@1,0.5@11");
  const Input* low = levels.node->FindInput(kInLow);
  const Input* high = levels.node->FindInput(kInHigh);
  EXPECT_DOUBLE_EQ(graph::ControlValueAt(g, levels, low, 6), 0.3);
  g.SetExpression(levels, high, "levels.SORL + frame / 10");
  EXPECT_DOUBLE_EQ(graph::ControlValueAt(g, levels, high, 6), 0.3 + 0.6);
  g.SetExpression(fields, fields.node->FindInput(kShow), "levels.SORH * 10");
  EXPECT_DOUBLE_EQ(graph::ControlValueAt(g, fields, fields.node->FindInput(kShow), 1), (0.1 + 0.1) * 10);
  g.SetExpression(levels, high, "1 / (frame - 3)");
  EXPECT_THROW(graph::ControlValueAt(g, fields, fields.node->FindInput(kShow), 3), Failure);
}

// nodes Remap nodes in a chain of pictures, n0 taking bars.tif. n0's input low follows the frame and
// its input high is 0.9; every later node's two controls each read both controls of the node before
// (low their mean less 0.01, high their mean plus 0.01), so that without sharing the values an
// evaluation of the last node would evaluate the first 2^nodes times.
Graph ExpressionChain(int nodes) {
  Graph g;
  for (int i = 0; i < nodes; ++i) {
    const std::string name = "n" + std::to_string(i), before = "n" + std::to_string(i - 1);
    GraphNode& n = g.Add(name, *host::FindClass("OrvantaRemap"));
    Input* low = n.node->FindInput(kInLow);
    Input* high = n.node->FindInput(kInHigh);
    if (i == 0) {
      g.ConnectFile(n, graph::MainImageInput(*n.node), "bars.tif");
      g.SetExpression(n, low, "0.1 + frame / 1000");
      testing::Set(*n.node, kInHigh, 0.9);
      continue;
    }
    g.ConnectNode(n, graph::MainImageInput(*n.node), before);
    g.SetExpression(n, low, "(" + before + ".SORL + " + before + ".SORH) / 2 - 0.01");
    g.SetExpression(n, high, "(" + before + ".SORL + " + before + ".SORH) / 2 + 0.01");
  }
  return g;
}

TEST_F(GraphTest, ChainsOfExpressionsEvaluateEachControlOncePerFrame) {
  // The values by hand: low and high of node i from those of node i - 1.
  auto expected = [](int node, double frame) {
    double low = 0.1 + frame / 1000, high = 0.9;
    for (int i = 1; i <= node; ++i) {
      const double mean = (low + high) / 2;
      low = mean - 0.01;
      high = mean + 0.01;
    }
    return std::make_pair(low, high);
  };
  // A short chain first, so that evaluating every path again fails here rather than running on.
  {
    Graph g = ExpressionChain(12);
    graph::Evaluator eval(g, files);
    GraphNode& last = g.Get("n11");
    EXPECT_DOUBLE_EQ(eval.ValueAt(last, last.node->FindInput(kInHigh), 3), expected(11, 3).second);
    ASSERT_EQ(eval.Evaluations(), 1 + 2 * 10 + 1);  // n0's low, both of n1..n10, n11's high
  }
  constexpr int kNodes = 200, kExpressions = 1 + 2 * (kNodes - 1);
  Graph g = ExpressionChain(kNodes);
  GraphNode& last = g.Get("n" + std::to_string(kNodes - 1));
  graph::Evaluator eval(g, files);
  EXPECT_NO_THROW(g.Check({&last}));
  eval.CheckExpressions({&last}, {1, 2, 3});
  EXPECT_EQ(eval.Evaluations(), 3 * kExpressions);
  for (int32_t f : {5, 6}) {
    SCOPED_TRACE(f);
    const int64_t before = eval.Evaluations();
    host::ImagePtr picture = eval.Render(last, f);
    ASSERT_TRUE(picture);
    EXPECT_EQ(eval.Evaluations() - before, kExpressions);
    EXPECT_EQ(eval.Renders(g.Get("n0")), f - 4);
    // Each frame its own values, through the chain and at its end.
    for (int node : {1, 57, kNodes - 1}) {
      const GraphNode& n = g.Get("n" + std::to_string(node));
      EXPECT_DOUBLE_EQ(eval.ValueAt(n, n.node->FindInput(kInLow), f), expected(node, f).first);
      EXPECT_DOUBLE_EQ(eval.ValueAt(n, n.node->FindInput(kInHigh), f), expected(node, f).second);
    }
  }
  // A value changed between two calls is seen by the next.
  testing::Set(*g.Get("n0").node, kInHigh, 0.5);
  const GraphNode& n1 = g.Get("n1");
  EXPECT_DOUBLE_EQ(eval.ValueAt(n1, n1.node->FindInput(kInHigh), 5), (0.105 + 0.5) / 2 + 0.01);
}

// Runs fn on a thread whose stack is stackBytes long.
void OnSmallStack(size_t stackBytes, const std::function<void()>& fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stackBytes), 0);
  pthread_t thread;
  auto run = [](void* f) -> void* {
    (*static_cast<const std::function<void()>*>(f))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&fn)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST_F(GraphTest, LongChainsAreWalkedWithoutTheThreadsStack) {
  // 3000 nodes linked by pictures and by expressions; a walk that recursed once per node would
  // need several times the 256 KiB stack.
  constexpr int kNodes = 3000;
  Graph g = ExpressionChain(kNodes);
  GraphNode& last = g.Get("n" + std::to_string(kNodes - 1));
  g.ConnectNode(g.Get("n0"), graph::MainImageInput(*g.Get("n0").node), last.name);  // a cycle of pictures
  size_t upstream = 0;
  std::string cycle;
  double value = 0.0;
  OnSmallStack(256 << 10, [&] {
    try {
      g.Upstream({&last});
    } catch (const Failure& e) {
      cycle = e.what();
    }
    g.ConnectFile(g.Get("n0"), graph::MainImageInput(*g.Get("n0").node), "bars.tif");
    upstream = g.Upstream({&last}).size();
    g.Check({&last});
    graph::Evaluator eval(g, files);
    value = eval.ValueAt(last, last.node->FindInput(kInHigh), 1);
  });
  // In the direction the pictures flow.
  EXPECT_EQ(cycle.rfind("the composition has a cycle: \"n2999\" -> \"n0\" -> \"n1\" -> ", 0), 0u)
      << cycle.substr(0, 200);
  EXPECT_TRUE(cycle.ends_with("\"n2997\" -> \"n2998\" -> \"n2999\"")) << cycle.substr(cycle.size() - 200);
  EXPECT_EQ(upstream, size_t(kNodes));
  EXPECT_NEAR(value, 0.5105, 1e-9);  // the mean of 0.101 and 0.9 plus 0.01, as every node after n1 keeps it
}

TEST_F(GraphTest, ExpressionsReadingEachOtherAreRefusedWhereverTheyAreEvaluated) {
  Graph g = ExpressionChain(3);
  GraphNode &n0 = g.Get("n0"), &n2 = g.Get("n2");
  g.SetExpression(n0, n0.node->FindInput(kInHigh), "n2.SORL + 0.1");
  graph::Evaluator eval(g, files);
  EXPECT_DOUBLE_EQ(eval.ValueAt(n0, n0.node->FindInput(kInLow), 1), 0.101);  // outside the cycle
  // Named from the control read again, each reading the next.
  Fails([&] { eval.ValueAt(n0, n0.node->FindInput(kInHigh), 1); },
        "the expressions read each other in a cycle: n0.SORH -> n2.SORL -> n1.SORL -> n0.SORH");
  Fails([&] { eval.ValueAt(n2, n2.node->FindInput(kInHigh), 1); },
        "a cycle: n1.SORL -> n0.SORH -> n2.SORL -> n1.SORL");
  Fails([&] { eval.Render(n2, 1); }, "read each other in a cycle");
  Fails([&] { g.Check({&n2}); }, "read each other in a cycle");
}

TEST_F(GraphTest, JsonNestedTooDeeplyIsRefusedBeforeAnythingRecursesOverIt) {
  auto nested = [](int depth, const std::string& inside) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += i % 2 ? "{\"k\": " : "[";
    text += inside;
    for (int i = depth - 1; i >= 0; --i) text += i % 2 ? "}" : "]";
    return text;
  };
  // As deep as allowed, lists and objects both counted.
  graph::Json deepest = graph::ParseJson(nested(graph::kMaxJsonDepth, "7"), "t");
  const graph::Json* at = &deepest;
  for (int i = 0; i + 1 < graph::kMaxJsonDepth; ++i) at = i % 2 ? &at->at("k") : &at->at(0);
  EXPECT_EQ(at->at("k"), 7);  // the 64th level is an object
  Fails([&] { graph::ParseJson(nested(graph::kMaxJsonDepth + 1, "7"), "the request body"); },
        "the request body nests lists and objects more than 64 deep");
  // Far deeper than a thread's stack would take to build, print or free recursively.
  const std::string lists = std::string(50000, '[') + std::string(50000, ']');
  Fails([&] { graph::ReadJsonComposition("{\"version\": " + lists + ", \"nodes\": []}", "deep.json"); },
        "deep.json nests lists and objects more than 64 deep");
  Fails([&] { graph::ParseJson(std::string(200000, '['), "t"); }, "t nests");

  // Other faults of the text name the file too, in a line of sensible length.
  Fails([&] { graph::ReadJsonComposition(R"({"version": 1e400, "nodes": []})", "big.json"); },
        "big.json is not valid JSON: number overflow parsing '1e400'");
  Fails([&] { graph::ReadJsonComposition(R"({"version": 1, "nodes": [)", "cut.json"); },
        "cut.json is not valid JSON: parse error at line 1");
  try {
    graph::ParseJson("[\"" + std::string(100000, 'x') + "\n\"]", "long.json");
    ADD_FAILURE() << "a line break inside a string parsed";
  } catch (const Failure& e) {
    EXPECT_LT(std::string(e.what()).size(), 300u);
  }
  Fails([&] { graph::ReadJsonComposition(R"({"version": [[1]], "nodes": []})", "v.json"); },
        "v.json: its version must be a number, not a list");
  Fails([&] { graph::ReadJsonComposition(R"({"version": 2, "nodes": []})", "v.json"); },
        "v.json: its version 2 is not known");
}

}  // namespace
}  // namespace orvanta
