// The browser host's JSON API in process: controls follow the tools' set-value path (shown
// state, presets), bad requests are refused and change nothing, previews at full scale are the
// bytes the command writes for the saved composition, proxies shrink, float footage goes through
// the view transform, and graph edits are saved.
#include <fstream>

#include "orvanta/host/failure.h"
#include "orvanta/io/files.h"
#include "serve_support.h"

namespace orvanta::servetest {
namespace {

using serve::Json;

TEST_F(ServeTest, ControlsFollowTheToolsNotifications) {
  auto s = ToolSession("OrvantaRemap");
  EXPECT_FALSE(ControlIn(s->State(), "remap", "ICLR").at("shown"));
  Json st = s->Set(Json{{"node", "remap"}, {"control", "Non Input Values"}, {"value", "Colorize"}});
  for (const char* id : {"ICLR", "ICLG", "ICLB", "ICLA"})
    EXPECT_TRUE(ControlIn(st, "remap", id).at("shown")) << id;
  EXPECT_EQ(ControlIn(st, "remap", "OOIO").at("value"), 1.0);
  st = s->Set(Json{{"node", "remap"}, {"control", "OOIO"}, {"value", 0}});
  EXPECT_FALSE(ControlIn(st, "remap", "ICLR").at("shown"));

  // "Ranges" moves the region controls' range to 0..5.
  st = s->Set(Json{{"node", "remap"}, {"control", "0x43520000"}, {"value", 1}});
  EXPECT_EQ(ControlIn(st, "remap", "SORH").at("rangeHigh"), 5.0);

  // A colour picker sets its group's members in one request.
  st = s->Set(Json{{"node", "remap"},
                   {"settings", Json::array({Json{{"control", "ICLR"}, {"value", 0.25}},
                                             Json{{"control", "ICLG"}, {"value", 0.5}},
                                             Json{{"control", "ICLB"}, {"value", 1}}})}});
  EXPECT_EQ(ControlIn(st, "remap", "ICLR").at("value"), 0.25);
  EXPECT_EQ(ControlIn(st, "remap", "ICLB").at("value"), 1.0);
}

TEST_F(ServeTest, PresetsSetOtherControls) {
  auto s = ToolSession("OrvantaBillboard");
  const Json before = s->State();
  const Json after = s->Set(Json{{"node", "billboard"}, {"control", "Preset"}, {"value", "Airport"}});
  int changed = 0;
  for (size_t p = 0; p < before["nodes"][0]["pages"].size(); ++p) {
    const Json& a = before["nodes"][0]["pages"][p]["inputs"];
    const Json& b = after["nodes"][0]["pages"][p]["inputs"];
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i].contains("value") && a[i]["value"] != b[i]["value"]) ++changed;
  }
  EXPECT_GT(changed, 1);  // the preset itself and at least one control it fills in
}

TEST_F(ServeTest, BadRequestsAreRefusedAndChangeNothing) {
  auto s = ToolSession("OrvantaRemap");
  const std::string before = s->State().dump();
  const std::vector<std::pair<Json, std::string>> cases = {
      {Json{{"node", "remap"}, {"control", "SORL"}, {"value", 7}}, "outside the range"},
      {Json{{"node", "remap"}, {"control", "OOIO"}, {"value", "Purple"}}, "Purple"},
      {Json{{"node", "remap"}, {"control", "NOPE"}, {"value", 1}}, "NOPE"},
      {Json{{"node", "ghost"}, {"control", "SORL"}, {"value", 0.1}}, "ghost"},
      {Json{{"node", "remap"}, {"control", "SORL"}}, "value"},
      {Json{{"node", "remap"}, {"control", "SORL"}, {"value", Json::object()}}, "value"},
      {Json{{"node", "remap"}, {"control", "SORL"}, {"expression", "other.SORL + 1"}}, "other"},
      {Json{{"node", "remap"}, {"control", "SORL"}, {"expression", "1 +* 2"}}, "1 +* 2"},
      {Json{{"node", 5}, {"control", "SORL"}, {"value", 0.1}}, "node"},
      {Json{{"node", "remap"}, {"settings", "SORL"}}, "settings"},
  };
  for (const auto& [request, says] : cases) {
    try {
      s->Set(request);
      ADD_FAILURE() << "accepted " << request.dump();
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(s->State().dump(), before);
}

TEST_F(ServeTest, ExpressionsAreSetReplacedAndCleared) {
  auto s = ToolSession("OrvantaRemap");
  Json st = s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"expression", "frame / 100"}});
  EXPECT_EQ(ControlIn(st, "remap", "SORL").at("expression"), "frame / 100");
  st = s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"value", 0.3}});  // a value replaces it
  EXPECT_FALSE(ControlIn(st, "remap", "SORL").contains("expression"));
  s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"expression", "0.2"}});
  st = s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"expression", ""}});
  EXPECT_FALSE(ControlIn(st, "remap", "SORL").contains("expression"));
}

