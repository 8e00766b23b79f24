// OrvantaToneGate loaded as a plug-in: its declarations and show/hide rules as the host sees
// them, and the eight transfer curves on exact values in both pixel forms.
#include <cmath>
#include <cstring>
#include <limits>

#include "support.h"

namespace orvanta {
namespace {

constexpr uint32_t kRed = 0x684364D2, kGreen = 0x68436EC7, kBlue = 0x68436CC2, kAlpha = 0x68436CC1;
constexpr uint32_t kFilter = FourCC("FLTO"), kLevel = FourCC("LUMG"), kStart = FourCC("LUML"),
                   kEnd = FourCC("LUMH"), kSmooth = 0x534D5300;
enum { kLowCut, kHighCut, kLowBoost, kHighBoost, kInsideCut, kInsideBoost, kOutsideCut, kOutsideBoost };
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::unique_ptr<host::Node> Node() { return testing::MakeNode("OrvantaToneGate"); }

TEST(ToneGateControls, FilterTypeShowsTheLevelOrTheRegion) {
  auto node = Node();
  auto levelShown = [&] { return testing::Shown(*node, kLevel); };
  auto regionShown = [&] {
    EXPECT_EQ(testing::Shown(*node, kStart), testing::Shown(*node, kEnd));
    return testing::Shown(*node, kStart);
  };
  struct Step {
    double value;
    bool level, region;
  };
  const Step steps[] = {
      {4, false, true},  {0, true, false},   {7, false, true},
      {3, true, false},  {5, false, true},   {2.5, false, true},  // not an item: nothing changes
      {-1, false, true}, {1e9, false, true}, {kNaN, false, true},
      {1, true, false},  {6, false, true},   {8, false, true},
  };
  for (const Step& s : steps) {
    testing::Set(*node, kFilter, s.value);
    EXPECT_EQ(levelShown(), s.level) << "after " << s.value;
    EXPECT_EQ(regionShown(), s.region) << "after " << s.value;
    EXPECT_TRUE(testing::Shown(*node, kSmooth));
    EXPECT_TRUE(testing::Shown(*node, kRed));
  }
  // Other inputs never change the shown state.
  testing::Set(*node, kLevel, 4);
  EXPECT_FALSE(levelShown());
}

struct Curve {
  const char* name;
  double type, L, S, E, W;
  uint32_t depth;
  std::vector<std::pair<double, double>> values;  // input -> output, pixel units
  double tolerance = 0;
};

// Renders one row with one value per pixel in every channel and checks every channel.
void ExpectCurve(const Curve& c) {
  SCOPED_TRACE(::testing::Message() << c.name << ", depth " << c.depth);
  auto node = Node();
  testing::Set(*node, kFilter, c.type);
  testing::Set(*node, kLevel, c.L);
  testing::Set(*node, kStart, c.S);
  testing::Set(*node, kEnd, c.E);
  testing::Set(*node, kSmooth, c.W);
  const int32_t n = int32_t(c.values.size());
  auto input = host::MakeImage(n, 1, c.depth);
  for (int32_t x = 0; x < n; ++x) {
    const double v = c.values[size_t(x)].first;
    if (c.depth == DepthFloat)
      input->SetPixel(x, 0, FltPixel{float(v), float(v), float(v), float(v)});
    else
      input->SetPixel(x, 0, Pixel{uint32_t(v), uint32_t(v), uint32_t(v), uint32_t(v)});
  }
  host::Connect(node->FindInput(MainImageId), input.get());
  auto out = testing::RenderOk(*node);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->Width, n);
  ASSERT_EQ(out->Depth, c.depth);
  for (int32_t x = 0; x < n; ++x) {
    const auto [in, want] = c.values[size_t(x)];
    if (c.depth == DepthFloat) {
      const FltPixel p = testing::AtFlt(out.get(), x, 0);
      for (float got : {p.B, p.G, p.R, p.A}) {
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(got)) << in;
        else if (c.tolerance == 0 && !std::isfinite(want))
          EXPECT_EQ(got, float(want)) << in;
        else
          EXPECT_NEAR(got, want, c.tolerance + 1e-6) << in;
      }
    } else {
      const Pixel p = testing::At(out.get(), x, 0);
      for (uint32_t got : {p.B, p.G, p.R, p.A}) EXPECT_NEAR(double(got), want, c.tolerance) << in;
    }
  }
}

