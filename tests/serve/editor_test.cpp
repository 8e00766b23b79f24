// The browser host's editor in process: pictures sent as the canvas's bytes and pixels read back
// exactly, keyframes set at a frame, driven values shown, renames, positions, undo and redo, and
// the timeline a graph implies.
#include <cmath>
#include <fstream>

#include "orvanta/host/failure.h"
#include "orvanta/io/files.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/movie.h"
#include "orvanta/io/sequence.h"
#include "picture.h"
#include "serve_support.h"

namespace orvanta::servetest {
namespace {

using serve::Json;

double ValueIn(const Json& state, const std::string& node, const std::string& id) {
  return ControlIn(state, node, id).at("value").get<double>();
}

TEST(CanvasBytes, EverySixteenBitSampleRoundsToTheNearestByte) {
  host::ImagePtr deep = testing::EveryValue(Depth16);
  const std::vector<uint8_t> bytes = serve::CanvasBytes(*deep);
  ASSERT_EQ(bytes.size(), size_t(deep->Width) * size_t(deep->Height) * 4);
  size_t wrong = 0;
  for (int32_t y = 0; y < deep->Height; ++y)
    for (int32_t x = 0; x < deep->Width; ++x) {
      const Pixel p = testing::At(deep.get(), x, y);
      const uint8_t* c = &bytes[(size_t(y) * size_t(deep->Width) + size_t(x)) * 4];
      const uint32_t rgba[4] = {p.R, p.G, p.B, p.A};
      for (int i = 0; i < 4; ++i) wrong += c[i] != std::lround(rgba[i] / 257.0);
    }
  EXPECT_EQ(wrong, 0u);
  host::ImagePtr eight = testing::EveryValue(Depth8);
  const std::vector<uint8_t> same = serve::CanvasBytes(*eight);
  for (int32_t y = 0; y < eight->Height; ++y) {
    const uint8_t* b = host::RowBytes(eight.get(), y);  // B, G, R, A
    const uint8_t* c = &same[size_t(y) * size_t(eight->Width) * 4];
    for (size_t i = 0; i < size_t(eight->Width) * 4; i += 4)
      wrong += c[i] != b[i + 2] || c[i + 1] != b[i + 1] || c[i + 2] != b[i] || c[i + 3] != b[i + 3];
  }
  EXPECT_EQ(wrong, 0u);
  // Opaque: the colour as it is, the alpha full.
  const std::vector<uint8_t> colour = serve::CanvasBytes(*deep, true);
  size_t differ = 0;
  for (size_t i = 0; i < bytes.size(); ++i) differ += colour[i] != (i % 4 == 3 ? 255 : bytes[i]);
  EXPECT_EQ(differ, 0u);
  const std::vector<uint8_t> colour8 = serve::CanvasBytes(*eight, true);
  for (size_t i = 0; i < same.size(); ++i) differ += colour8[i] != (i % 4 == 3 ? 255 : same[i]);
  EXPECT_EQ(differ, 0u);
  EXPECT_THROW(serve::CanvasBytes(*testing::Flat(2, 2, DepthFloat, Pixel{})), Failure);
}

// The canvas's bytes are the picture the PNG holds, and the readout gives the samples the files
// hold, in their own units.
TEST_F(ServeTest, RawPreviewsAndThePixelReadoutAreThePicturesOwnValues) {
  for (const char* footage : {"bars.png", "deep.png"}) {
    SCOPED_TRACE(footage);
    auto s = ToolSession("OrvantaRemap", footage);
    const Decoded png = DecodePng(s->Render("remap", 1, 1.0).bytes);
    const serve::Preview raw = s->Render("remap", 1, 1.0, {serve::PreviewFormat::Rgba8, {}});
    ASSERT_EQ(raw.bytes.size(), size_t(png.w) * size_t(png.h) * 4);
    const bool deep = png.bits == 16;
    EXPECT_EQ(raw.depth, deep ? Depth16 : Depth8);
    const auto* words = reinterpret_cast<const uint16_t*>(png.bytes.data());
    size_t wrong = 0;
    for (size_t i = 0; i < raw.bytes.size(); ++i)
      wrong += raw.bytes[i] != (deep ? std::lround(words[i] / 257.0) : png.bytes[i]);
    EXPECT_EQ(wrong, 0u);
    for (auto [x, y] : {std::pair{0, 0}, std::pair{png.w - 1, 7}, std::pair{13, png.h - 1}}) {
      const Json px = s->Pixel("remap", 1, 1.0, x, y);
      EXPECT_EQ(px.at("depth"), deep ? "16-bit" : "8-bit");
      const size_t at = (size_t(y) * size_t(png.w) + size_t(x)) * 4;
      for (size_t c = 0; c < 4; ++c)
        EXPECT_EQ(px.at("rgba")[c].get<double>(), deep ? words[at + c] : png.bytes[at + c]) << x << "," << y;
    }
    EXPECT_THROW(s->Pixel("remap", 1, 1.0, png.w, 0), Failure);
    EXPECT_THROW(s->Pixel("ghost", 1, 1.0, 0, 0), Failure);
  }
  auto f = ToolSession("OrvantaRemap", "linear.exr");
  const Json px = f->Pixel("remap", 1, 1.0, 3, 0);
  EXPECT_EQ(px.at("depth"), "float");
  EXPECT_EQ(px.at("rgba"), Json::array({1.5f, 0.18f, 0.5f, 1.0f}));
  // Exposure reaches the float view: +1 stop doubles the linear green before the sRGB curve.
  const serve::Preview up = f->Render("remap", 1, 1.0, {serve::PreviewFormat::Rgba8, {1.0, 1.0}});
  EXPECT_NEAR(up.bytes[1], 255 * (1.055 * std::pow(0.36, 1 / 2.4) - 0.055), 1);
  EXPECT_EQ(up.bytes[0], 255);
}

// The readout is of the graph as it is now, never of a picture kept from before a change.
TEST_F(ServeTest, ThePixelReadoutFollowsChanges) {
  auto s = ToolSession("OrvantaRemap", "deep.png");
  s->Render("remap", 1, 1.0);
  const double before = s->Pixel("remap", 1, 1.0, 20, 10).at("rgba")[0].get<double>();
  s->Set(Json{{"node", "remap"}, {"control", "SOTH"}, {"value", 0.5}});
  const double after = s->Pixel("remap", 1, 1.0, 20, 10).at("rgba")[0].get<double>();
  EXPECT_NE(after, before);
  EXPECT_EQ(s->Pixel("remap", 1, 0.5, 10, 5).at("width"), 24);  // the proxy's own pixels
}

TEST_F(ServeTest, KeyframesSetAtAFrameInterpolate) {
  auto s = ToolSession("OrvantaRemap");
  s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"value", 0.1}});
  Json st = s->Key(Json{{"node", "remap"}, {"control", "SORL"}});  // at the current frame, 1
  EXPECT_TRUE(ControlIn(st, "remap", "SORL").at("animated"));
  s->View(Json{{"frame", 11}});
  st = s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"value", 0.5}});  // a key at 11
  EXPECT_EQ(ControlIn(st, "remap", "SORL").at("keys"), Json::array({1.0, 11.0}));
  st = s->View(Json{{"frame", 6}});
  EXPECT_DOUBLE_EQ(ValueIn(st, "remap", "SORL"), 0.3);
  EXPECT_EQ(st.at("lastFrame"), 11);  // the keys span the timeline

  EXPECT_THROW(s->Key(Json{{"node", "remap"}, {"control", "SORL"}, {"remove", true}}), Failure);  // none at 6
  st = s->Key(Json{{"node", "remap"}, {"control", "SORL"}, {"frame", 11}, {"remove", true}});
  EXPECT_EQ(ControlIn(st, "remap", "SORL").at("keys"), Json::array({1.0}));
  st = s->Key(Json{{"node", "remap"}, {"control", "SORL"}, {"frame", 1}, {"remove", true}});
  EXPECT_FALSE(ControlIn(st, "remap", "SORL").at("animated"));
  EXPECT_DOUBLE_EQ(ValueIn(st, "remap", "SORL"), 0.1);  // the value it had stays

  // A driven control and bad requests are refused.
  s->Set(Json{{"node", "remap"}, {"control", "SORH"}, {"expression", "0.9"}});
  EXPECT_THROW(s->Key(Json{{"node", "remap"}, {"control", "SORH"}}), Failure);
  EXPECT_THROW(s->Key(Json{{"node", "remap"}, {"control", "SORL"}, {"frame", 1.5}}), Failure);
  EXPECT_THROW(s->Key(Json{{"node", "remap"}, {"control", "SORL"}, {"remove", "yes"}}), Failure);
  EXPECT_THROW(s->Key(Json{{"node", "remap"}, {"control", "Input"}}), Failure);
}

