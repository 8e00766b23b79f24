// OrvantaRaster loaded as a plug-in: its declarations as the host parsed them, the line patterns
// of both directions in both modes and orders, the blend of crossing lines, and the sizes that
// cannot be made.
#include <cmath>
#include <cstring>
#include <limits>

#include "support.h"

namespace orvanta {
namespace {

// Inputs of one direction, by id.
struct Ids {
  uint32_t active, mode, order, show, colour, rgba[4];
};
constexpr Ids kH = {0x48536100,     FourCC("MODH"), FourCC("SCOH"),
                    FourCC("BSCH"), FourCC("CSCH"), {0x48524300, 0x48474300, 0x48424300, 0x48414300}};
constexpr Ids kV = {0x56536100,     FourCC("MODV"), FourCC("SCOV"),
                    FourCC("BSCV"), FourCC("CSCV"), {0x56524300, 0x56474300, 0x56424300, 0x56414300}};
constexpr uint32_t kBlend = FourCC("BMDV");
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::unique_ptr<host::Node> Node() { return testing::MakeNode("OrvantaRaster"); }

void SetColour(host::Node& n, const Ids& d, double r, double g, double b, double a) {
  const double v[4] = {r, g, b, a};
  for (int i = 0; i < 4; ++i) testing::Set(n, d.rgba[i], v[i]);
}

// Every pixel of row y of out equals p (16-bit values, or p / 65535 for float images).
void ExpectColourRow(const Image* out, int32_t y, Pixel p) {
  auto row = testing::Flat(out->Width, 1, out->Depth, p);
  EXPECT_TRUE(testing::SameRow(out, y, row.get(), 0)) << "row " << y << " should be " << p;
}

// A row pattern: for each output row, the input row it shows, or -1 for the colour.
struct RowCase {
  const char* name;
  double mode, order, show, colour;
  int32_t height;
  std::vector<int32_t> rows;
};

TEST(RasterRender, HorizontalPatternsInBothModesOrdersAndPixelForms) {
  const std::vector<RowCase> cases = {
      {"defaults", 0, 0, 1, 1, 6, {0, -1, 2, -1, 4, -1}},
      {"stretch 1+1", 1, 0, 1, 1, 3, {0, -1, 1, -1, 2, -1}},
      {"stretch colour first", 1, 1, 2, 1, 2, {-1, 0, 0, -1, 1, 1}},
      {"colour first 2+1", 0, 1, 2, 1, 7, {-1, 1, 2, -1, 4, 5, -1}},
      {"keep 2+3", 0, 0, 2, 3, 6, {0, 1, -1, -1, -1, 5}},
      // Combo values no item lists act as the first item.
      {"mode 0.5 keeps size", 0.5, 0, 1, 1, 4, {0, -1, 2, -1}},
      {"mode 7.3 keeps size", 7.3, 0, 1, 1, 4, {0, -1, 2, -1}},
      {"mode NaN, order -2", kNaN, -2, 1, 1, 4, {0, -1, 2, -1}},
      {"order 1e9", 0, 1e9, 1, 1, 4, {0, -1, 2, -1}},
      // Counts below 1 act as 1; a huge count keeps every row in its first run.
      {"counts 0 and NaN", 0, 0, 0, kNaN, 4, {0, -1, 2, -1}},
      {"show 1e9", 0, 0, 1e9, 1, 3, {0, 1, 2}},
  };
  for (uint32_t depth : {Depth16, DepthFloat, Depth8})
    for (const RowCase& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.name << ", depth " << depth);
      auto node = Node();
      testing::Set(*node, kH.mode, c.mode);
      testing::Set(*node, kH.order, c.order);
      testing::Set(*node, kH.show, c.show);
      testing::Set(*node, kH.colour, c.colour);
      SetColour(*node, kH, 1.0, 0.0, 1.0, 1.0);
      auto input = testing::Numbered(5, c.height, depth);
      host::Connect(node->FindInput(MainImageId), input.get());
      auto out = testing::RenderOk(*node);
      ASSERT_TRUE(out);
      ASSERT_EQ(out->Width, 5);
      ASSERT_EQ(out->Height, int32_t(c.rows.size()));
      EXPECT_EQ(out->Depth, depth);
      for (size_t y = 0; y < c.rows.size(); ++y) {
        if (c.rows[y] < 0)
          ExpectColourRow(out.get(), int32_t(y), Pixel{65535, 0, 65535, 65535});
        else
          EXPECT_TRUE(testing::SameRow(out.get(), int32_t(y), input.get(), c.rows[y]))
              << "output row " << y << " should be input row " << c.rows[y];
      }
    }
}

TEST(RasterRender, ModeKeyframedBetweenItemsKeepsTheSizeUntilItReachesStretch) {
  auto node = Node();
  host::SetKeys(node->FindInput(kH.mode), {{0.0, 0.0, 0.0}, {10.0, 1.0, 0.0}});
  auto input = testing::Numbered(3, 4, Depth16);
  host::Connect(node->FindInput(MainImageId), input.get());
  for (auto [time, height] : {std::pair{0.0, 4}, std::pair{5.0, 4}, std::pair{9.9, 4}, std::pair{10.0, 8}})
    EXPECT_EQ(testing::RenderOk(*node, time)->Height, height) << "at " << time;
}

TEST(RasterRender, DefaultColourIsTransparentBlackAndHalfTruncates) {
  auto node = Node();
  auto input = testing::Flat(3, 2, Depth16, Pixel{100, 200, 300, 400});
  host::Connect(node->FindInput(MainImageId), input.get());
  auto out = testing::RenderOk(*node);
  EXPECT_EQ(testing::At(out.get(), 2, 1), (Pixel{0, 0, 0, 0}));
  EXPECT_EQ(testing::At(out.get(), 2, 0), (Pixel{100, 200, 300, 400}));
  SetColour(*node, kH, 0.5, 0.25, 1.0, 0.5);
  out = testing::RenderOk(*node);
  EXPECT_EQ(testing::At(out.get(), 0, 1), (Pixel{65535, 16383, 32767, 32767}));
}

TEST(RasterRender, VerticalStretchAloneWidensOnly) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    SCOPED_TRACE(depth);
    auto node = Node();
    testing::Set(*node, kH.active, 0);
    testing::Set(*node, kV.active, 1);
    testing::Set(*node, kV.mode, 1);
    testing::Set(*node, kV.show, 2);
    testing::Set(*node, kV.colour, 1);
    SetColour(*node, kV, 0, 1, 0, 1);
    auto input = testing::Numbered(3, 2, depth);
    host::Connect(node->FindInput(MainImageId), input.get());
    auto out = testing::RenderOk(*node);
    ASSERT_EQ(out->Width, 9);
    ASSERT_EQ(out->Height, 2);
    for (int32_t y = 0; y < 2; ++y)
      for (int32_t x = 0; x < 9; ++x) {
        if (x % 3 == 2)
          EXPECT_EQ(testing::At(out.get(), x, y), (Pixel{0, 65535, 0, 65535})) << x << "," << y;
        else
          EXPECT_EQ(testing::AtFlt(out.get(), x, y), testing::AtFlt(input.get(), x / 3, y)) << x << "," << y;
      }
  }
}