TEST(ToneGateRender, TransferCurvesOnExactValues) {
  const std::vector<Curve> curves = {
      {"LowCut 16-bit",
       kLowCut,
       0.5,
       0,
       1,
       0.2,
       Depth16,
       {{40000, 40000}, {30000, 25848}, {19661, 1}, {19660, 0}, {32767, 32766}, {0, 0}, {65535, 65535}}},
      {"LowBoost 16-bit",
       kLowBoost,
       0.5,
       0,
       1,
       0.2,
       Depth16,
       {{40000, 40000}, {30000, 39686}, {19661, 65533}, {19660, 65535}, {0, 65535}}},
      {"HighBoost W = 0 16-bit",
       kHighBoost,
       0.5,
       0,
       1,
       0,
       Depth16,
       {{32768, 65535}, {32767, 32767}, {65535, 65535}, {0, 0}}},
      {"HighBoost W = 0 float",
       kHighBoost,
       0.5,
       0,
       1,
       0,
       DepthFloat,
       {{0.5, 1.0}, {0.49, 0.49}, {3.0, 1.0}, {-1.0, -1.0}}},
      {"HighCut float beyond 1",
       kHighCut,
       0.5,
       0,
       1,
       0.2,
       DepthFloat,
       {{1.5, 0.0}, {0.6, 0.25}, {0.5, 0.5}, {0.3, 0.3}, {-0.5, -0.5}, {0.7, 0.0}}},
      {"InsideCut float",
       kInsideCut,
       0.5,
       0.2,
       0.8,
       0.1,
       DepthFloat,
       {{0.5, 0.0}, {0.25, 0.1}, {0.75, 0.4}, {0.2, 0.2}, {0.8, 0.8}, {0.1, 0.1}, {0.9, 0.9}}},
      {"InsideCut 16-bit ends",
       kInsideCut,
       0.5,
       0.2,
       0.8,
       0.1,
       Depth16,
       {{13107, 13107}, {52428, 52428}, {32768, 0}, {13106, 13106}}},
      {"InsideBoost float",
       kInsideBoost,
       0.5,
       0.2,
       0.8,
       0.1,
       DepthFloat,
       {{0.5, 1.0}, {0.25, 0.6}, {0.2, 0.2}, {0.8, 0.8}}},
      {"InsideBoost 16-bit ends",
       kInsideBoost,
       0.5,
       0.2,
       0.8,
       0.1,
       Depth16,
       {{13107, 13107}, {52428, 52428}, {32768, 65535}}},
      // E - S = W: the whole region is overlap and the two ramps add up to t.
      {"InsideCut overlap float",
       kInsideCut,
       0.5,
       0.4,
       0.6,
       0.2,
       DepthFloat,
       {{0.45, 0.45}, {0.5, 0.5}, {0.55, 0.55}},
       1e-6},
      {"InsideCut overlap 16-bit",
       kInsideCut,
       0.5,
       0.4,
       0.6,
       0.2,
       Depth16,
       {{27000, 27000}, {32768, 32768}, {39000, 39000}},
       1},
      // A region narrower than the band: cut keeps t where the ramps sum above it, boost caps at 1.
      {"InsideCut narrow overlap", kInsideCut, 0.5, 0.1, 0.15, 0.1, DepthFloat, {{0.125, 0.125}}},
      {"InsideBoost overlap", kInsideBoost, 0.5, 0.1, 0.15, 0.1, DepthFloat, {{0.125, 0.6875}}, 1e-6},
      {"InsideBoost overlap capped", kInsideBoost, 0.5, 0.4, 0.6, 0.2, DepthFloat, {{0.5, 1.0}}},
      {"OutsideCut float",
       kOutsideCut,
       0.5,
       0.3,
       0.7,
       0.1,
       DepthFloat,
       {{0.3, 0.3}, {0.7, 0.7}, {0.5, 0.5}, {0.1, 0.0}, {0.9, 0.0}, {0.25, 0.15}, {0.75, 0.35}}},
      {"OutsideBoost float",
       kOutsideBoost,
       0.5,
       0.3,
       0.7,
       0.1,
       DepthFloat,
       {{0.25, 0.65}, {0.1, 1.0}, {0.3, 0.3}, {0.5, 0.5}}},
      {"OutsideBoost 16-bit ends",
       kOutsideBoost,
       0.5,
       0.2,
       0.8,
       0.1,
       Depth16,
       {{13107, 13107}, {52428, 52428}, {0, 65535}, {65535, 65535}, {40000, 40000}}},
      // Start above end: inside types leave everything, outside types process everything.
      {"InsideCut S > E",
       kInsideCut,
       0.5,
       0.7,
       0.3,
       0.1,
       DepthFloat,
       {{0.5, 0.5}, {0.3, 0.3}, {0.7, 0.7}, {0.1, 0.1}, {0.95, 0.95}}},
      {"InsideBoost S > E", kInsideBoost, 0.5, 0.7, 0.3, 0.1, Depth16, {{32768, 32768}, {0, 0}}},
      {"OutsideCut S > E",
       kOutsideCut,
       0.5,
       0.7,
       0.3,
       0.1,
       DepthFloat,
       {{0.5, 0.0}, {0.3, 0.0}, {0.7, 0.0}, {0.35, 0.0}, {0.65, 0.0}}},
      {"OutsideBoost S > E", kOutsideBoost, 0.5, 0.7, 0.3, 0.1, Depth16, {{32768, 65535}, {0, 65535}}},
      // Non-finite float values: NaN passes every rule, infinities meet the far ends.
      {"LowCut non-finite", kLowCut, 0.5, 0, 1, 0.2, DepthFloat, {{kNaN, kNaN}, {kInf, kInf}, {-kInf, 0}}},
      {"HighBoost non-finite",
       kHighBoost,
       0.5,
       0,
       1,
       0.2,
       DepthFloat,
       {{kNaN, kNaN}, {kInf, 1.0}, {-kInf, -kInf}}},
      {"InsideCut non-finite",
       kInsideCut,
       0.5,
       0.2,
       0.8,
       0.1,
       DepthFloat,
       {{kNaN, kNaN}, {kInf, kInf}, {-kInf, -kInf}}},
      {"OutsideBoost non-finite",
       kOutsideBoost,
       0.5,
       0.2,
       0.8,
       0.1,
       DepthFloat,
       {{kNaN, kNaN}, {kInf, 1.0}, {-kInf, 1.0}}},
      // Filter values the combo does not list: out of 0..7 leaves the image, others truncate.
      {"type 8", 8, 0.5, 0, 1, 0.2, Depth16, {{0, 0}, {30000, 30000}}},
      {"type -2", -2, 0.5, 0, 1, 0.2, DepthFloat, {{0.0, 0.0}, {kNaN, kNaN}}},
      {"type 1e9", 1e9, 0.5, 0, 1, 0.2, Depth16, {{0, 0}}},
      {"type 0.5 is lowcut", 0.5, 0.5, 0, 1, 0.2, Depth16, {{30000, 25848}}},
      {"type NaN is lowcut", kNaN, 0.5, 0, 1, 0.2, Depth16, {{30000, 25848}}},
      {"type 3.7 is highboost", 3.7, 0.5, 0, 1, 0, Depth16, {{32768, 65535}}},
      // Controls driven outside their ranges still give defined results.
      {"NaN level", kLowCut, kNaN, 0, 1, 0.2, Depth16, {{30000, 30000}, {0, 0}}},
      {"negative smoothness", kLowCut, 0.5, 0, 1, -0.2, Depth16, {{30000, 0}, {40000, 40000}}},
      {"8-bit through 16-bit",
       kHighBoost,
       0.5,
       0,
       1,
       0,
       Depth8,
       {{128 * 257, 65535}, {127 * 257, 127 * 257}}},
  };
  for (const Curve& c : curves) ExpectCurve(c);
}

