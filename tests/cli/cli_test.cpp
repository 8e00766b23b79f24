// The orvanta command, run as a subprocess on small files the tests make: exact round trips
// through TIFF, PNG and EXR, renders equal to in-process ones, error reports, compositions,
// sequences with animated controls, thread counts, plug-in loading and the demo.
#include <nlohmann/json.hpp>

#include <fstream>

#include "cli_support.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/sequence.h"

namespace orvanta {
namespace {
using namespace clitest;

constexpr uint32_t kOrder = FourCC("SCOH"), kShow = FourCC("BSCH"), kCrop = FourCC("CSCH");

std::unique_ptr<host::Node> LineDrop() { return testing::MakeNode("OrvantaLineDrop"); }

// ---- files ------------------------------------------------------------------------------------

// LineDrop keeping 255 rows and dropping 1 passes an image of fewer rows through unchanged, so
// the round trip shows what the reader and writer do.
const std::vector<std::string> kIdentity = {"render", "OrvantaLineDrop", "-s", "BSCH=255", "-s", "CSCH=1"};

TEST_F(Cli, RoundTripsAreExactToTheBit) {
  struct Case {
    const char* ext;
    TypeDesc type;
    const char* bits;  // --bits, or ""
  };
  const Case cases[] = {{"tif", TypeDesc::UINT16, ""},  {"png", TypeDesc::UINT16, ""},
                        {"png", TypeDesc::UINT8, ""},   {"tif", TypeDesc::UINT8, ""},
                        {"exr", TypeDesc::FLOAT, ""},   {"tif", TypeDesc::FLOAT, ""},
                        {"exr", TypeDesc::HALF, "half"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.ext) + " " + c.type.c_str());
    Picture in = Pattern(13, 9, 4, c.type);
    WriteFile(P(std::string("in.") + c.ext), in);
    std::vector<std::string> args = kIdentity;
    args.insert(args.end(), {"-i", std::string("in.") + c.ext, "-o", std::string("out.") + c.ext});
    if (*c.bits) args.insert(args.end(), {"--bits", c.bits});
    Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    Picture out = ReadFile(P(std::string("out.") + c.ext));
    EXPECT_EQ(out.type, c.type);
    EXPECT_EQ(out.nch, 4);
    EXPECT_EQ(out.w, in.w);
    EXPECT_EQ(out.h, in.h);
    EXPECT_TRUE(out.bytes == in.bytes) << "samples changed on the way through";
  }
}

// Grey files stay grey and RGB files RGB, sample for sample; a tool whose result has an alpha of
// its own (Raster's scanline colours) gives RGB input an alpha, full where the input shows.
TEST_F(Cli, GreyAndRgbFilesKeepTheirChannels) {
  const Picture grey = Pattern(5, 4, 1, TypeDesc::UINT16), rgb = Pattern(5, 4, 3, TypeDesc::UINT8);
  WriteFile(P("grey.png"), grey);
  WriteFile(P("rgb.png"), rgb);
  for (const char* name : {"grey", "rgb"}) {
    std::vector<std::string> args = kIdentity;
    args.insert(args.end(), {"-i", std::string(name) + ".png", "-o", std::string(name) + "-out.png"});
    Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  const Picture g = ReadFile(P("grey-out.png")), c = ReadFile(P("rgb-out.png"));
  EXPECT_EQ(g.nch, 1);
  EXPECT_EQ(g.type, TypeDesc::UINT16);
  EXPECT_TRUE(g.bytes == grey.bytes);
  EXPECT_EQ(c.nch, 3);
  EXPECT_EQ(c.type, TypeDesc::UINT8);
  EXPECT_TRUE(c.bytes == rgb.bytes);

  Result r = Run({"render", "OrvantaRaster", "-i", "rgb.png", "-o", "lines.png", "-s",
                  "horizontal Scanlines/activate Scanlines=on"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Picture lines = ReadFile(P("lines.png"));
  ASSERT_EQ(lines.nch, 4);
  bool clear = false, opaque = false;
  for (size_t i = 3; i < lines.bytes.size(); i += 4)
    clear |= lines.bytes[i] == 0, opaque |= lines.bytes[i] == 255;
  EXPECT_TRUE(clear && opaque) << "scanlines without alpha over the opaque picture";
  // Asked for by name, the channels are written as listed.
  std::vector<std::string> args = kIdentity;
  args.insert(args.end(), {"-i", "rgb.png", "--channels", "B,G,R", "-o", "bgr.png"});
  r = Run(args);
  ASSERT_EQ(r.status, 0) << r.err;
  const Picture bgr = ReadFile(P("bgr.png"));
  ASSERT_EQ(bgr.nch, 3);
  for (size_t p = 0; p < 20; ++p) EXPECT_EQ(bgr.bytes[p * 3], rgb.bytes[p * 3 + 2]);
}

// ---- renders ----------------------------------------------------------------------------------

TEST_F(Cli, LineDropEqualsTheInProcessRender) {
  for (TypeDesc type : {TypeDesc(TypeDesc::UINT16), TypeDesc(TypeDesc::FLOAT)}) {
    SCOPED_TRACE(type.c_str());
    const std::string ext = type == TypeDesc::FLOAT ? "exr" : "tif";
    Picture in = Pattern(11, 17, 4, type);
    WriteFile(P("in." + ext), in);
    Result r = Run({"render", "orvalinedrop", "-i", "in." + ext, "-o", "out." + ext, "-s", "BSCH=2", "-s",
                    "scanlines to crop=3", "-s", "Controls/Scanline Order=crop first"});
    ASSERT_EQ(r.status, 0) << r.err;

    auto node = LineDrop();
    testing::Set(*node, kShow, 2);
    testing::Set(*node, kCrop, 3);
    testing::Set(*node, kOrder, 1);
    auto image = ToImage(in);
    host::Connect(node->FindInput(MainImageId), image.get());
    auto expected = testing::RenderOk(*node);
    ASSERT_TRUE(expected);
    ASSERT_LT(expected->Height, 17);  // rows were dropped
    ExpectFileIs(P("out." + ext), expected.get());
  }
}

TEST_F(Cli, ThreadCountsGiveTheSameBytes) {
  WriteFile(P("in.tif"), Pattern(31, 23, 4, TypeDesc::UINT16));
  for (const char* n : {"1", "4"}) {
    Result r = Run({"--threads", n, "render", "OrvantaLineDrop", "-i", "in.tif", "-o",
                    std::string("out") + n + ".tif", "-s", "BSCH=3", "-s", "CSCH=2"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string one = Slurp(dir_ / "out1.tif");
  EXPECT_FALSE(one.empty());
  EXPECT_EQ(one, Slurp(dir_ / "out4.tif"));
}

TEST_F(Cli, SequenceWithAnimatedControl) {
  std::vector<Picture> frames;
  for (int f = 1; f <= 3; ++f) {
    frames.push_back(Pattern(6 + f, 12, 4, TypeDesc::UINT16));
    WriteFile(P(io::FramePath("in_#.png", f)), frames.back());
  }
  Result r = Run({"-q", "render", "OrvantaLineDrop", "-i", "in_#.png", "-o", "out_%04d.png", "--frames",
                  "1-3", "-s", "BSCH=1@1,3@3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // -q: no progress

  auto node = LineDrop();
  for (double f : {1.0, 3.0}) {
    AutoNumber n(f);
    node->FindInput(kShow)->SetValue(n.get(), f, 2);
  }
  const int32_t heights[] = {6, 8, 9};  // 12 rows keeping 1, 2 and 3 of every 1 + 1, 2 + 1, 3 + 1
  for (int f = 1; f <= 3; ++f) {
    SCOPED_TRACE(f);
    auto image = ToImage(frames[size_t(f - 1)]);
    host::Connect(node->FindInput(MainImageId), image.get());
    auto expected = testing::RenderOk(*node, f);
    ASSERT_TRUE(expected);
    EXPECT_EQ(expected->Height, heights[f - 1]);
    ExpectFileIs(P(io::FramePath("out_%04d.png", f)), expected.get());
  }
}

TEST_F(Cli, CompositionRendersAgainIdentically) {
  WriteFile(P("in.png"), Pattern(9, 20, 4, TypeDesc::UINT16));
  Result r = Run({"render", "OrvantaLineDrop", "-i", "in.png", "-s", "BSCH=2@1,5@9", "-s", "CSCH=2", "-s",
                  "SCOH=1", "--save", "shot.orvc", "-o", "first.png", "--frames", "4"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(fs::exists(dir_ / "shot.orvc"));

  // From another folder: the composition keeps the input's absolute path.
  fs::create_directories(dir_ / "elsewhere");
  r = Run({"render", "--comp", "shot.orvc", "-o", "elsewhere/again.png", "--frames", "4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "first.png"), Slurp(dir_ / "elsewhere/again.png"));

  // -s still overrides what the composition holds.
  r = Run({"render", "--comp", "shot.orvc", "-s", "CSCH=1", "-o", "changed.png", "--frames", "4"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"render", "OrvantaLineDrop", "-i", "in.png", "-s", "BSCH=2@1,5@9", "-s", "CSCH=1", "-s", "SCOH=1",
           "-o", "direct.png", "--frames", "4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Slurp(dir_ / "first.png"), Slurp(dir_ / "changed.png"));
  EXPECT_EQ(Slurp(dir_ / "changed.png"), Slurp(dir_ / "direct.png"));
}

// A movie counts as a sequence of frames from 1; every frame of a motion-JPEG file is a key
// frame, so any frame can be read on its own.
TEST_F(Cli, MovieFramesAreASequence) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  ASSERT_EQ(
      std::system(("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=32x24:rate=5 -frames:v 4 -c:v mjpeg " +
                   ShellQuote(P("clip.avi")))
                      .c_str()),
      0);
  Result r = Run({"render", "OrvantaLineDrop", "-i", "clip.avi", "-o", "all_#.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int f = 1; f <= 4; ++f) EXPECT_TRUE(fs::exists(dir_ / io::FramePath("all_#.png", f))) << f;
  EXPECT_FALSE(fs::exists(dir_ / "all_0005.png"));
  r = Run({"render", "OrvantaLineDrop", "-i", "clip.avi", "-o", "one.png", "--frames", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "one.png"), Slurp(dir_ / "all_0003.png"));
  EXPECT_NE(Slurp(dir_ / "one.png"), Slurp(dir_ / "all_0001.png"));
  r = Run({"render", "OrvantaLineDrop", "-i", "clip.avi", "-o", "late.png", "--frames", "5"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("the movie has frames 1 to 4"), std::string::npos) << r.err;
}

// ---- errors -----------------------------------------------------------------------------------

TEST_F(Cli, BadInputsFailWithOneSentenceAndWriteNothing) {
  WriteFile(P("in.png"), Pattern(4, 6, 4, TypeDesc::UINT16));
  WriteFile(P("in.exr"), Pattern(4, 6, 4, TypeDesc::FLOAT));
  { std::ofstream(dir_ / "garbage.png") << "this is not an image"; }
  { std::ofstream(dir_ / "garbage.orvc") << "OrvC and then nothing useful"; }
  // A real composition cut short.
  ASSERT_EQ(Run({"render", "OrvantaLineDrop", "-i", "in.png", "--save", "whole.orvc"}).status, 0);
  std::string whole = Slurp(dir_ / "whole.orvc");
  { std::ofstream(dir_ / "cut.orvc", std::ios::binary) << whole.substr(0, whole.size() - 6); }

  const std::vector<std::string> base = {"render", "OrvantaLineDrop", "-i", "in.png", "-o", "out.png"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> a = base;
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  const std::vector<BadCase> cases = {
      {{"render", "NoSuchTool", "-i", "in.png", "-o", "out.png"},
       "no installed tool is named \"NoSuchTool\""},
      {{"info", "NoSuchTool"}, "no installed tool is named \"NoSuchTool\""},
      {{"frobnicate"}, "there is no command \"frobnicate\""},
      {with({"-s", "Brightness=1"}), "OrvantaLineDrop has no control \"Brightness\""},
      {with({"-s", "BSCH=256"}),
       "256 is outside the range of \"scanlines showing input\" of OrvantaLineDrop (1 to 255)"},
      {with({"-s", "CSCH=0"}), "outside the range"},
      {with({"-s", "BSCH=2.5"}), "takes whole numbers only"},
      {with({"-s", "BSCH=lots"}), "\"lots\" is not a number"},
      {with({"-s", "SCOH=sideways"}), "\"sideways\" is not an item of \"Scanline Order\""},
      {with({"-s", "SCOH=2"}), "is not an item"},
      {with({"-s", "BSCH"}), "-s takes CONTROL=VALUE"},
      {with({"-s", "BSCH=1@1,x@"}), "is not a frame number"},
      {with({"-s", "Input=2"}), "is an image input"},
      {{"render", "OrvantaLineDrop", "-o", "out.png"}, "needs its image input \"Input\""},
      {{"render", "OrvantaLineDrop", "-i", "missing.png", "-o", "out.png"}, "cannot read missing.png"},
      {{"render", "OrvantaLineDrop", "-i", "garbage.png", "-o", "out.png"}, "cannot read garbage.png"},
      {{"render", "OrvantaLineDrop", "-i", "Nope=in.png", "-o", "out.png"}, "has no image input \"Nope\""},
      {{"render", "OrvantaLineDrop", "-i", "in.png", "-o", "no/such/folder/out.png"}, "does not exist"},
      {{"render", "OrvantaLineDrop", "-i", "in.png", "-o", "out.xyz"}, "no image format is known"},
      {{"render", "OrvantaLineDrop", "-i", "in.exr", "-o", "out.png"}, "cannot hold float samples"},
      {with({"--frames", "5-1"}), "the frame range \"5-1\" is not valid"},
      {with({"--frames", "1-9x0"}), "is not valid"},
      {with({"--frames", "1-3"}), "needs a frame pattern"},
      {{"render", "OrvantaLineDrop", "-i", "in_#.png", "-o", "out_#.png", "--frames", "1-2"},
       "does not exist"},
      {{"render", "OrvantaLineDrop", "-i", "in_#.png", "-o", "out_#.png"}, "give the frames with --frames"},
      {with({"--bits", "7"}), "--bits takes 8, 10, 12, 16, half or float"},
      {with({"--bits", "12"}), "png files cannot hold 12-bit samples"},
      {{"--threads", "0", "render", "OrvantaLineDrop", "-i", "in.png", "-o", "out.png"}, "--threads takes"},
      {{"render", "--comp", "garbage.orvc", "-o", "out.png"}, "garbage.orvc is damaged"},
      {{"render", "--comp", "cut.orvc", "-o", "out.png"}, "cut.orvc is damaged"},
      {{"render", "--comp", "absent.orvc", "-o", "out.png"}, "cannot read absent.orvc"},
      {{"render", "OrvantaLineDrop", "-i", "in.png"}, "nothing to do"},
      {{"--memory-budget", "0", "render", "OrvantaLineDrop", "-i", "in.png", "-o", "out.png"},
       "--memory-budget takes"},
      {{"--memory-budget",
        "16",
        "render",
        "OrvantaRaster",
        "-i",
        "in.png",
        "-o",
        "out.png",
        "-s",
        "MODH=1",
        "-s",
        "MODV=1",
        "-s",
        "0x56536100=on",
        "-s",
        "BSCH=255",
        "-s",
        "CSCH=255",
        "-s",
        "BSCV=255",
        "-s",
        "CSCV=255"},
       "OrvantaRaster: an image of"},
  };
  ExpectAllFail(cases);
}

TEST_F(Cli, AFailedWriteKeepsTheOldFile) {
  WriteFile(P("in.exr"), Pattern(4, 6, 4, TypeDesc::FLOAT));
  { std::ofstream(dir_ / "out.png") << "previous result"; }
  Result r = Run({"render", "OrvantaLineDrop", "-i", "in.exr", "-o", "out.png"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(Slurp(dir_ / "out.png"), "previous result");
  EXPECT_EQ(Files(), (std::vector<std::string>{"in.exr", "out.png"}));
  // Asked for, the same render writes 16 bits.
  r = Run({"render", "OrvantaLineDrop", "-i", "in.exr", "-o", "out.png", "--bits", "16"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(P("out.png")).type, TypeDesc::UINT16);
}

// The labels of OrvantaRaster repeat across its pages, so it shows how names are qualified.
TEST_F(Cli, AmbiguousLabelsListTheirCandidates) {
  if (!fs::exists(fs::path(ORVANTA_PLUGIN_DIR) / "OrvantaRaster.so"))
    GTEST_SKIP() << "OrvantaRaster is not built";
  WriteFile(P("in.png"), Pattern(4, 6, 4, TypeDesc::UINT16));
  const std::vector<std::string> base = {"render", "OrvantaRaster", "-i", "in.png", "-o", "out.png"};
  auto run = [&](const std::string& setting) {
    std::vector<std::string> a = base;
    a.insert(a.end(), {"-s", setting});
    return Run(a);
  };
  Result r = run("Red=1");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("\"Red\" is ambiguous in OrvantaRaster"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0x48524300"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0x56524300"), std::string::npos) << r.err;
  // Both colour groups carry the label "Scanline Color"; their alpha members inherit it.
  r = run("Scanline Color/Alpha=0.5");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("0x48414300"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0x56414300"), std::string::npos) << r.err;
  for (const char* ok :
       {"horizontal Scanlines/Red=1", "vertical scanlines/alpha=0.5", "0x56524300=1", "MODV=stretch input"}) {
    r = run(ok);
    EXPECT_EQ(r.status, 0) << ok << ": " << r.err;
  }
  // A group label names a colour member uniquely where the page does not.
  if (fs::exists(fs::path(ORVANTA_PLUGIN_DIR) / "OrvantaBillboard.so")) {
    r = Run(
        {"render", "OrvantaBillboard", "-i", "in.png", "-o", "out.png", "-s", "new Green Color/Blue=0.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Run({"render", "OrvantaBillboard", "-i", "in.png", "-o", "out.png", "-s", "Settings/Blue=0.5"});
    EXPECT_NE(r.err.find("is ambiguous"), std::string::npos) << r.err;
  }
}

// ---- listing, plug-ins and the demo -----------------------------------------------------------

TEST_F(Cli, ToolsAndInfo) {
  Result r = Run({"tools"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("OrvantaLineDrop"), std::string::npos);
  EXPECT_NE(r.out.find("OrvaLineDrop"), std::string::npos);
  EXPECT_NE(r.out.find("0x84290007"), std::string::npos);
  EXPECT_NE(r.out.find("Built: Oct 14 2005"), std::string::npos);
  r = Run({"tools", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json tools = nlohmann::json::parse(r.out);
  auto ld =
      std::find_if(tools.begin(), tools.end(), [](auto& t) { return t["identifier"] == "OrvaLineDrop"; });
  ASSERT_NE(ld, tools.end()) << r.out;
  EXPECT_EQ((*ld)["caption"], "LnDr");
  EXPECT_EQ((*ld)["classWord"], "0x84290007");

  r = Run({"info", "orvantalinedrop"});
  ASSERT_EQ(r.status, 0) << r.err;
  const char* order[] = {"Crop certain scanlines",      "\"Input\"",      "Page \"Controls\"",
                         "\"Scanline Order\"",          "id SCOH",        "1 \"crop first\"",
                         "\"scanlines showing input\"", "range 1 to 255", "\"scanlines to crop\""};
  size_t pos = 0;
  for (const char* s : order) {
    size_t at = r.out.find(s, pos);
    EXPECT_NE(at, std::string::npos) << s << " missing or out of order in\n" << r.out;
    if (at != std::string::npos) pos = at;
  }
  r = Run({"info", "OrvaLineDrop", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json info = nlohmann::json::parse(r.out);
  ASSERT_EQ(info["pages"].size(), 2u) << r.out;  // the image input, then the page "Controls"
  const nlohmann::json& controls = info["pages"][1]["inputs"];
  EXPECT_EQ(info["pages"][1]["page"], "Controls");
  ASSERT_EQ(controls.size(), 3u);
  EXPECT_EQ(controls[0]["id"], "SCOH");
  EXPECT_EQ(controls[0]["items"], nlohmann::json::array({"input first", "crop first"}));
  EXPECT_EQ(controls[2]["label"], "scanlines to crop");
  EXPECT_EQ(controls[2]["id"], "CSCH");
  EXPECT_EQ(controls[2]["rangeLow"], 1);
}

TEST_F(Cli, ABrokenPlugInIsReportedAndTheOthersLoad) {
  fs::create_directories(dir_ / "plugins");
  fs::copy_file(fs::path(ORVANTA_PLUGIN_DIR) / "OrvantaLineDrop.so", dir_ / "plugins/OrvantaLineDrop.so");
  { std::ofstream(dir_ / "plugins/OrvantaBroken.so") << "not a shared object"; }
  for (bool env : {false, true}) {
    Result r = env ? Run({"tools"}, "ORVANTA_PLUGIN_PATH=" + ShellQuote(P("plugins")))
                   : Run({"--plugins", "plugins", "tools"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("OrvantaBroken.so did not load"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("OrvantaLineDrop"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("OrvantaRaster"), std::string::npos) << "only the named folder is searched";
  }
  Result r = Run({"--plugins", "no-such-folder", "tools"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("the plug-in folder no-such-folder does not exist"), std::string::npos) << r.err;
}

TEST_F(Cli, DemoRendersTheInstalledTools) {
  Result r = Run({"demo", "show"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string html = Slurp(dir_ / "show/index.html");
  EXPECT_NE(html.find("<img src=\"linedrop.png\">"), std::string::npos);
  Picture ld = ReadFile(P("show/linedrop.png"));
  Picture src = ReadFile(P("show/footage/interlaced.png"));
  EXPECT_EQ(ld.w, src.w);
  EXPECT_EQ(ld.h * 2, src.h);  // one row kept of every two
  // The float ramp holds the same picture as the 16-bit one.
  Picture ramp = ReadFile(P("show/footage/ramp.png")), rampFloat = ReadFile(P("show/footage/ramp.exr"));
  EXPECT_EQ(rampFloat.type, TypeDesc::FLOAT);
  EXPECT_EQ(rampFloat.w, ramp.w);
  EXPECT_EQ(rampFloat.h, ramp.h);
  // Every result the page shows was written.
  for (size_t at = html.find("<img src=\""); at != std::string::npos; at = html.find("<img src=\"", at + 1)) {
    size_t b = at + 10, e = html.find('"', b);
    EXPECT_TRUE(fs::exists(dir_ / "show" / html.substr(b, e - b))) << html.substr(b, e - b);
  }
}

// What the README's examples read: figures and bricks by the names used there, a numbered float
// sequence and an interlaced movie with sound.
TEST_F(Cli, DemoWritesTheFootageTheExamplesName) {
  ASSERT_EQ(Run({"demo", "show", "-q"}).status, 0);
  const fs::path footage = dir_ / "show/footage";
  for (const char* f : {"man.png", "woman.png", "child.png", "brick1.png", "brick2.png", "brick3.png"})
    EXPECT_TRUE(fs::exists(footage / f)) << f;
  int frames = 0;
  while (fs::exists(io::FramePath((footage / "shot.#.exr").string(), frames + 1))) ++frames;
  EXPECT_EQ(frames, 24);
  const Picture first = ReadFile((footage / "shot.0001.exr").string());
  const Picture last = ReadFile((footage / "shot.0024.exr").string());
  EXPECT_EQ(first.type, TypeDesc::HALF);
  EXPECT_NE(first.bytes, last.bytes);  // it moves
  EXPECT_FALSE(fs::exists(footage / ".tape-sound.wav"));
  ASSERT_EQ(std::system(("ffprobe -v error -show_entries stream=codec_type,nb_frames -of csv=p=0 " +
                         ShellQuote((footage / "tape.mov").string()) + " > " + ShellQuote(P("streams.txt")))
                            .c_str()),
            0);
  EXPECT_EQ(Slurp(dir_ / "streams.txt").substr(0, 15), "video,24\naudio,") << Slurp(dir_ / "streams.txt");
}

// The demo's graph names its output, so the composition renders without --node; results with
// alpha below full are shown on the sheet by their colour as it is.
TEST_F(Cli, DemoGraphNamesItsOutputAndTheSheetShowsScopesByTheirColour) {
  ASSERT_EQ(Run({"demo", "show", "-q"}).status, 0);
  Result r = Run({"-q", "render", "--comp", "show/graph.json", "-o", "board.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "board.png"), Slurp(dir_ / "show/graph-board.png"));
  const std::string html = Slurp(dir_ / "show/index.html");
  for (const char* name : {"scope-parade", "scope-red", "graph-scope"}) {
    SCOPED_TRACE(name);
    EXPECT_NE(html.find("<img src=\"rgb/" + std::string(name) + ".png\">"), std::string::npos);
    const Picture written = ReadFile(P("show/" + std::string(name) + ".png"));
    const Picture shown = ReadFile(P("show/rgb/" + std::string(name) + ".png"));
    ASSERT_EQ(written.type, TypeDesc::UINT16);
    ASSERT_EQ(shown.bytes.size(), written.bytes.size());
    const auto* w = reinterpret_cast<const uint16_t*>(written.bytes.data());
    const auto* v = reinterpret_cast<const uint16_t*>(shown.bytes.data());
    size_t clear = 0, same = 0;
    for (size_t i = 0; i < written.bytes.size() / 2; i += 4) {
      clear += w[i + 3] < 65535;
      same += w[i] == v[i] && w[i + 1] == v[i + 1] && w[i + 2] == v[i + 2] && v[i + 3] == 65535;
    }
    EXPECT_GT(clear, 0u);                       // the tool's own alpha is kept in its file
    EXPECT_EQ(same, written.bytes.size() / 8);  // the shown copy: the colour, full alpha
  }
  EXPECT_NE(html.find("<img src=\"linedrop.png\">"), std::string::npos);  // opaque results as they are
}

}  // namespace
}  // namespace orvanta

namespace orvanta {
namespace {
using namespace clitest;

// A render onto a full file system (a 64 KiB tmpfs over a folder of the scratch folder; needs
// root): the command fails with the file named and no file stands under a final name unless it
// is whole, for a single picture and for every frame of a sequence after the disk filled.
TEST_F(Cli, AFullDiskFailsTheRenderAndLeavesNoPartialFile) {
  const fs::path disk = dir_ / "disk";
  fs::create_directories(disk);
  if (std::system(
          ("mount -t tmpfs -o size=64k tmpfs " + ShellQuote(disk.string()) + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  struct Unmount {
    fs::path at;
    ~Unmount() { (void)std::system(("umount " + ShellQuote(at.string())).c_str()); }
  } unmount{disk};
  WriteFile(P("big.png"), Pattern(300, 300, 4, TypeDesc::UINT16));
  for (int f = 1; f <= 3; ++f)
    WriteFile(P(io::FramePath("in.#.png", f)), Pattern(80, 80, 4, TypeDesc::UINT16));
  auto expectOnlyWholeFiles = [&] {
    for (auto& e : fs::directory_iterator(disk)) {
      const std::string name = e.path().filename().string();
      EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
      EXPECT_EQ(io::CheckImageFile(e.path().string()), io::FileState::Complete) << name;
    }
  };

  Result r = Run({"render", "OrvantaLineDrop", "-i", "big.png", "-o", "disk/out.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write disk/out.png: No space left on device"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(disk / "out.png"));
  expectOnlyWholeFiles();

  r = Run({"render", "OrvantaLineDrop", "-i", "in.#.png", "-o", "disk/seq.#.png", "--frames", "1-3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  // Frames are written by several threads: a frame after the one that failed may still be
  // written whole in the room the failed one gave back, but none stands truncated.
  EXPECT_FALSE(fs::exists(disk / "seq.0001.png") && fs::exists(disk / "seq.0002.png") &&
               fs::exists(disk / "seq.0003.png"));
  expectOnlyWholeFiles();

  r = Run({"render", "OrvantaLineDrop", "-i", "big.png", "-o", "disk/out.jpg", "--bits", "8"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write disk/out.jpg: No space left on device"), std::string::npos) << r.err;
  expectOnlyWholeFiles();
}

}  // namespace
}  // namespace orvanta