TEST(RasterRender, BothDirectionsMapEveryPixelInEveryMode) {
  // Rows: 1 input then 2 colour; columns: colour first, 1 colour then 2 input.
  for (int stretchH = 0; stretchH < 2; ++stretchH)
    for (int stretchV = 0; stretchV < 2; ++stretchV) {
      SCOPED_TRACE(::testing::Message() << "stretch h " << stretchH << " v " << stretchV);
      auto node = Node();
      testing::Set(*node, kH.mode, stretchH);
      testing::Set(*node, kH.colour, 2);
      testing::Set(*node, kV.active, 1);
      testing::Set(*node, kV.mode, stretchV);
      testing::Set(*node, kV.order, 1);
      testing::Set(*node, kV.show, 2);
      SetColour(*node, kH, 1, 0, 0, 1);
      SetColour(*node, kV, 0, 0, 1, 1);
      auto input = testing::Numbered(4, 5, Depth16);
      host::Connect(node->FindInput(MainImageId), input.get());
      auto out = testing::RenderOk(*node);
      ASSERT_EQ(out->Width, stretchV ? 12 : 4);
      ASSERT_EQ(out->Height, stretchH ? 15 : 5);
      const Pixel h{0, 0, 65535, 65535}, v{65535, 0, 0, 65535};
      for (int32_t y = 0; y < out->Height; ++y)
        for (int32_t x = 0; x < out->Width; ++x) {
          const bool rowInput = y % 3 == 0, colInput = x % 3 != 0;
          const int32_t ix = stretchV ? x / 3 : x, iy = stretchH ? y / 3 : y;
          const Pixel want = rowInput && colInput ? testing::At(input.get(), ix, iy)
                             : colInput           ? h
                                                  : v;  // crossings: write over with the vertical
          EXPECT_EQ(testing::At(out.get(), x, y), want) << x << "," << y;
        }
    }
}