TEST(ToneGateRender, DisabledChannelsAreCopiedBitForBit) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    for (int type = kLowCut; type <= kOutsideBoost; ++type) {
      SCOPED_TRACE(::testing::Message() << "depth " << depth << " type " << type);
      auto node = Node();
      testing::Set(*node, kFilter, type);
      testing::Set(*node, kRed, 0);
      testing::Set(*node, kAlpha, 0.5);  // truncates to 0
      testing::Set(*node, kLevel, 0.9);
      testing::Set(*node, kStart, 0.8);
      testing::Set(*node, kEnd, 0.9);
      auto input = host::MakeImage(2, 1, depth);
      if (depth == DepthFloat) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        input->SetPixel(0, 0, FltPixel{0.3f, 0.3f, nan, 1e30f});
        input->SetPixel(1, 0, FltPixel{0.3f, 0.3f, -0.123456f, 0.3f});
      } else {
        input->SetPixel(0, 0, Pixel{20000, 20000, 20000, 12345});
        input->SetPixel(1, 0, Pixel{20000, 20000, 1, 65535});
      }
      host::Connect(node->FindInput(MainImageId), input.get());
      auto out = testing::RenderOk(*node);
      const size_t bytes = out->BytesPerPixel / 4;
      for (int32_t x = 0; x < 2; ++x) {
        const uint8_t* a = host::RowBytes(out.get(), 0) + x * out->BytesPerPixel;
        const uint8_t* b = host::RowBytes(input.get(), 0) + x * out->BytesPerPixel;
        EXPECT_EQ(std::memcmp(a + 2 * bytes, b + 2 * bytes, 2 * bytes), 0) << "red and alpha at " << x;
      }
      // Blue and green are filtered alike; below the level and outside the region, the low and
      // outside types change them.
      const FltPixel p = testing::AtFlt(out.get(), 1, 0);
      EXPECT_EQ(p.B, p.G);
      if (type == kLowCut || type == kLowBoost || type >= kOutsideCut) {
        EXPECT_NE(p.B, testing::AtFlt(input.get(), 1, 0).B);
      }
    }
  }
}

