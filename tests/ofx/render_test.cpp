// Renders through the bundle equal `orvanta render` of the same pictures and settings, byte for
// byte: every tool, 8-bit, 16-bit and float, rows bottom-up, at a negative distance, packed or at
// odd addresses, images away from the origin, on the host's threads or the runtime's, at full and at half
// scale.
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

namespace orvanta::ofxtest {
namespace {

using Make = std::function<Picture(Depth)>;

struct Input {
  std::string label;  // the clip's label; "" for the main input
  Make picture;
};

struct Case {
  std::string name, tool;
  std::vector<Input> inputs;
  // What a user sets in the host, in order, and the same for the command.
  std::vector<std::pair<std::string, std::vector<double>>> params;
  std::vector<std::string> settings;
};

Make Pat(int w, int h, uint32_t seed) {
  return [=](Depth d) { return Pattern(w, h, d, seed); };
}

const std::vector<double> kRed = {1, 0, 0, 1}, kGreen = {0, 1, 0, 1};

std::vector<Case> Cases() {
  return {
      {"LineDrop_fields",
       "OrvantaLineDrop",
       {{"", Pat(61, 47, 1)}},
       {{"SCOH", {1}}, {"BSCH", {2}}, {"CSCH", {1}}},
       {"SCOH=1", "BSCH=2", "CSCH=1"}},
      {"Raster_stretched",
       "OrvantaRaster",
       {{"", Pat(29, 17, 2)}},
       {{"MODH", {1}},
        {"BSCH", {2}},
        {"0x56536100", {1}},
        {"MODV", {1}},
        {"CSCV", {2}},
        {"0x48524300", {0.5, 0.25, 1, 1}},
        {"0x56524300", {0, 1, 0.5, 0.75}},
        {"BMDV", {1}}},
       {"MODH=1", "BSCH=2", "0x56536100=1", "MODV=1", "CSCV=2", "0x48524300=0.5", "0x48474300=0.25",
        "0x48424300=1", "0x48414300=1", "0x56524300=0", "0x56474300=1", "0x56424300=0.5", "0x56414300=0.75",
        "BMDV=1"}},
      {"Raster_in_place",
       "OrvantaRaster",
       {{"", Pat(31, 23, 3)}},
       {{"BSCH", {3}}, {"CSCH", {2}}, {"0x48524300", {1, 0, 0, 0.5}}},
       {"BSCH=3", "CSCH=2", "0x48524300=1", "0x48474300=0", "0x48424300=0", "0x48414300=0.5"}},
      {"ToneGate_inside_cut",
       "OrvantaToneGate",
       {{"", Pat(37, 29, 4)}},
       {{"FLTO", {4}}, {"LUML", {0.25}}, {"LUMH", {0.75}}, {"0x534D5300", {0.125}}},
       {"FLTO=4", "LUML=0.25", "LUMH=0.75", "0x534D5300=0.125"}},
      {"Remap_colorize",
       "OrvantaRemap",
       {{"", Pat(33, 21, 5)}},
       {{"SORL", {0.25}}, {"SORH", {0.75}}, {"SOTL", {0.125}}, {"OOIO", {1}}, {"ICLR", {0.5, 0.25, 0.75, 1}}},
       {"SORL=0.25", "SORH=0.75", "SOTL=0.125", "OOIO=1", "ICLR=0.5", "ICLG=0.25", "ICLB=0.75", "ICLA=1"}},
      // The preset fills other controls in both; a control set after it keeps its value.
      {"Billboard_airport_then_edited",
       "OrvantaBillboard",
       {{"", Pat(13, 9, 6)}},
       {{"Type", {1}}, {"0x68436CC2", {0}}},
       {"Type=1", "0x68436CC2=0"}},
      {"Billboard_display_pixel",
       "OrvantaBillboard",
       {{"", Pat(13, 9, 7)}, {"DisplayPixel", Pat(3, 4, 8)}},
       {{"MDPW", {3}}, {"MDPH", {4}}, {"0x684364D2", {0}}},
       {"MDPW=3", "MDPH=4", "0x684364D2=0"}},
      {"Multitude_crowd",
       "OrvantaMultitude",
       {{"", Pat(40, 30, 9)},
        {"Crowd",
         [](Depth d) {
           return Dots(40, 30, d,
                       {{5, 5, kRed}, {20, 10, kGreen}, {33, 25, kRed}, {0, 29, kGreen}, {39, 0, kRed}});
         }},
        {"Folk 1", Pat(7, 9, 10)},
        {"Folk 2", Pat(6, 4, 11)}},
       {{"CM1R", kRed}, {"CM2R", kGreen}},
       {"CM1R=1", "CM1G=0", "CM1B=0", "CM1A=1", "CM2R=0", "CM2G=1", "CM2B=0", "CM2A=1"}},
      {"Mosaic_tiles",
       "OrvantaMosaic",
       {{"", Pat(45, 33, 12)},
        {"Tile 1 (required)", Pat(8, 6, 13)},
        {"Tile 2", Pat(8, 6, 14)},
        {"Tile 3", Pat(5, 4, 15)}},
       {{"SEED", {7}}, {"PRBH", {3}}, {"0x4C4F5400", {1}}, {"0x414F5800", {0.25}}},
       {"SEED=7", "PRBH=3", "0x4C4F5400=1", "0x414F5800=0.25"}},
      {"Scope_parade",
       "OrvantaScope",
       {{"", Pat(47, 31, 16)}},
       {{"TYPE", {4}}, {"ROUN", {0.5}}},
       {"TYPE=4", "ROUN=0.5"}},
  };
}

// gtest names a failing case by its name.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Depth kDepths[] = {Depth::Byte, Depth::Short, Depth::Float};

std::string Messages(Host& host) {
  std::string all;
  for (const Message& m : host.messages) all += m.text + "\n";
  return all;
}

std::vector<std::pair<std::string, Picture>> Pictures(const Case& c, Depth d) {
  std::vector<std::pair<std::string, Picture>> pictures;
  for (const Input& in : c.inputs) pictures.emplace_back(in.label, in.picture(d));
  return pictures;
}

// The case rendered through the bundle by host: every input placed at origin, output of layout.
Picture RenderThroughBundle(Host& host, const Case& c, Depth d, Layout layout, OfxPointI origin,
                            OfxStatus* status = nullptr) {
  OfxPlugin* p = host.ByName(c.tool);
  const std::string context = host.Descriptor(p).AllStrings(kOfxImageEffectPropSupportedContexts).front();
  Instance inst(host, p, context);
  for (const auto& [label, picture] : Pictures(c, d)) {
    const std::string clip = label.empty() ? std::string("Source") : inst.ClipLabelled(label)->name;
    inst.Connect(clip, picture, layout, origin.x, origin.y);
  }
  for (const auto& [name, value] : c.params) EXPECT_EQ(inst.Set(name, value), kOfxStatOK) << name;
  const OfxStatus s = inst.Render(0.0, {1, 1}, layout, d);
  if (status) *status = s;
  EXPECT_EQ(s, kOfxStatOK);
  // The output lies where the main input lies.
  EXPECT_EQ(inst.outputBounds.x1, origin.x);
  EXPECT_EQ(inst.outputBounds.y1, origin.y);
  return inst.output ? inst.output->Read() : Picture{};
}

// What the bundle must give: the command's render, or where the command is not built, the
// bundle's own render on the runtime's threads with plain rows.
std::vector<Picture> References(const Case& c) {
  std::vector<Picture> refs;
  if (HaveCommand()) {
    Scratch dir(c.name);
    std::vector<std::future<CommandRender>> runs;
    for (size_t i = 0; i < std::size(kDepths); ++i) {
      const std::string folder = dir.Path() + "/" + std::to_string(i);
      std::filesystem::create_directories(folder);
      runs.push_back(std::async(std::launch::async, [&, folder, i] {
        return RenderWithCommand(folder, c.tool, Pictures(c, kDepths[i]), c.settings);
      }));
    }
    for (auto& run : runs) {
      CommandRender r = run.get();
      EXPECT_EQ(r.status, 0) << r.error;
      refs.push_back(r.result);
    }
    return refs;
  }
  HostOptions pool;
  pool.multiThread = false;
  Host host(pool);
  host.Open(BundlePath());
  for (Depth d : kDepths) refs.push_back(RenderThroughBundle(host, c, d, Layout::BottomUp, {0, 0}));
  return refs;
}

class Renders : public ::testing::TestWithParam<Case> {};

TEST_P(Renders, EqualTheCommandByteForByte) {
  const Case& c = GetParam();
  const std::vector<Picture> refs = References(c);
  for (bool hostThreads : {true, false}) {
    SCOPED_TRACE(hostThreads ? "on the host's threads" : "on the runtime's threads");
    HostOptions options;
    options.multiThread = hostThreads;
    Host host(options);
    host.Open(BundlePath());
    for (size_t i = 0; i < std::size(kDepths); ++i) {
      SCOPED_TRACE(DepthName(kDepths[i]));
      ASSERT_GT(refs.at(i).width, 0);
      EXPECT_TRUE(SamePixels(refs[i], RenderThroughBundle(host, c, kDepths[i], Layout::BottomUp, {0, 0})));
      EXPECT_TRUE(
          SamePixels(refs[i], RenderThroughBundle(host, c, kDepths[i], Layout::NegativeStride, {7, -5})));
      // Samples not aligned are read through the access routines.
      const Layout third = hostThreads ? Layout::OddAddress : Layout::Packed;
      EXPECT_TRUE(SamePixels(refs[i], RenderThroughBundle(host, c, kDepths[i], third, {0, 0})));
    }
    for (const Message& m : host.messages) ADD_FAILURE() << m.type << ": " << m.text;
    EXPECT_EQ(host.multiThreadCalls.load() > 0, hostThreads);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryTool, Renders, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// At half scale the tools render the half-size pictures the host gives them, with controls
// counted in pixels unchanged: the result is the full-scale render of those pictures, and the
// region of definition at that scale is its size in canonical coordinates.
class ProxyRenders : public ::testing::TestWithParam<Case> {};

TEST_P(ProxyRenders, RenderTheProxyPicturesAsTheyAre) {
  const Case& c = GetParam();
  const Depth d = Depth::Short;
  Case proxy = c;
  for (Input& in : proxy.inputs) {
    Make full = in.picture;
    in.picture = [full](Depth depth) { return Halved(full(depth)); };
  }
  Picture expected;
  if (HaveCommand()) {
    Scratch dir(c.name + "-proxy");
    CommandRender r = RenderWithCommand(dir.Path(), c.tool, Pictures(proxy, d), c.settings);
    ASSERT_EQ(r.status, 0) << r.error;
    expected = r.result;
  }
  Host host;
  host.Open(BundlePath());
  if (!HaveCommand()) expected = RenderThroughBundle(host, proxy, d, Layout::BottomUp, {0, 0});
  OfxPlugin* p = host.ByName(c.tool);
  Instance inst(host, p, host.Descriptor(p).AllStrings(kOfxImageEffectPropSupportedContexts).front());
  for (const Input& in : c.inputs) {
    const Picture full = in.picture(d);
    const std::string clip = in.label.empty() ? std::string("Source") : inst.ClipLabelled(in.label)->name;
    inst.Connect(clip, Halved(full));
    inst.FindClip(clip)->rod =
        OfxRectD{0, 0, double(full.width), double(full.height)};  // canonical: full size
  }
  for (const auto& [name, value] : c.params) inst.Set(name, value);
  OfxRectD rod{};
  ASSERT_EQ(inst.RegionOfDefinition(0.0, {0.5, 0.5}, rod), kOfxStatOK);
  EXPECT_EQ(rod.x2 - rod.x1, expected.width / 0.5);
  EXPECT_EQ(rod.y2 - rod.y1, expected.height / 0.5);
  ASSERT_EQ(inst.Render(0.0, {0.5, 0.5}, Layout::BottomUp, d), kOfxStatOK) << Messages(host);
  EXPECT_TRUE(SamePixels(expected, inst.output->Read()));
}

INSTANTIATE_TEST_SUITE_P(SizeChangingTools, ProxyRenders,
                         ::testing::Values(Cases()[0], Cases()[1], Cases()[5]),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace orvanta::ofxtest