TEST(RasterRender, BlendModesAtCrossingsClampAt65535InBothForms) {
  struct Case {
    double blend;
    double h, v;  // every channel of each colour
    double want16, wantFlt;
  };
  const std::vector<Case> cases = {
      {0, 0.25, 0.5, 32767, 0.5},                                   // write over
      {1, 1.0, 1.0, 65535, 2.0},                                    // add: clamp at 65535, not at 1.0
      {1, 0.25, 0.5, 49151, 0.75},   {2, 0.25, 0.5, 0, 0},          // subtract below zero
      {2, 0.75, 0.25, 32767, 0.5},   {3, 0.5, 0.5, 16383, 0.25},    // multiply (not listed)
      {4, 0.25, 0.5, 32767, 0.5},                                   // divide (not listed)
      {4, 0.25, 0.0, 65535, 1.0},                                   // divide by 0: full scale
      {4, 0.0, 0.0, 0, 0},           {7.3, 0.25, 0.5, 32767, 0.5},  // any other value writes over
      {-2, 0.25, 0.5, 32767, 0.5},   {1e9, 0.25, 0.5, 32767, 0.5},
      {kNaN, 0.25, 0.5, 32767, 0.5}, {3.5, 0.5, 0.5, 16383, 0.25},  // a keyframe between items truncates
  };
  for (uint32_t depth : {Depth16, DepthFloat})
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message()
                   << "depth " << depth << " blend " << c.blend << " h " << c.h << " v " << c.v);
      auto node = Node();
      testing::Set(*node, kV.active, 1);
      testing::Set(*node, kBlend, c.blend);
      SetColour(*node, kH, c.h, c.h, c.h, c.h);
      SetColour(*node, kV, c.v, c.v, c.v, c.v);
      auto input = testing::Flat(2, 2, depth, Pixel{1, 2, 3, 4});
      host::Connect(node->FindInput(MainImageId), input.get());
      auto out = testing::RenderOk(*node);
      ASSERT_EQ(out->Width, 2);
      if (depth == DepthFloat) {
        const float f = float(c.wantFlt);
        EXPECT_EQ(testing::AtFlt(out.get(), 1, 1), (FltPixel{f, f, f, f}));
      } else {
        const uint32_t w = uint32_t(c.want16);
        EXPECT_EQ(testing::At(out.get(), 1, 1), (Pixel{w, w, w, w}));
      }
      EXPECT_EQ(testing::AtFlt(out.get(), 0, 0), testing::AtFlt(input.get(), 0, 0));
    }
}

