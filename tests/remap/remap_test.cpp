// OrvantaRemap loaded as a plug-in: its declarations and notifications as the host sees them,
// and the linear map with its inclusive ends and its non-input results in both pixel forms.
#include <cmath>
#include <cstring>
#include <limits>

#include "support.h"

namespace orvanta {
namespace {

constexpr uint32_t kRed = 0x684364D2, kGreen = 0x68436EC7, kBlue = 0x68436CC2, kAlpha = 0x68436CC1;
constexpr uint32_t kRanges = 0x43520000, kNonInput = FourCC("OOIO");
constexpr uint32_t kLuma[4] = {FourCC("ICLR"), FourCC("ICLG"), FourCC("ICLB"), FourCC("ICLA")};
constexpr uint32_t kRegion[4] = {FourCC("SORL"), FourCC("SORH"), FourCC("SOTL"), FourCC("SOTH")};
constexpr uint32_t kHidden[4] = {FourCC("AORL"), FourCC("AORH"), FourCC("AOTL"), FourCC("AOTH")};
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::unique_ptr<host::Node> Node() { return testing::MakeNode("OrvantaRemap"); }

void SetRegion(host::Node& n, double inStart, double inEnd, double outStart, double outEnd) {
  const double v[4] = {inStart, inEnd, outStart, outEnd};
  for (int i = 0; i < 4; ++i) testing::Set(n, kRegion[i], v[i]);
}

TEST(RemapControls, ColorizeShowsTheLumaColour) {
  auto node = Node();
  auto lumaShown = [&] {
    for (int i = 1; i < 4; ++i) EXPECT_EQ(testing::Shown(*node, kLuma[i]), testing::Shown(*node, kLuma[0]));
    return testing::Shown(*node, kLuma[0]);
  };
  const std::pair<double, bool> steps[] = {{1, true},  {0.5, true}, {2, true}, {kNaN, true},
                                           {0, false}, {-1, false}, {1, true}, {0, false}};
  for (auto [value, shown] : steps) {
    testing::Set(*node, kNonInput, value);
    EXPECT_EQ(lumaShown(), shown) << "after " << value;
  }
}

TEST(RemapControls, RangesRestoresTheRememberedRegionBothWays) {
  auto node = Node();
  auto expectRegion = [&](double high, std::vector<double> values) {
    for (int i = 0; i < 4; ++i) {
      const host::ControlDescription& d = host::Describe(node->FindInput(kRegion[i]));
      EXPECT_EQ(d.rangeLow, 0.0);
      EXPECT_EQ(d.rangeHigh, high);
      EXPECT_EQ(d.limitLow, 0.0);
      EXPECT_EQ(d.limitHigh, high);
      EXPECT_TRUE(d.shown);
      EXPECT_EQ(testing::Get(*node, kRegion[i]), values[size_t(i)]) << i;
      EXPECT_FALSE(testing::Shown(*node, kHidden[i]));
    }
  };
  auto input = testing::Flat(2, 2, Depth16, Pixel{1000, 2000, 3000, 4000});
  host::Connect(node->FindInput(MainImageId), input.get());

  // Before any render the remembered region is the default one.
  SetRegion(*node, 0.3, 0.4, 0.5, 0.6);
  testing::Set(*node, kRanges, 1);
  expectRegion(5.0, {0, 1, 0, 1});

  // A render under "0.0 to 1.0" remembers; changes made afterwards are not kept.
  testing::Set(*node, kRanges, 0);
  SetRegion(*node, 0.1, 0.9, 0.2, 0.8);
  ASSERT_TRUE(node->Render(0).ok());
  SetRegion(*node, 0.15, 0.95, 0.25, 0.85);
  node->FindInput(kHidden[2])->SetAttrs(TagList{{InShown, 1}});  // shown from elsewhere
  testing::Set(*node, kRanges, 1);
  expectRegion(5.0, {0.1, 0.9, 0.2, 0.8});

  // Renders under "0.0 to 5.0" are not remembered; switching back restores the same region.
  SetRegion(*node, 2, 4, 1, 5);
  ASSERT_TRUE(node->Render(0).ok());
  testing::Set(*node, kRanges, 0);
  expectRegion(1.0, {0.1, 0.9, 0.2, 0.8});

  // Values that no item has change nothing.
  SetRegion(*node, 0.4, 0.6, 0.4, 0.6);
  for (double v : {0.5, 2.0, -1.0, 1e9, kNaN}) {
    testing::Set(*node, kRanges, v);
    expectRegion(1.0, {0.4, 0.6, 0.4, 0.6});
  }
  // A "Ranges" keyframed between its items truncates to the first one, which remembers.
  ASSERT_TRUE(node->Render(0).ok());  // rangeMode 0 (value NaN)
  testing::Set(*node, kRanges, 1);
  expectRegion(5.0, {0.4, 0.6, 0.4, 0.6});
}

struct Map {
  const char* name;
  double inStart, inEnd, outStart, outEnd, nonInput;
  double luma[4];  // red, green, blue, alpha
  uint32_t depth;
  std::vector<std::pair<double, double>> values;        // input -> expected in every channel
  std::vector<std::pair<double, Pixel>> coloured = {};  // input -> (B, G, R, A) in 16-bit units
};

void ExpectMap(const Map& m) {
  SCOPED_TRACE(::testing::Message() << m.name << ", depth " << m.depth);
  auto node = Node();
  if (m.outEnd > 1.0 || m.inEnd > 1.0) testing::Set(*node, kRanges, 1);
  SetRegion(*node, m.inStart, m.inEnd, m.outStart, m.outEnd);
  testing::Set(*node, kNonInput, m.nonInput);
  for (int i = 0; i < 4; ++i) testing::Set(*node, kLuma[i], m.luma[i]);
  std::vector<double> all;
  for (auto& v : m.values) all.push_back(v.first);
  for (auto& v : m.coloured) all.push_back(v.first);
  const int32_t n = int32_t(all.size());
  auto input = host::MakeImage(n, 1, m.depth);
  for (int32_t x = 0; x < n; ++x) {
    const double v = all[size_t(x)];
    if (m.depth == DepthFloat)
      input->SetPixel(x, 0, FltPixel{float(v), float(v), float(v), float(v)});
    else
      input->SetPixel(x, 0, Pixel{uint32_t(v), uint32_t(v), uint32_t(v), uint32_t(v)});
  }
  host::Connect(node->FindInput(MainImageId), input.get());
  auto out = testing::RenderOk(*node);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->Width, n);
  ASSERT_EQ(out->Depth, m.depth);
  for (int32_t x = 0; x < int32_t(m.values.size()); ++x) {
    const auto [in, want] = m.values[size_t(x)];
    if (m.depth == DepthFloat) {
      const FltPixel p = testing::AtFlt(out.get(), x, 0);
      for (float got : {p.B, p.G, p.R, p.A}) {
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(got)) << in;
        else if (!std::isfinite(want))
          EXPECT_EQ(got, float(want)) << in;
        else
          EXPECT_NEAR(got, want, 1e-6) << in;
      }
    } else {
      EXPECT_EQ(testing::At(out.get(), x, 0),
                (Pixel{uint32_t(want), uint32_t(want), uint32_t(want), uint32_t(want)}))
          << in;
    }
  }
  for (size_t k = 0; k < m.coloured.size(); ++k) {
    const int32_t x = int32_t(m.values.size() + k);
    EXPECT_EQ(testing::At(out.get(), x, 0), m.coloured[k].second) << m.coloured[k].first;
  }
}