TEST_F(ServeTest, DrivenControlsShowTheirValueAtTheFrame) {
  auto s = ToolSession("OrvantaRemap");
  Json st = s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"expression", "frame / 100"}});
  EXPECT_DOUBLE_EQ(ValueIn(st, "remap", "SORL"), 0.01);
  EXPECT_EQ(st.at("lastFrame"), 100);  // an expression of the frame gives the timeline a default span
  EXPECT_EQ(st.at("framesFrom"), "expressions");
  EXPECT_DOUBLE_EQ(ValueIn(s->View(Json{{"frame", 30}}), "remap", "SORL"), 0.3);
  st = s->Set(Json{{"node", "remap"}, {"control", "SORH"}, {"expression", "remap.SORL * 2"}});
  EXPECT_DOUBLE_EQ(ValueIn(st, "remap", "SORH"), 0.6);
  st = s->Set(Json{{"node", "remap"}, {"control", "SORH"}, {"expression", "1 / (frame - 30)"}});
  EXPECT_NE(ControlIn(st, "remap", "SORH").at("valueError").get<std::string>().find("frame 30"),
            std::string::npos);
}

TEST_F(ServeTest, EveryGraphChangeUndoesAndRedoes) {
  auto s = ToolSession("OrvantaRemap");
  const std::string start = Json(s->State().at("nodes")).dump();
  EXPECT_FALSE(s->State().at("canUndo"));
  EXPECT_THROW(s->Undo(Json::object()), Failure);
  const uint64_t rev = s->State().at("revision");
  s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"value", 0.2}, {"group", "drag1"}});
  s->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"value", 0.3}, {"group", "drag1"}});  // one step
  EXPECT_GT(s->State().at("revision").get<uint64_t>(), rev);
  s->AddNode(Json{{"tool", "OrvantaLineDrop"}, {"name", "fields"}});
  s->Connect(Json{{"node", "fields"}, {"input", "Input"}, {"source", "remap"}});
  s->Rename(Json{{"node", "remap"}, {"name", "grade"}});
  s->Move(Json{{"positions", {{"grade", {10, 20}}, {"fields", {200, 20}}}}});
  s->View(Json{{"output", "fields"}});
  s->View(Json{{"frame", 4}});  // not a change of the graph

  Json st = s->Undo(Json::object());  // the output
  EXPECT_EQ(st.at("output"), "");
  st = s->Undo(Json::object());  // the positions
  EXPECT_FALSE(st.at("nodes")[0].contains("position"));
  st = s->Undo(Json::object());  // the name
  EXPECT_EQ(st.at("nodes")[0].at("node"), "remap");
  EXPECT_EQ(ControlIn(st, "fields", "0x01706EC9").at("link").at("target"), "remap");
  st = s->Undo(Json::object());  // the link
  EXPECT_FALSE(ControlIn(st, "fields", "0x01706EC9").contains("link"));
  st = s->Undo(Json::object());  // the node
  EXPECT_EQ(st.at("nodes").size(), 1u);
  EXPECT_EQ(st.at("viewed"), "remap");  // the viewed node went with it
  EXPECT_DOUBLE_EQ(ValueIn(st, "remap", "SORL"), 0.3);
  st = s->Undo(Json::object());  // the drag, whole
  EXPECT_EQ(Json(st.at("nodes")).dump(), start);
  EXPECT_FALSE(st.at("canUndo"));

  st = s->Redo(Json::object());
  EXPECT_DOUBLE_EQ(ValueIn(st, "remap", "SORL"), 0.3);
  st = s->Redo(Json::object());
  EXPECT_EQ(st.at("nodes").size(), 2u);
  EXPECT_TRUE(st.at("canRedo"));
  st = s->Set(Json{{"node", "remap"}, {"control", "SORH"}, {"value", 0.9}});  // a new change
  EXPECT_FALSE(st.at("canRedo"));
  EXPECT_THROW(s->Redo(Json::object()), Failure);
  // A refused change leaves no step behind.
  EXPECT_THROW(s->Set(Json{{"node", "remap"}, {"control", "SORH"}, {"value", 9}}), Failure);
  st = s->Undo(Json::object());
  EXPECT_NE(ValueIn(st, "remap", "SORH"), 0.9);
  EXPECT_EQ(st.at("nodes").size(), 2u);
}