TEST(RasterRender, BothOffIsAnExactCopyAndCheckboxValuesTruncate) {
  for (double off : {0.0, 0.5, -0.9, kNaN}) {
    SCOPED_TRACE(off);
    auto node = Node();
    testing::Set(*node, kH.active, off);
    testing::Set(*node, kH.mode, 1);  // ignored while the direction is off
    auto input = testing::Numbered(4, 3, DepthFloat);
    input->SetPixel(1, 1, FltPixel{std::numeric_limits<float>::quiet_NaN(), -2.5f, 7.0f, 0.0f});
    host::Connect(node->FindInput(MainImageId), input.get());
    auto out = testing::RenderOk(*node);
    EXPECT_TRUE(testing::SameBytes(out.get(), input.get()));
  }
  // Any nonzero whole value ticks the box.
  auto node = Node();
  testing::Set(*node, kH.active, 2);
  auto input = testing::Flat(1, 2, Depth16, Pixel{9, 9, 9, 9});
  host::Connect(node->FindInput(MainImageId), input.get());
  EXPECT_EQ(testing::At(testing::RenderOk(*node).get(), 0, 1), (Pixel{0, 0, 0, 0}));
}

TEST(RasterRender, NonFiniteFloatValuesStayInRangeOrPassAsInput) {
  auto node = Node();
  testing::Set(*node, kV.active, 1);
  testing::Set(*node, kBlend, 1);
  const double inf = std::numeric_limits<double>::infinity();
  SetColour(*node, kH, kNaN, inf, -inf, 0.5);
  SetColour(*node, kV, 0.0, 0.0, 0.0, kNaN);
  auto input = host::MakeImage(2, 2, DepthFloat);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  input->SetPixel(0, 0, FltPixel{nan, float(inf), -float(inf), 3.0f});
  host::Connect(node->FindInput(MainImageId), input.get());
  auto out = testing::RenderOk(*node);
  // Input pixels pass bit for bit, NaN included.
  EXPECT_TRUE(std::memcmp(host::RowBytes(out.get(), 0), host::RowBytes(input.get(), 0), 16) == 0);
  // Colours: NaN and -inf give 0, +inf gives 65535 (B, G, R, A order).
  EXPECT_EQ(testing::AtFlt(out.get(), 0, 1), (FltPixel{0.0f, 65535.0f, 0.0f, 0.5f}));
  EXPECT_EQ(testing::AtFlt(out.get(), 1, 1), (FltPixel{0.0f, 65535.0f, 0.0f, 0.0f}));
  auto in16 = testing::Flat(2, 2, Depth16, Pixel{});
  host::Connect(node->FindInput(MainImageId), in16.get());
  out = testing::RenderOk(*node);
  EXPECT_EQ(testing::At(out.get(), 0, 1), (Pixel{0, 65535, 0, 32767}));
  EXPECT_EQ(testing::At(out.get(), 1, 1), (Pixel{0, 65535, 0, 0}));
}

TEST(RasterRender, OutputsTooLargeToMakeAreClearErrors) {
  testing::LoadTool("OrvantaRaster");
  const int64_t liveBefore = host::testing::LiveObjects();
  {
    // 255 + 255 both ways on HD footage: about 4 TB.
    auto node = Node();
    for (const Ids* d : {&kH, &kV}) {
      testing::Set(*node, d->active, 1);
      testing::Set(*node, d->mode, 1);
      testing::Set(*node, d->show, 255);
      testing::Set(*node, d->colour, 255);
    }
    auto input = host::MakeImage(1920, 1080, Depth16);
    host::Connect(node->FindInput(MainImageId), input.get());
    host::RenderResult r = node->Render(0);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.image, nullptr);
    EXPECT_NE(r.error.find("OrvantaRaster: "), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("979200 x 550800"), std::string::npos) << r.error;

    // Counts driven far past their range: a side beyond 32 bits, then an area beyond any budget.
    testing::Set(*node, kH.active, 0);
    testing::Set(*node, kV.show, 1e9);
    testing::Set(*node, kV.colour, 2e9);
    auto small = host::MakeImage(3, 1, DepthFloat);
    host::Connect(node->FindInput(MainImageId), small.get());
    r = node->Render(0);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.error.find("too large"), std::string::npos) << r.error;
    testing::Set(*node, kH.active, 1);
    testing::Set(*node, kV.colour, 1e9);
    for (uint32_t id : {kH.show, kH.colour}) testing::Set(*node, id, 1e9);
    auto one = host::MakeImage(1, 1, DepthFloat);
    host::Connect(node->FindInput(MainImageId), one.get());
    r = node->Render(0);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.error.find("2000000000 x 2000000000"), std::string::npos) << r.error;
    // The node still renders once the sizes are sane again.
    testing::Set(*node, kV.active, 0);
    testing::Set(*node, kH.show, 1);
    testing::Set(*node, kH.colour, 1);
    EXPECT_EQ(testing::RenderOk(*node)->Height, 2);
  }
  EXPECT_EQ(host::testing::LiveObjects(), liveBefore);
}