// What the page saved, rendered by the command, is byte for byte the full-scale preview.
TEST_F(ServeTest, FullScalePreviewIsWhatTheCommandRendersFromTheSavedFile) {
  for (const char* footage : {"bars.png", "deep.png"}) {
    SCOPED_TRACE(footage);
    auto s = ToolSession("OrvantaRemap", footage);
    s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"value", 0.2}});
    s->Set(Json{{"node", "remap"}, {"control", "SOTH"}, {"expression", "0.5 + frame / 10"}});
    s->AddNode(Json{{"tool", "OrvantaLineDrop"}, {"name", "fields"}});
    s->Connect(Json{{"node", "fields"}, {"input", "Input"}, {"source", "remap"}});
    s->Set(Json{{"node", "fields"}, {"control", "BSCH"}, {"value", 2}});
    s->View(Json{{"frame", 3}});
    const serve::Preview p = s->Render("fields", 3, 1.0);
    EXPECT_FALSE(p.viewTransformed);
    EXPECT_EQ(DecodePng(p.bytes).bits, std::string(footage) == "deep.png" ? 16 : 8);
    s->Save();
    ASSERT_EQ(RunCommand({ORVANTA_CLI, "-q", "render", "--comp", P("saved.json"), "--node", "fields",
                          "--frames", "3", "-o", P("x.png")},
                         P("out.txt"), P("err.txt")),
              0)
        << std::ifstream(P("err.txt")).rdbuf();
    std::ifstream f(P("x.png"), std::ios::binary);
    const std::vector<uint8_t> written((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(written == p.bytes) << "preview " << p.bytes.size() << " bytes, file " << written.size();
  }
}

TEST_F(ServeTest, ProxyScaleShrinksTheFootage) {
  auto s = ToolSession("OrvantaRemap");
  const serve::Preview half = s->Render("remap", 1, 0.5);
  EXPECT_EQ(half.width, 32);
  EXPECT_EQ(half.height, 20);
  EXPECT_EQ(DecodePng(half.bytes).w, 32);
  EXPECT_EQ(s->Render("remap", 1, 1.0).width, 64);  // the full picture again, not the cached proxy
  for (double bad : {0.0, -1.0, 1.5}) EXPECT_THROW(s->Render("remap", 1, bad), Failure);
}

TEST_F(ServeTest, FloatFootageIsShownThroughTheSrgbView) {
  ::unsetenv("OCIO");
  auto s = ToolSession("OrvantaRemap", "linear.exr");
  EXPECT_EQ(s->State().at("view"), "sRGB (built in)");
  const serve::Preview p = s->Render("remap", 1, 1.0);
  EXPECT_TRUE(p.viewTransformed);
  const Decoded d = DecodePng(p.bytes);
  ASSERT_EQ(d.bits, 8);
  ASSERT_EQ(d.nch, 4);
  // Row 0 holds linear R 1.5, G 0.18, B 0.5: clipped, then the sRGB curve.
  EXPECT_EQ(d.bytes[0], 255);
  EXPECT_NEAR(d.bytes[1], 118, 1);
  EXPECT_NEAR(d.bytes[2], 188, 1);
  EXPECT_EQ(d.bytes[3], 255);
  const size_t row1 = size_t(d.w) * 4;
  EXPECT_EQ(d.bytes[row1], 0);
  EXPECT_EQ(d.bytes[row1 + 3], 255);
}

TEST_F(ServeTest, OcioEnvironmentNamesTheConfiguration) {
  ::setenv("OCIO", P("missing.ocio").c_str(), 1);
  EXPECT_THROW(ToolSession("OrvantaRemap"), Failure);
  std::ofstream(P("view.ocio")) << testing::kGammaViewOcio;
  ::setenv("OCIO", P("view.ocio").c_str(), 1);
  auto s = ToolSession("OrvantaRemap", "linear.exr");
  ::unsetenv("OCIO");
  EXPECT_NE(s->State().at("view").get<std::string>().find("screen / gamma"), std::string::npos);
  const Decoded d = DecodePng(s->Render("remap", 1, 1.0).bytes);
  EXPECT_NEAR(d.bytes[2], 186, 1);  // 0.5 ^ (1 / 2.2)
}