TEST_F(ServeTest, RenamesAndPositionsAreCheckedAndSaved) {
  auto s = ToolSession("OrvantaRemap");
  s->AddNode(Json{{"tool", "OrvantaLineDrop"}, {"name", "fields"}});
  s->Connect(Json{{"node", "fields"}, {"input", "Input"}, {"source", "remap"}});
  s->View(Json{{"node", "remap"}});
  Json st = s->Rename(Json{{"node", "remap"}, {"name", "grade"}});
  EXPECT_EQ(st.at("viewed"), "grade");
  EXPECT_THROW(s->Rename(Json{{"node", "grade"}, {"name", "fields"}}), Failure);
  EXPECT_THROW(s->Rename(Json{{"node", "grade"}, {"name", "a b"}}), Failure);
  for (const Json& bad : {Json{{"positions", {{"grade", {1}}}}}, Json{{"positions", {{"ghost", {1, 2}}}}},
                          Json{{"positions", {{"grade", {1, 2}}, {"fields", {"x", 2}}}}},
                          Json{{"positions", {{"grade", {2e9, 0}}}}}, Json{{"positions", {1, 2}}}})
    EXPECT_THROW(s->Move(bad), Failure) << bad.dump();
  EXPECT_FALSE(s->State().at("nodes")[0].contains("position"));  // all or none
  st = s->Move(Json{{"positions", {{"grade", {-30.5, 12}}}}});
  EXPECT_EQ(st.at("nodes")[0].at("position"), Json::array({-30.5, 12.0}));
  s->Save();
  graph::Graph g = io::LoadCompositionFile(P("saved.json"));
  ASSERT_TRUE(g.Get("grade").position.has_value());
  EXPECT_EQ(g.Get("grade").position->x, -30.5);
  EXPECT_FALSE(g.Get("fields").position.has_value());
  EXPECT_EQ(g.Get("fields").links.begin()->second.target, "grade");
}