TEST(RasterRender, SameBytesForOneAndSeveralWorkers) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    auto node = Node();
    testing::Set(*node, kH.mode, 1);
    testing::Set(*node, kH.show, 2);
    testing::Set(*node, kH.colour, 3);
    testing::Set(*node, kV.active, 1);
    testing::Set(*node, kV.order, 1);
    testing::Set(*node, kV.show, 3);
    testing::Set(*node, kBlend, 2);
    SetColour(*node, kH, 0.9, 0.1, 0.4, 1);
    SetColour(*node, kV, 0.3, 0.3, 0.6, 0.5);
    auto input = testing::Numbered(37, 29, depth);
    host::Connect(node->FindInput(MainImageId), input.get());
    auto one = testing::WithThreads(1, [&] { return testing::RenderOk(*node); });
    auto many = testing::WithThreads(4, [&] { return testing::RenderOk(*node); });
    ASSERT_EQ(one->Height, 29 * 5);
    EXPECT_TRUE(testing::SameBytes(one.get(), many.get()));
  }
}

TEST(RasterRender, EmptyInputsRender) {
  for (auto [w, h] : {std::pair{0, 0}, std::pair{0, 3}, std::pair{3, 0}}) {
    auto node = Node();
    testing::Set(*node, kH.mode, 1);
    testing::Set(*node, kV.active, 1);
    testing::Set(*node, kV.mode, 1);
    auto input = host::MakeImage(w, h, Depth16);
    host::Connect(node->FindInput(MainImageId), input.get());
    auto out = testing::RenderOk(*node);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Width, w * 2);
    EXPECT_EQ(out->Height, h * 2);
  }
}

// The byte path (host storage) and the general cursor path give the same bytes in every mode,
// and no output pixel is left unwritten: the result does not depend on what the image's memory
// held before.
TEST(RasterRender, BytePathGeneralPathAndUnclearedMemoryAgree) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat})
    for (int mode = 0; mode < 16; ++mode) {
      SCOPED_TRACE(::testing::Message() << "depth " << depth << " mode " << mode);
      auto node = Node();
      testing::Set(*node, kH.active, mode & 1);
      testing::Set(*node, kV.active, (mode & 2) ? 1 : 0);
      testing::Set(*node, kH.mode, (mode & 4) ? 1 : 0);
      testing::Set(*node, kV.mode, (mode & 8) ? 1 : 0);
      testing::Set(*node, kV.order, 1);
      testing::Set(*node, kV.show, 2);
      testing::Set(*node, kH.colour, 3);
      testing::Set(*node, kBlend, 1);
      SetColour(*node, kH, 0.9, 0.1, 0.4, 1);
      SetColour(*node, kV, 0.3, 0.3, 0.6, 0.5);
      auto input = testing::Numbered(23, 17, depth);
      auto foreign = testing::CustomStorageCopy(input.get());
      auto native = testing::RenderOn(*node, input.get());
      auto poisoned = testing::WithPoisonedImages([&] { return testing::RenderOk(*node); });
      auto general = testing::RenderOn(*node, foreign.get());
      ASSERT_TRUE(native && poisoned && general);
      EXPECT_TRUE(testing::SameBytes(native.get(), general.get()));
      EXPECT_TRUE(testing::SameBytes(native.get(), poisoned.get()));
    }
}

}  // namespace
}  // namespace orvanta