TEST(RemapRender, LinearMapInclusiveEndsAndNonInputResults) {
  const std::vector<Map> maps = {
      {"defaults 16-bit",
       0,
       1,
       0,
       1,
       0,
       {0, 0, 0, 1},
       Depth16,
       {{0, 0}, {1, 1}, {30000, 30000}, {65534, 65534}, {65535, 65535}}},
      {"defaults float",
       0,
       1,
       0,
       1,
       0,
       {0, 0, 0, 1},
       DepthFloat,
       {{0.1234567, 0.1234567}, {1.0, 1.0}, {0.0, 0.0}, {1.5, 1.5}, {-0.25, -0.25}}},
      {"0.25..0.75 onto 0..1",
       0.25,
       0.75,
       0,
       1,
       0,
       {0, 0, 0, 1},
       Depth16,
       {{40000, 47232}, {49151, 65534}, {49152, 49152}, {16383, 16383}, {16384, 0}, {0, 0}, {65535, 65535}}},
      {"0.25..0.75 ends, float",
       0.25,
       0.75,
       0.1,
       0.9,
       0,
       {0, 0, 0, 1},
       DepthFloat,
       {{0.25, 0.1}, {0.75, 0.9}, {0.5, 0.5}, {0.2, 0.2}, {0.8, 0.8}}},
      {"Colorize float",
       0.25,
       0.75,
       0,
       1,
       1,
       {1, 0, 0.5, 1},
       DepthFloat,
       {{0.5, 0.5}, {0.25, 0.0}, {0.75, 1.0}}},
      {"Colorize 16-bit",
       0.25,
       0.75,
       0,
       1,
       1,
       {1, 0, 0.5, 1},
       Depth16,
       {{40000, 47232}},
       {{10, Pixel{32767, 0, 65535, 65535}}, {60000, Pixel{32767, 0, 65535, 65535}}}},
      {"zero-width region, float",
       0.5,
       0.5,
       0.2,
       0.9,
       0,
       {0, 0, 0, 1},
       DepthFloat,
       {{0.5, 0.2}, {0.25, 0.25}, {0.75, 0.75}, {0.5000001, 0.5000001}}},
      {"zero-width region, 16-bit",
       0.5,
       0.5,
       0.2,
       0.9,
       1,
       {0.25, 0.25, 0.25, 0.25},
       Depth16,
       {{32767, 16383}, {32768, 16383}, {0, 16383}}},
      {"backwards input region", 0.75, 0.25, 0, 1, 0, {0, 0, 0, 1}, DepthFloat, {{0.5, 0.5}, {0.25, 0.25}}},
      {"backwards output region", 0, 1, 1, 0, 0, {0, 0, 0, 1}, DepthFloat, {{0.25, 0.75}, {1.0, 0.0}}},
      {"backwards output, 16-bit", 0, 1, 1, 0, 0, {0, 0, 0, 1}, Depth16, {{0, 65535}, {65535, 0}}},
      // "0.0 to 5.0": floats above 1 are kept, 16-bit words saturate in the store.
      {"output to 5, float", 0, 1, 0, 5, 0, {0, 0, 0, 1}, DepthFloat, {{0.5, 2.5}, {1.0, 5.0}}},
      {"output to 5, 16-bit", 0, 1, 0, 5, 0, {0, 0, 0, 1}, Depth16, {{6553, 32765}, {20000, 65535}}},
      {"input to 5, float", 0, 5, 0, 1, 0, {0, 0, 0, 1}, DepthFloat, {{2.5, 0.5}, {6.0, 6.0}}},
      // "Non Input Values" the combo does not list: 0.5 and NaN truncate to "Keep Luminance",
      // 1.7 to "Colorize"; anything else writes 0.
      {"non-input 0.5", 0.25, 0.75, 0, 1, 0.5, {1, 1, 1, 1}, DepthFloat, {{0.1, 0.1}}},
      {"non-input NaN", 0.25, 0.75, 0, 1, kNaN, {1, 1, 1, 1}, DepthFloat, {{0.1, 0.1}}},
      {"non-input 1.7", 0.25, 0.75, 0, 1, 1.7, {1, 1, 1, 1}, DepthFloat, {{0.1, 1.0}}},
      {"non-input 2", 0.25, 0.75, 0, 1, 2, {1, 1, 1, 1}, DepthFloat, {{0.1, 0.0}, {0.5, 0.5}}},
      {"non-input -1", 0.25, 0.75, 0, 1, -1, {1, 1, 1, 1}, Depth16, {{100, 0}, {32768, 32768}}},
      {"non-input 1e9", 0.25, 0.75, 0, 1, 1e9, {1, 1, 1, 1}, Depth16, {{100, 0}}},
      // Non-finite pixels are outside every region; non-finite controls give defined results.
      {"non-finite pixels, keep",
       0,
       1,
       0,
       1,
       0,
       {0, 0, 0, 1},
       DepthFloat,
       {{kNaN, kNaN}, {HUGE_VAL, HUGE_VAL}, {-HUGE_VAL, -HUGE_VAL}}},
      {"non-finite pixels, colorize",
       0,
       1,
       0,
       1,
       1,
       {0.5, 0.5, 0.5, 0.5},
       DepthFloat,
       {{kNaN, 0.5}, {HUGE_VAL, 0.5}}},
      {"NaN region", kNaN, 1, 0, 1, 1, {0.5, 0.5, 0.5, 0.5}, Depth16, {{100, 32767}}},
      {"NaN output end", 0, 1, 0, kNaN, 0, {0, 0, 0, 1}, Depth16, {{100, 0}}},
  };
  for (const Map& m : maps) ExpectMap(m);
}