// A composition opened, looked at and saved without a move keeps its bytes.
TEST_F(ServeTest, AnUntouchedCompositionSavesToTheSameBytes) {
  auto first = ToolSession("OrvantaRemap");
  first->Set(Json{{"node", "remap"}, {"control", "SORL"}, {"value", 0.2}});
  first->AddNode(Json{{"tool", "OrvantaLineDrop"}, {"name", "b"}});
  first->Connect(Json{{"node", "b"}, {"input", "Input"}, {"source", "remap"}});
  first->View(Json{{"output", "b"}});
  first->Save();
  auto read = [&] {
    std::ifstream f(P("saved.json"));
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  const std::string text = read();
  serve::StartOptions o;
  o.comp = P("saved.json");
  serve::Session s(o);
  EXPECT_EQ(s.State().at("viewed"), "b");  // the output is what opens
  s.View(Json{{"node", "remap"}, {"frame", 1}});
  s.Render("b", 1, 1.0);
  s.Pixel("b", 1, 1.0, 0, 0);
  s.Save();
  EXPECT_EQ(read(), text);
  EXPECT_EQ(text.find("\"position\""), std::string::npos);
}

TEST_F(ServeTest, TheTimelineSpansTheFootageOnDisk) {
  for (int32_t f : {3, 4, 7})
    io::WriteImage(*testing::Numbered(8, 6, Depth8), io::FramePath(P("seq.#.png"), f));
  serve::StartOptions o;
  o.tool = "OrvantaRemap";
  o.inputs = {P("seq.#.png")};
  auto seq = std::make_unique<serve::Session>(o);
  Json st = seq->State();
  EXPECT_EQ(st.at("firstFrame"), 3);
  EXPECT_EQ(st.at("lastFrame"), 7);
  EXPECT_EQ(st.at("frame"), 3);
  EXPECT_EQ(st.at("framesFrom"), "footage");
  EXPECT_EQ(st.at("fps"), 24.0);

  {
    io::MovieSettings m;
    m.rate = io::Ratio{25, 1};
    io::MovieWriter movie(P("clip.mkv"), m);
    for (int i = 0; i < 5; ++i) movie.Write(*testing::Numbered(16, 8, Depth8));
    movie.Finish();
  }
  o.inputs = {P("clip.mkv")};
  st = serve::Session(o).State();
  EXPECT_EQ(st.at("firstFrame"), 1);
  EXPECT_EQ(st.at("lastFrame"), 5);
  EXPECT_EQ(st.at("fps"), 25.0);
  o.frames = "2-9";
  st = serve::Session(o).State();
  EXPECT_EQ(st.at("lastFrame"), 9);
  EXPECT_EQ(st.at("framesFrom"), "--frames");
  EXPECT_EQ(st.at("fps"), 25.0);
  o.frames.clear();
  o.inputs = {P("bars.png")};
  st = serve::Session(o).State();
  EXPECT_EQ(st.at("lastFrame"), 1);
  EXPECT_EQ(st.at("framesFrom"), "");
}

}  // namespace
}  // namespace orvanta::servetest