TEST(ToneGateRender, SameBytesForOneAndSeveralWorkersAndSizeKept) {
  for (uint32_t depth : {Depth16, DepthFloat, Depth8})
    for (int type : {kLowBoost, kInsideCut, kOutsideBoost}) {
      auto node = Node();
      testing::Set(*node, kFilter, type);
      SCOPED_TRACE(::testing::Message() << "depth " << depth << " type " << type);
      testing::Set(*node, kLevel, 0.005);
      testing::Set(*node, kStart, 0.001);
      testing::Set(*node, kEnd, 0.012);
      testing::Set(*node, kSmooth, 0.002);
      auto input = testing::Numbered(23, 31, depth);
      host::Connect(node->FindInput(MainImageId), input.get());
      auto one = testing::WithThreads(1, [&] { return testing::RenderOk(*node); });
      auto many = testing::WithThreads(4, [&] { return testing::RenderOk(*node); });
      ASSERT_EQ(one->Width, 23);
      ASSERT_EQ(one->Height, 31);
      EXPECT_EQ(one->Depth, depth);
      EXPECT_TRUE(testing::SameBytes(one.get(), many.get()));
      EXPECT_FALSE(testing::SameBytes(one.get(), input.get())) << "the curve should change something";
    }
  auto node = Node();
  auto empty = host::MakeImage(0, 4, DepthFloat);
  host::Connect(node->FindInput(MainImageId), empty.get());
  EXPECT_EQ(testing::RenderOk(*node)->Height, 4);
}