TEST_F(ServeTest, GraphEditsAreCheckedAndSaved) {
  auto s = ToolSession("OrvantaRemap");
  const std::string added = s->AddNode(Json{{"tool", "OrvantaLineDrop"}}).at("viewed");
  EXPECT_NE(added, "remap");
  Json st = s->Connect(Json{{"node", added}, {"input", "Input"}, {"source", "remap"}});
  EXPECT_EQ(ControlIn(st, added, "0x01706EC9").at("link").at("target"), "remap");
  // A cycle is refused, and the input keeps its file.
  EXPECT_THROW(s->Connect(Json{{"node", "remap"}, {"input", "Input"}, {"source", added}}), Failure);
  EXPECT_EQ(ControlIn(s->State(), "remap", "0x01706EC9").at("link").at("kind"), "file");
  EXPECT_THROW(s->Connect(Json{{"node", "remap"}, {"input", "Nope"}, {"source", added}}), Failure);
  EXPECT_THROW(s->AddNode(Json{{"tool", "NoSuchTool"}}), Failure);
  EXPECT_THROW(s->AddNode(Json{{"tool", "OrvantaRemap"}, {"name", "remap"}}), Failure);  // name taken

  s->View(Json{{"output", added}});
  s->Save();
  graph::Graph g = io::LoadCompositionFile(P("saved.json"));
  ASSERT_EQ(g.Size(), 2u);
  EXPECT_EQ(g.output, added);
  EXPECT_EQ(g.Get(added).links.begin()->second.target, "remap");

  st = s->RemoveNode(Json{{"node", "remap"}});
  EXPECT_EQ(st.at("nodes").size(), 1u);
  EXPECT_FALSE(ControlIn(st, added, "0x01706EC9").contains("link"));
}

TEST_F(ServeTest, MissingInputsAreReportedNotRendered) {
  auto s = ToolSession("OrvantaRemap");
  s->AddNode(Json{{"tool", "OrvantaToneGate"}, {"name", "gate"}});
  try {
    s->Render("gate", 1, 1.0);
    ADD_FAILURE() << "rendered without an input";
  } catch (const Failure& e) {
    EXPECT_NE(std::string(e.what()).find("\"Input\""), std::string::npos) << e.what();
  }
  s->Connect(Json{{"node", "gate"}, {"input", "Input"}, {"file", P("nowhere.png")}});
  EXPECT_THROW(s->Render("gate", 1, 1.0), Failure);
  EXPECT_THROW(s->Render("ghost", 1, 1.0), Failure);
  EXPECT_NO_THROW(s->Render("remap", 1, 1.0));  // the rest still renders

  // A tool whose name holds a space starts as a node of a valid name, and says what it lacks.
  testing::LoadTool("OrvantaMultitude");
  auto crowd = ToolSession("OrvantaMultitude");
  const std::string name = crowd->State().at("viewed");
  EXPECT_TRUE(graph::Graph::ValidName(name)) << name;
  EXPECT_THROW(crowd->Render(name, 1, 1.0), Failure);
}

TEST_F(ServeTest, ScopeViewsAnyNode) {
  auto s = ToolSession("OrvantaRemap");
  const serve::Preview plain = s->Render("remap", 1, 1.0);
  s->View(Json{{"scope", true}});
  const serve::Preview scope = s->Render("remap", 1, 1.0);
  EXPECT_NE(scope.bytes, plain.bytes);
  Json st = s->Set(Json{{"node", "@scope"}, {"control", "Type"}, {"value", 1}});
  EXPECT_EQ(ControlIn(st, "@scope", "0x01706EC9").contains("link"), false);  // the viewer is not in the graph
  EXPECT_NE(s->Render("remap", 1, 1.0).bytes, scope.bytes);
  EXPECT_EQ(s->Graph().Size(), 1u);
}

TEST_F(ServeTest, FramesComeFromTheOptionsOrTheKeyframes) {
  serve::StartOptions o;
  o.tool = "OrvantaRemap";
  o.inputs = {P("bars.png")};
  o.settings = {"SORL=0@1,0.5@30"};
  serve::Session keyed(o);
  EXPECT_EQ(keyed.State().at("lastFrame"), 30);
  const Json st = keyed.View(Json{{"frame", 30}});
  EXPECT_EQ(ControlIn(st, "remap", "SORL").at("value"), 0.5);
  EXPECT_TRUE(ControlIn(st, "remap", "SORL").at("animated"));
  EXPECT_THROW(keyed.View(Json{{"frame", "x"}}), Failure);
  o.frames = "5-12";
  serve::Session given(o);
  EXPECT_EQ(given.State().at("firstFrame"), 5);
  EXPECT_EQ(given.State().at("lastFrame"), 12);
  o.settings = {"NOPE=1"};
  EXPECT_THROW(serve::Session{o}, Failure);
}

}  // namespace
}  // namespace orvanta::servetest