TEST(RemapRender, DisabledChannelsAreCopiedBitForBit) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    SCOPED_TRACE(depth);
    auto node = Node();
    SetRegion(*node, 0.0, 1.0, 0.5, 0.5);  // every enabled value in 0..1 becomes 0.5
    testing::Set(*node, kNonInput, 1);
    testing::Set(*node, kGreen, 0);
    testing::Set(*node, kAlpha, 0.9);  // truncates to 0
    auto input = host::MakeImage(1, 1, depth);
    if (depth == DepthFloat)
      input->SetPixel(0, 0, FltPixel{0.3f, std::numeric_limits<float>::quiet_NaN(), 0.7f, -3.0f});
    else
      input->SetPixel(0, 0, Pixel{1000, 2000, 3000, 65535});
    host::Connect(node->FindInput(MainImageId), input.get());
    auto out = testing::RenderOk(*node);
    const size_t c = out->BytesPerPixel / 4;
    const uint8_t* a = host::RowBytes(out.get(), 0);
    const uint8_t* b = host::RowBytes(input.get(), 0);
    EXPECT_EQ(std::memcmp(a + c, b + c, c), 0) << "green";
    EXPECT_EQ(std::memcmp(a + 3 * c, b + 3 * c, c), 0) << "alpha";
    const FltPixel p = testing::AtFlt(out.get(), 0, 0);
    EXPECT_NEAR(p.B, 0.5, 1e-4);
    EXPECT_NEAR(p.R, 0.5, 1e-4);
  }
}

