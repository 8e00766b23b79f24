// Node graphs through the command: a JSON composition renders what the same chain of single
// renders through files gives, expressions reach values no control setting can, compositions
// round-trip through --save, and every bad graph ends with status 1, one sentence and no file.
#include <fstream>

#include "cli_support.h"
#include "orvanta/graph/controls.h"
#include "orvanta/io/sequence.h"

namespace orvanta {
namespace {
using namespace clitest;

void Write(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// fields (LineDrop) -> levels (Remap, its top driven by the frame) -> board (Billboard), and a
// scope of levels. The expression's values are exact in binary (sixteenths), so keyframes of the
// same values give the same bytes.
const char* kChain = R"j({
  "version": 1,
  "nodes": [
    {"name": "fields", "tool": "OrvantaLineDrop", "inputs": {"Input": {"file": "in_#.tif"}},
     "controls": {"BSCH": 1, "CSCH": 1}},
    {"name": "levels", "tool": "OrvantaRemap", "inputs": {"Input": {"node": "fields"}},
     "controls": {"SORL": 0.25, "SORH": {"expr": "0.5 + frame / 16"}, "SOTL": 0, "SOTH": 1}},
    {"name": "board", "tool": "OrvantaBillboard", "inputs": {"Input": {"node": "levels"}},
     "controls": {"Preset": "TV + Monitors"}},
    {"name": "scope", "tool": "OrvantaScope", "inputs": {"Input": {"node": "levels"}},
     "controls": {"TYPE": "RGBA(parade)"}}
  ]
})j";

TEST_F(Cli, GraphEqualsTheChainThroughFiles) {
  for (int f = 1; f <= 2; ++f)
    WriteFile(P(io::FramePath("in_#.tif", f)), Pattern(21, 14, 4, TypeDesc::UINT16));
  Write(dir_ / "chain.json", kChain);
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(threads);
    const std::string t = threads;
    for (const char* node : {"board", "scope"}) {
      Result r = Run({"-q", "--threads", t, "render", "--comp", "chain.json", "--node", node, "--frames",
                      "1-2", "-o", std::string(node) + t + "_#.tif"});
      ASSERT_EQ(r.status, 0) << r.err;
    }
    Result r = Run({"-q", "--threads", t, "render", "OrvantaLineDrop", "-i", "in_#.tif", "--frames", "1-2",
                    "-s", "BSCH=1", "-s", "CSCH=1", "-o", "f" + t + "_#.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"-q", "--threads", t, "render", "OrvantaRemap", "-i", "f" + t + "_#.tif", "--frames", "1-2",
             "-s", "SORL=0.25", "-s", "SORH=0.5625@1,0.625@2", "-s", "SOTL=0", "-s", "SOTH=1", "-o",
             "l" + t + "_#.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"-q", "--threads", t, "render", "OrvantaBillboard", "-i", "l" + t + "_#.tif", "--frames", "1-2",
             "-s", "Preset=TV + Monitors", "-o", "b" + t + "_#.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"-q", "--threads", t, "render", "OrvantaScope", "-i", "l" + t + "_#.tif", "--frames", "1-2",
             "-s", "TYPE=RGBA(parade)", "-o", "s" + t + "_#.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int f = 1; f <= 2; ++f) {
      SCOPED_TRACE(f);
      const std::string board = Slurp(dir_ / io::FramePath("board" + t + "_#.tif", f));
      EXPECT_GT(board.size(), 1000u);
      EXPECT_EQ(board, Slurp(dir_ / io::FramePath("b" + t + "_#.tif", f)));
      EXPECT_EQ(Slurp(dir_ / io::FramePath("scope" + t + "_#.tif", f)),
                Slurp(dir_ / io::FramePath("s" + t + "_#.tif", f)));
    }
    // The expression moves with the frame.
    EXPECT_NE(Slurp(dir_ / "board1_0001.tif"), Slurp(dir_ / "board1_0002.tif"));
  }
  EXPECT_EQ(Slurp(dir_ / "board1_0002.tif"), Slurp(dir_ / "board2_0002.tif"));
}

TEST_F(Cli, CompositionsRoundTripAndTakeOverridesByNode) {
  WriteFile(P("in_0001.tif"), Pattern(12, 10, 4, TypeDesc::UINT16));
  WriteFile(P("other.tif"), Pattern(12, 10, 4, TypeDesc::UINT8));
  Write(dir_ / "chain.json", kChain);
  Result r = Run({"render", "--comp", "chain.json", "--save", "a.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"render", "--comp", "a.json", "--save", "b.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "a.json"), Slurp(dir_ / "b.json"));
  EXPECT_NE(Slurp(dir_ / "a.json").find("\"file\": \"in_#.tif\""), std::string::npos)
      << "a relative path kept";

  // Saved elsewhere, relative paths become absolute, so the copy renders from any folder.
  fs::create_directories(dir_ / "sub");
  r = Run({"render", "--comp", "a.json", "--save", "sub/c.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Slurp(dir_ / "sub/c.json").find("\"file\": \"" + P("in_#.tif") + "\""), std::string::npos);
  r = Run({"render", "--comp", "sub/c.json", "--node", "board", "--frames", "1", "-o", "sub/board.tif"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"render", "--comp", "a.json", "--node", "board", "--frames", "1", "-o", "board.tif"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "board.tif"), Slurp(dir_ / "sub/board.tif"));

  // NODE. addresses a node's input and controls; the overrides are what a saved file then holds.
  r = Run({"render", "--comp", "a.json", "-i", "fields.Input=other.tif", "-s", "levels.SORL=0.125", "-x",
           "fields.CSCH=1 + frame", "--node", "board", "--frames", "1", "-o", "changed.tif", "--save",
           "changed.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string saved = Slurp(dir_ / "changed.json");
  EXPECT_NE(saved.find("\"SORL\": 0.125"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"CSCH\": {\n          \"expr\": \"1 + frame\""), std::string::npos) << saved;
  EXPECT_NE(saved.find("other.tif"), std::string::npos) << saved;
  r = Run({"render", "--comp", "changed.json", "--node", "board", "--frames", "1", "-o", "again.tif"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "changed.tif"), Slurp(dir_ / "again.tif"));
  EXPECT_NE(Slurp(dir_ / "changed.tif"), Slurp(dir_ / "board.tif"));

  // The older binary format still reads; it refuses to hold what only JSON can.
  r = Run({"render", "OrvantaLineDrop", "-i", "other.tif", "-s", "BSCH=2", "--save", "one.orvc"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"render", "--comp", "one.orvc", "--save", "one.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Slurp(dir_ / "one.json").find("\"BSCH\": 2"), std::string::npos);
  r = Run({"render", "--comp", "a.json", "--save", "many.orvc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot hold links between nodes; save as .json"), std::string::npos) << r.err;
}

// A tool whose name holds a space (and is given by its identifier) still makes a one-node graph
// with a valid node name: rendering, saving and rendering the saved file agree.
TEST_F(Cli, ToolsWithSpacesInTheirNamesRenderAndSave) {
  WriteFile(P("back.tif"), Pattern(16, 12, 4, TypeDesc::UINT16));
  WriteFile(P("dots.tif"), Pattern(16, 12, 4, TypeDesc::UINT16));
  WriteFile(P("folk.tif"), Pattern(4, 4, 4, TypeDesc::UINT16));
  for (const char* tool : {"OrvaMultitude", "OrvantaMultitude Generator"}) {
    SCOPED_TRACE(tool);
    Result r = Run({"-q", "render", tool, "-i", "back.tif", "-i", "Crowd=dots.tif", "-i", "Folk 1=folk.tif",
                    "-s", "CM1R=1", "-o", "direct.tif", "--save", "m.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"-q", "render", "--comp", "m.json", "-o", "saved.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dir_ / "direct.tif"), Slurp(dir_ / "saved.tif"));
    EXPECT_NE(Slurp(dir_ / "m.json").find("\"name\": \"multitude_generator\""), std::string::npos)
        << Slurp(dir_ / "m.json");
  }
}

// Values driven from elsewhere reach the tool unchecked: Raster's multiply (3) and divide (4),
// which its combo does not list, and a checkbox at 0.5, which the tool truncates to 0.
TEST_F(Cli, ExpressionsReachValuesTheControlsDoNotList) {
  Picture in = Pattern(16, 12, 4, TypeDesc::UINT16);
  WriteFile(P("in.tif"), in);
  auto image = ToImage(in);
  auto inProcess = [&](const char* tool, const char* control, double value) {
    auto node = std::make_unique<host::Node>(*host::FindClass(tool));
    for (const char* s : {"0x48536100=on", "0x56536100=on", "0x48524300=1", "0x56424300=1"})
      if (std::string(tool) == "OrvantaRaster") graph::ApplySetting(*node, s);
    host::SetKeys(graph::FindControl(*node, control), {{0.0, value, 0.0}});
    host::Connect(graph::MainImageInput(*node), image.get());
    return testing::RenderOk(*node);
  };
  testing::LoadTool("OrvantaRaster");
  testing::LoadTool("OrvantaToneGate");
  const std::vector<std::string> raster = {"render", "OrvantaRaster", "-i", "in.tif",
                                           "-s",     "0x48536100=on", "-s", "0x56536100=on",
                                           "-s",     "0x48524300=1",  "-s", "0x56424300=1"};
  for (int mode : {3, 4}) {
    std::vector<std::string> args = raster;
    args.insert(args.end(), {"-x", "Blend Mode=" + std::to_string(mode), "-o", "mode.tif"});
    Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectFileIs(P("mode.tif"), inProcess("OrvantaRaster", "Blend Mode", mode).get());
  }
  std::vector<std::string> strict = raster;
  strict.insert(strict.end(), {"-s", "Blend Mode=3", "-o", "mode.tif"});
  Result r = Run(strict);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is not an item of \"Blend Mode\""), std::string::npos) << r.err;

  r = Run({"render", "OrvantaToneGate", "-i", "in.tif", "-s", "FLTO=lowcut", "-s", "LUML=0.5", "-x",
           "Red=0.5", "-o", "half.tif"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"render", "OrvantaToneGate", "-i", "in.tif", "-s", "FLTO=lowcut", "-s", "LUML=0.5", "-s",
           "Red=off", "-o", "off.tif"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run(
      {"render", "OrvantaToneGate", "-i", "in.tif", "-s", "FLTO=lowcut", "-s", "LUML=0.5", "-o", "on.tif"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "half.tif"), Slurp(dir_ / "off.tif"));
  EXPECT_NE(Slurp(dir_ / "half.tif"), Slurp(dir_ / "on.tif"));
}

TEST_F(Cli, BadGraphsFailWithOneSentenceAndWriteNothing) {
  WriteFile(P("in.tif"), Pattern(8, 6, 4, TypeDesc::UINT16));
  auto comp = [&](const std::string& name, const std::string& nodes, const std::string& extra = "") {
    Write(dir_ / name, "{\"version\": 1, " + extra + "\"nodes\": [" + nodes + "]}");
  };
  const std::string ld =
      R"j({"name": "a", "tool": "OrvantaLineDrop", "inputs": {"Input": {"file": "in.tif"}}})j";
  comp("cycle.json", R"j({"name": "a", "tool": "OrvantaLineDrop", "inputs": {"Input": {"node": "b"}}},
                        {"name": "b", "tool": "OrvantaRemap", "inputs": {"Input": {"node": "a"}}})j");
  comp("ghost.json", R"j({"name": "a", "tool": "OrvantaRemap", "inputs": {"Input": {"node": "ghost"}}})j");
  comp("tool.json", R"j({"name": "a", "tool": "OrvantaNothing"})j");
  comp("control.json", R"j({"name": "a", "tool": "OrvantaRemap", "controls": {"Loudness": 1}})j");
  comp("range.json", R"j({"name": "a", "tool": "OrvantaLineDrop", "controls": {"BSCH": 300}})j");
  comp("type.json", R"j({"name": "a", "tool": "OrvantaLineDrop", "controls": {"BSCH": [1, 2]}})j");
  comp("name.json", R"j({"name": 7, "tool": "OrvantaLineDrop"})j");
  comp("field.json", R"j({"name": "a", "tool": "OrvantaLineDrop", "colour": "red"})j");
  comp("twice.json", ld + "," + ld);
  comp("parse.json", R"j({"name": "a", "tool": "OrvantaLineDrop", "controls": {"BSCH": {"expr": "2 *"}}})j");
  comp("nan.json", R"j({"name": "a", "tool": "OrvantaLineDrop", "inputs": {"Input": {"file": "in.tif"}},
                       "controls": {"BSCH": {"expr": "sqrt(2 - frame)"}}})j");
  comp("output.json", ld, R"j("output": "z", )j");
  comp("ends.json", ld + R"j(, {"name": "b", "tool": "OrvantaRemap", "inputs": {"Input": {"node": "a"}}},
                           {"name": "c", "tool": "OrvantaRemap", "inputs": {"Input": {"node": "a"}}})j");
  Write(dir_ / "broken.json", "{\"version\": 1, \"nodes\": [");
  Write(dir_ / "array.json", "[1, 2]");
  Write(dir_ / "deep.json", "{\"version\": " + std::string(50000, '[') + std::string(50000, ']') + "}");
  Write(dir_ / "huge.json", "{\"version\": 1e400, \"nodes\": []}");
  comp("version.json", ld, R"j("version": 9, )j");

  auto render = [](const std::string& file, std::vector<std::string> extra = {}) {
    std::vector<std::string> a = {"render", "--comp", file, "-o", "out.tif"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  ExpectAllFail({
      {render("cycle.json"), "the composition has a cycle: \"a\" -> \"b\" -> \"a\""},
      {render("ghost.json"), "takes the picture of node \"ghost\", which the composition does not have"},
      {render("tool.json"), "node \"a\" is of the tool \"OrvantaNothing\", which is not installed"},
      {render("control.json"), "OrvantaRemap has no control \"Loudness\""},
      {render("range.json"), "300 is outside the range of \"scanlines showing input\""},
      {render("type.json"), "\"scanlines showing input\" takes a number, a text or"},
      {render("name.json"), "\"name\" of node 1 must be a text, not a number"},
      {render("field.json"), "node 1 has the field \"colour\""},
      {render("twice.json"), "already has a node named \"a\""},
      {render("parse.json"), "the expression \"2 *\" does not parse"},
      {{"render", "--comp", "nan.json", "--frames", "1-3", "-o", "out_#.tif"}, "gives NaN at frame 3"},
      {render("output.json"), "its output names the node \"z\", which it does not have"},
      {render("ends.json"), "ends in several nodes (\"b\", \"c\"); choose one with --node"},
      {render("ends.json", {"--node", "q"}), "no node named \"q\""},
      {render("broken.json"), "broken.json is not valid JSON: parse error at line 1"},
      {render("deep.json"), "deep.json nests lists and objects more than 64 deep"},
      {render("huge.json"), "huge.json is not valid JSON: number overflow parsing '1e400'"},
      {render("array.json"), "a composition is a JSON object, not a list"},
      {render("version.json"), "its version 9 is not known"},
      {render("ends.json", {"--node", "b", "-s", "c.SORL=2"}), "2 is outside the range"},
      {render("ends.json", {"--node", "b", "-s", "SORL=0.5"}),
       "names no node; write it as -s NODE.CONTROL=VALUE"},
      {render("ends.json", {"--node", "b", "-x", "b.SORL=a.BSCH +"}), "does not parse"},
      {render("ends.json", {"--node", "b", "-x", "b.SORL=q.BSCH"}), "has no node \"q\""},
      {render("ends.json", {"--node", "b", "-x", "b.SORL=sqrt(-frame)"}), "gives NaN at frame 1"},
      {render("ends.json", {"--node", "b", "-x", "b.SORL=b.SORH", "-x", "b.SORH=b.SORL"}),
       "read each other in a cycle"},
      {{"render", "OrvantaLineDrop", "-i", "in.tif", "-x", "BSCH=1/0", "-o", "out.tif"},
       "gives infinity at frame 1"},
      {{"render", "OrvantaLineDrop", "-i", "in.tif", "-x", "BSCH", "-o", "out.tif"},
       "-x takes CONTROL=EXPRESSION"},
      {{"render", "OrvantaLineDrop", "-i", "in.tif", "-x", "Input=1", "-o", "out.tif"}, "is an image input"},
  });
}

}  // namespace
}  // namespace orvanta