// The table loops for the host's own integer storage and the general cursor path agree on every
// word, and the float loop on every special value, for every curve.
TEST(ToneGateRender, HostStorageAndForeignImagesAgreeOnEveryValue) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    auto input = testing::EveryValue(depth);
    auto foreign = testing::CustomStorageCopy(input.get());
    // An odd width too, so that float rows end on a single pixel.
    auto odd = host::MakeImage(input->Width - 1, input->Height, depth);
    for (int32_t y = 0; y < odd->Height; ++y)
      std::memcpy(odd->RowTable[y], input->RowTable[y], size_t(odd->Width) * odd->BytesPerPixel);
    auto oddForeign = testing::CustomStorageCopy(odd.get());
    // Rows of several hundred pixels, each value three times over, so that rows are worked in
    // more than one round.
    auto wide = host::MakeImage(input->Width * 3 - 3, input->Height, depth);
    const size_t bpp = wide->BytesPerPixel;
    for (int32_t y = 0; y < wide->Height; ++y)
      for (int32_t x = 0; x < wide->Width; ++x)
        std::memcpy(wide->RowTable[y] + size_t(x) * bpp, input->RowTable[y] + size_t(x % input->Width) * bpp,
                    bpp);
    auto wideForeign = testing::CustomStorageCopy(wide.get());
    // level, region start, region end, smoothness: ramps that overlap (inside cut only), a
    // region that ends before it starts, no bands at all (with thresholds just below and just
    // above the nearest float), and band edges that floats hold exactly (the values list them
    // and their neighbours).
    const double settings[6][4] = {
        {0.4, 0.3, 0.6, 0.1},  {0.6, 0.45, 0.7, 0.1},  // band edges just above a float
        {0.5, 0.7, 0.3, 0.05}, {0.6, 0.2, 0.8, 0.0},  {0.7, 0.45, 0.7, 0.0}, {0.5, 0.25, 0.75, 0.125}};
    for (int32_t type = kLowCut; type <= kOutsideBoost + 1; ++type)
      for (int32_t k = 0; k < 6; ++k) {
        SCOPED_TRACE(::testing::Message() << "type " << type << ", depth " << depth << ", setting " << k);
        auto node = Node();
        testing::Set(*node, kFilter, type);
        testing::Set(*node, kLevel, settings[k][0]);
        testing::Set(*node, kStart, settings[k][1]);
        testing::Set(*node, kEnd, k == 0 && type == kInsideCut ? 0.45 : settings[k][2]);
        testing::Set(*node, kSmooth, settings[k][3]);
        testing::Set(*node, kGreen, 0);
        auto native = testing::RenderOn(*node, input.get());
        auto general = testing::RenderOn(*node, foreign.get());
        ASSERT_TRUE(native && general);
        EXPECT_TRUE(testing::SameBytes(native.get(), general.get()));
        EXPECT_TRUE(testing::SameBytes(testing::RenderOn(*node, odd.get()).get(),
                                       testing::RenderOn(*node, oddForeign.get()).get()));
        EXPECT_TRUE(testing::SameBytes(testing::RenderOn(*node, wide.get()).get(),
                                       testing::RenderOn(*node, wideForeign.get()).get()));
        // Every listed type changes something; the unlisted one changes nothing.
        if (k == 0) {
          EXPECT_EQ(testing::SameBytes(native.get(), input.get()), type > kOutsideBoost);
        }
      }
  }
}

// A node keeps its integer tables while the settings stay the same: after every change it
// renders what a new node with those settings renders.
TEST(ToneGateRender, ANodeRenderedAgainAfterChangesMatchesANewNode) {
  const std::vector<testing::ControlStep> steps = {
      {kFilter, kInsideCut}, {kStart, 0.2},  {kEnd, 0.8}, {kSmooth, 0.1},
      {kSmooth, 0.1},        {kSmooth, 0.2}, {kRed, 0},   {kFilter, kLowBoost},
      {kLevel, 0.3},         {kLevel, 0.3},  {kRed, 1},   {kFilter, kInsideCut}};
  for (uint32_t depth : {Depth8, Depth16}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    testing::ExpectRendersLikeNewNodes("OrvantaToneGate", steps, testing::EveryValue(depth).get());
  }
}

}  // namespace
}  // namespace orvanta