TEST(RemapRender, SameBytesForOneAndSeveralWorkers) {
  for (uint32_t depth : {Depth16, DepthFloat, Depth8}) {
    auto node = Node();
    SetRegion(*node, 0.001, 0.008, 0.3, 0.9);
    testing::Set(*node, kNonInput, 1);
    testing::Set(*node, kLuma[0], 0.75);
    auto input = testing::Numbered(19, 41, depth);
    host::Connect(node->FindInput(MainImageId), input.get());
    auto one = testing::WithThreads(1, [&] { return testing::RenderOk(*node); });
    auto many = testing::WithThreads(4, [&] { return testing::RenderOk(*node); });
    ASSERT_EQ(one->Width, 19);
    ASSERT_EQ(one->Height, 41);
    EXPECT_EQ(one->Depth, depth);
    EXPECT_TRUE(testing::SameBytes(one.get(), many.get()));
    EXPECT_FALSE(testing::SameBytes(one.get(), input.get()));
  }
}

// The loops for the host's own storage (tables for integer pixels, lanes for float) and the
// general cursor path agree on every value a channel can hold, for a spread of settings.
TEST(RemapRender, HostStorageAndForeignImagesAgreeOnEveryValue) {
  struct Setting {
    const char* name;
    double ranges, inStart, inEnd, outStart, outEnd, nonInput;
    bool blueOff;
  };
  const Setting settings[] = {
      {"defaults", 0, 0, 1, 0, 1, 0, false},
      {"0.25..0.75 onto 0..1", 0, 0.25, 0.75, 0, 1, 0, false},
      {"colorize, blue off", 0, 0.2, 0.6, 0.9, 0.1, 1, true},
      {"0..5, output to 4", 1, 0.1, 0.6, 0, 4, 1, false},
      {"unlisted non-input mode", 0, 0.3, 0.5, 0.5, 0.3, 2, false},
      {"zero-width region at 0.25", 0, 0.25, 0.25, 0.2, 0.9, 0, false},
  };
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    auto input = testing::EveryValue(depth);
    auto foreign = testing::CustomStorageCopy(input.get());
    // A width that leaves the last pixels of each row outside the vector steps.
    auto narrow = host::MakeImage(input->Width - 1, input->Height, depth);
    for (int32_t y = 0; y < narrow->Height; ++y)
      std::memcpy(narrow->RowTable[y], input->RowTable[y], size_t(narrow->Width) * narrow->BytesPerPixel);
    auto narrowForeign = testing::CustomStorageCopy(narrow.get());
    for (const Setting& s : settings) {
      SCOPED_TRACE(::testing::Message() << s.name << ", depth " << depth);
      auto node = Node();
      testing::Set(*node, kRanges, s.ranges);
      SetRegion(*node, s.inStart, s.inEnd, s.outStart, s.outEnd);
      testing::Set(*node, kNonInput, s.nonInput);
      const double luma[4] = {0.3, 0.0, 0.8, 0.7};
      for (int i = 0; i < 4; ++i) testing::Set(*node, kLuma[i], luma[i]);
      if (s.blueOff) testing::Set(*node, kBlue, 0);
      auto native = testing::RenderOn(*node, input.get());
      auto general = testing::RenderOn(*node, foreign.get());
      ASSERT_TRUE(native && general);
      EXPECT_TRUE(testing::SameBytes(native.get(), general.get()));
      EXPECT_TRUE(testing::SameBytes(testing::RenderOn(*node, narrow.get()).get(),
                                     testing::RenderOn(*node, narrowForeign.get()).get()));
      // Only the defaults leave integer pictures as they are (in float they turn -0 into +0), and
      // a zero-width region at 0.25 holds no word.
      const bool unchanged = depth != DepthFloat && (s.name == settings[0].name || s.inStart == s.inEnd);
      EXPECT_EQ(testing::SameBytes(native.get(), input.get()), unchanged);
    }
  }
}

// A node keeps its integer tables while the settings stay the same: after every change it
// renders what a new node with those settings renders.
TEST(RemapRender, ANodeRenderedAgainAfterChangesMatchesANewNode) {
  const std::vector<testing::ControlStep> steps = {{kRegion[0], 0.25}, {kRegion[1], 0.75}, {kRegion[1], 0.75},
                                                   {kRegion[2], 0.1},  {kNonInput, 1},     {kLuma[2], 0.4},
                                                   {kLuma[2], 0.4},    {kBlue, 0},         {kRegion[3], 0.5},
                                                   {kBlue, 1},         {kNonInput, 0},     {kRegion[0], 0.3}};
  for (uint32_t depth : {Depth8, Depth16}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    testing::ExpectRendersLikeNewNodes("OrvantaRemap", steps, testing::EveryValue(depth).get());
  }
}

}  // namespace
}  // namespace orvanta
