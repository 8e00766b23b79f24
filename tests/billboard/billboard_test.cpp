// OrvantaBillboard loaded as a plug-in: its declarations, the display-type presets, the built-in
// display pixel patterns and the renders in both pixel forms.
#include <cmath>
#include <cstring>
#include <map>

#include "support.h"

namespace orvanta {
namespace {

constexpr uint32_t kPreset = FourCC("Type");
constexpr uint32_t kRed = 0x684364D2, kGreen = 0x68436EC7, kBlue = 0x68436CC2;
constexpr uint32_t kPixelPreset = 0x50444900;
constexpr uint32_t kRedSource = 0x43520000, kGreenSource = 0x43470000, kBlueSource = 0x43420000;
constexpr uint32_t kRedColor[3] = {0x52524E00, 0x47524E00, 0x42524E00};
constexpr uint32_t kGreenColor[3] = {0x52474E00, 0x47474E00, 0x42474E00};
constexpr uint32_t kBlueColor[3] = {0x52424E00, 0x47424E00, 0x42424E00};
constexpr uint32_t kMaxCellW = FourCC("MDPW"), kMaxCellH = FourCC("MDPH");
constexpr uint32_t kMaxOutW = FourCC("MOPW"), kMaxOutH = FourCC("MOPH");

std::unique_ptr<host::Node> Node() { return testing::MakeNode("OrvantaBillboard"); }

void Channels(host::Node& node, int r, int g, int b) {
  testing::Set(node, kRed, r);
  testing::Set(node, kGreen, g);
  testing::Set(node, kBlue, b);
}

// Every number control's value, by id.
std::map<uint32_t, double> Values(host::Node& node) {
  std::map<uint32_t, double> v;
  for (Input* in : node.Inputs())
    if (!host::Describe(in).IsImage()) v[host::Describe(in).id] = host::NumberAt(in, 0);
  return v;
}

TEST(BillboardPresets, EachColumnSetsOnlyItsControls) {
  auto node = Node();
  // Custom colours and sources that no preset should touch unless its column says so.
  for (int c = 0; c < 3; ++c) {
    testing::Set(*node, kRedColor[c], 0.1 + c * 0.1);
    testing::Set(*node, kGreenColor[c], 0.4 + c * 0.1);
    testing::Set(*node, kBlueColor[c], 0.7 + c * 0.1);
  }
  testing::Set(*node, kGreenSource, 2);
  testing::Set(*node, kBlueSource, 1);
  testing::Set(*node, kPixelPreset, 1);
  Channels(*node, 0, 1, 0);

  // "TV + Monitors": all channels, pattern 0, every source 0, custom colours untouched.
  std::map<uint32_t, double> before = Values(*node);
  testing::Set(*node, kPreset, 0);
  std::map<uint32_t, double> expect = before;
  expect[kPreset] = 0;
  expect[kRed] = expect[kGreen] = expect[kBlue] = 1;
  expect[kPixelPreset] = 0;
  expect[kRedSource] = expect[kGreenSource] = expect[kBlueSource] = 0;
  EXPECT_EQ(Values(*node), expect);

  // "Airport" after that: green and blue sources and groups stay as they were.
  testing::Set(*node, kGreenSource, 2);
  expect = Values(*node);
  testing::Set(*node, kPreset, 1);
  expect[kPreset] = 1;
  expect[kGreen] = expect[kBlue] = 0;
  expect[kPixelPreset] = 2;
  expect[kRedSource] = 3;
  expect[kRedColor[0]] = 0.75;
  expect[kRedColor[1]] = 0.9;
  expect[kRedColor[2]] = 0.0;
  EXPECT_EQ(Values(*node), expect);

  // "Diode Marquee": pure red and the diode pattern.
  testing::Set(*node, kRedSource, 1);
  Channels(*node, 0, 1, 1);
  expect = Values(*node);
  testing::Set(*node, kPreset, 2);
  expect[kPreset] = 2;
  expect[kRed] = 1;
  expect[kGreen] = expect[kBlue] = 0;
  expect[kPixelPreset] = 3;
  expect[kRedSource] = 3;
  expect[kRedColor[0]] = 1.0;
  expect[kRedColor[1]] = expect[kRedColor[2]] = 0.0;
  EXPECT_EQ(Values(*node), expect);

  // Values that are no column, and every other control, change nothing else.
  for (double v : {3.0, 0.5, -1.0}) {
    expect = Values(*node);
    testing::Set(*node, kPreset, v);
    expect[kPreset] = v;
    EXPECT_EQ(Values(*node), expect) << "Preset " << v;
  }
  for (Input* in : node->Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (d.IsImage() || d.id == kPreset) continue;
    expect = Values(*node);
    const double v = expect[d.id] == 1.0 ? 0.0 : 1.0;
    testing::Set(*node, d.id, v);
    expect[d.id] = v;
    EXPECT_EQ(Values(*node), expect) << d.label << " " << std::hex << d.id;
  }
}

// Renders a 1 x 1 input with only red ticked and "Color from Pixel", so that the output is the
// display pixel image itself: every channel of a pattern pixel carries the same value.
host::ImagePtr PatternOf(double pixelPreset, uint32_t depth, bool driven) {
  auto node = Node();
  Channels(*node, 1, 0, 0);
  testing::Set(*node, kRedSource, 2);
  if (driven)
    host::SetKeys(node->FindInput(kPixelPreset), {{0.0, pixelPreset, 0.0}});
  else
    testing::Set(*node, kPixelPreset, pixelPreset);
  auto input = testing::Flat(1, 1, depth, Pixel{1, 2, 3, 4});
  host::Connect(node->FindInput(MainImageId), input.get());
  return testing::RenderOk(*node);
}

TEST(BillboardPatterns, BuiltInPatternsPixelByPixelInBothForms) {
  // Level codes: F 1.0, H 0.8, M 0.534065, L 0.19989, 0 zero.
  struct Case {
    double preset;
    bool driven;
    int32_t w, h;
    const char* rows;  // h rows of w codes, row by row
  };
  const Case cases[] = {
      {0, false, 1, 2, "FF"},
      {1, false, 3, 3,
       "0F0"
       "FFF"
       "0F0"},
      {2, false, 4, 4,
       "LFFH"
       "LFHF"
       "LHFF"
       "0LLL"},
      {3, false, 4, 4,
       "LMHM"
       "LHFH"
       "LMHM"
       "0LLL"},
      {4, true, 1, 2, "FF"},
      {-1, true, 1, 2, "FF"},
  };
  auto level = [](char code, uint32_t& word, float& flt) {
    switch (code) {
      case 'F':
        word = 65535;
        flt = 1.0f;
        break;
      case 'H':
        word = 52428;
        flt = 0.8f;
        break;
      case 'M':
        word = 35000;
        flt = 0.534065f;
        break;
      case 'L':
        word = 13100;
        flt = 0.19989f;
        break;
      default:
        word = 0;
        flt = 0.0f;
        break;
    }
  };
  for (const Case& c : cases)
    for (uint32_t depth : {Depth16, DepthFloat}) {
      SCOPED_TRACE(::testing::Message() << "pattern " << c.preset << " depth " << depth);
      auto out = PatternOf(c.preset, depth, c.driven);
      ASSERT_TRUE(out);
      ASSERT_EQ(out->Width, c.w);
      ASSERT_EQ(out->Height, c.h);
      EXPECT_EQ(out->Depth, depth);
      for (int32_t y = 0; y < c.h; ++y)
        for (int32_t x = 0; x < c.w; ++x) {
          uint32_t word;
          float flt;
          level(c.rows[y * c.w + x], word, flt);
          if (depth == DepthFloat) {
            EXPECT_EQ(testing::AtFlt(out.get(), x, y), (FltPixel{flt, flt, flt, flt})) << x << "," << y;
          } else {
            EXPECT_EQ(testing::At(out.get(), x, y), (Pixel{word, word, word, word})) << x << "," << y;
          }
        }
    }
  float bits[] = {0.8f, 0.534065f, 0.19989f};
  uint32_t words[3];
  std::memcpy(words, bits, sizeof words);
  EXPECT_EQ(words[0], 0x3F4CCCCDu);
  EXPECT_EQ(words[1], 0x3F08B87Cu);
  EXPECT_EQ(words[2], 0x3E4CAFF7u);
}

// An input whose channels differ everywhere; green stays a multiple of 4, so that halves and
// quarters of it are whole in both pixel forms.
host::ImagePtr Colourful(int32_t w, int32_t h, uint32_t depth) {
  auto im = host::MakeImage(w, h, depth);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      Pixel p{1000u + 16 * x + y, 20000u + 16 * x + 4 * y, 40000u + 16 * x + y, 777};
      if (depth == DepthFloat)
        im->SetPixel(x, y, FltPixel{p.B / 65535.0f, p.G / 65535.0f, p.R / 65535.0f, p.A / 65535.0f});
      else
        im->SetPixel(x, y, p);
    }
  return im;
}

// Checks every output pixel against expect(x, y) in 16-bit terms (float outputs are rounded).
template <class F>
void ExpectPicture(const Image* out, int32_t w, int32_t h, F expect) {
  ASSERT_EQ(out->Width, w);
  ASSERT_EQ(out->Height, h);
  int failures = 0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      Pixel want = expect(x, y), got = testing::At(out, x, y);
      if (want != got && ++failures <= 5)
        ADD_FAILURE() << "at " << x << "," << y << ": " << got << " want " << want;
    }
  EXPECT_EQ(failures, 0);
}

TEST(BillboardRender, ChannelSlotsAndSourcesInBothForms) {
  constexpr int32_t W = 3, H = 2;
  for (uint32_t depth : {Depth16, DepthFloat}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    auto input = Colourful(W, H, depth);
    auto P = [&](int32_t x, int32_t y) { return testing::At(input.get(), x, y); };
    auto node = Node();
    host::Connect(node->FindInput(MainImageId), input.get());

    // Defaults: 3W x 2H, red, green, blue side by side, alpha from the full pattern.
    ExpectPicture(testing::RenderOk(*node).get(), 3 * W, 2 * H, [&](int32_t x, int32_t y) {
      Pixel p = P(x / 3, y / 2);
      return x % 3 == 0   ? Pixel{0, 0, p.R, 65535}
             : x % 3 == 1 ? Pixel{0, p.G, 0, 65535}
                          : Pixel{p.B, 0, 0, 65535};
    });

    // Green only: one display pixel per input pixel, carrying green alone.
    Channels(*node, 0, 1, 0);
    ExpectPicture(testing::RenderOk(*node).get(), W, 2 * H, [&](int32_t x, int32_t y) {
      return Pixel{0, P(x, y / 2).G, 0, 65535};
    });

    // Red and blue: blue directly beside red.
    Channels(*node, 1, 0, 1);
    ExpectPicture(testing::RenderOk(*node).get(), 2 * W, 2 * H, [&](int32_t x, int32_t y) {
      Pixel p = P(x / 2, y / 2);
      return x % 2 == 0 ? Pixel{0, 0, p.R, 65535} : Pixel{p.B, 0, 0, 65535};
    });

    // "Color from Input" on red, "Color from Pixel" on blue, custom colour on green.
    Channels(*node, 1, 1, 1);
    testing::Set(*node, kRedSource, 1);
    testing::Set(*node, kBlueSource, 2);
    testing::Set(*node, kGreenSource, 3);
    testing::Set(*node, kGreenColor[0], 0.5);
    testing::Set(*node, kGreenColor[1], 0.25);
    testing::Set(*node, kGreenColor[2], 1.0);
    ExpectPicture(testing::RenderOk(*node).get(), 3 * W, 2 * H, [&](int32_t x, int32_t y) {
      Pixel p = P(x / 3, y / 2);
      if (x % 3 == 0) return Pixel{p.B, p.G, p.R, 65535};
      if (x % 3 == 1) return Pixel{p.G, p.G / 4, p.G / 2, 65535};
      return Pixel{65535, 65535, 65535, 65535};
    });
  }
}

TEST(BillboardRender, AirportDiamondAndConnectedDisplayPixel) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    // "Airport" on full red: 49151 red, 58981 green, the plaquette values as alpha.
    auto node = Node();
    testing::Set(*node, kPreset, 1);
    auto red = testing::Flat(2, 1, depth, Pixel{3000, 2000, 65535, 100});
    host::Connect(node->FindInput(MainImageId), red.get());
    const uint32_t plaquette[4][4] = {{13100, 65535, 65535, 52428},
                                      {13100, 65535, 52428, 65535},
                                      {13100, 52428, 65535, 65535},
                                      {0, 13100, 13100, 13100}};
    auto airport = testing::RenderOk(*node);
    ASSERT_TRUE(airport);
    if (depth == DepthFloat) {
      // The float form keeps the products as floats: 0.75 and 0.9 of full scale.
      for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 8; ++x) {
          const uint32_t a = plaquette[y][x % 4];
          const float alpha = a == 65535 ? 1.0f : a == 52428 ? 0.8f : a == 13100 ? 0.19989f : 0.0f;
          EXPECT_EQ(testing::AtFlt(airport.get(), x, y), (FltPixel{0.0f, 0.9f, 0.75f, alpha}))
              << x << "," << y;
        }
    } else {
      ExpectPicture(airport.get(), 8, 4, [&](int32_t x, int32_t y) {
        return Pixel{0, 58981, 49151, plaquette[y][x % 4]};
      });
    }

    // Diamond: corners of every display pixel transparent, and black with "Color from Pixel".
    node = Node();
    testing::Set(*node, kPixelPreset, 1);
    testing::Set(*node, kRedSource, 2);
    auto input = Colourful(2, 2, depth);
    host::Connect(node->FindInput(MainImageId), input.get());
    auto out = testing::RenderOk(*node);
    ExpectPicture(out.get(), 18, 6, [&](int32_t x, int32_t y) {
      const bool corner = x % 3 != 1 && y % 3 != 1;
      const int32_t slot = (x / 3) % 3;
      Pixel p = testing::At(input.get(), x / 9, y / 3);
      const uint32_t a = corner ? 0 : 65535;
      if (slot == 0) return Pixel{a, a, a, a};  // red: colour from the pattern
      return slot == 1 ? Pixel{0, p.G, 0, a} : Pixel{p.B, 0, 0, a};
    });

    // A 10 x 6 display pixel image (8-bit, another depth than the input) cut to its top-left
    // 4 x 4 by the default limits; red's cell takes the image's red as alpha.
    node = Node();
    Channels(*node, 1, 0, 0);
    testing::Set(*node, kRedSource, 2);
    auto cell = host::MakeImage(10, 6, Depth8);
    for (int32_t y = 0; y < 6; ++y)
      for (int32_t x = 0; x < 10; ++x)
        cell->SetPixel(x, y, Pixel{257u * x, 257u * y, 257u * (x * 10 + y), 0});
    host::Connect(node->FindInput(MainImageId), input.get());
    host::Connect(node->FindInput(SecondImageId), cell.get());
    ExpectPicture(testing::RenderOk(*node).get(), 8, 8, [&](int32_t x, int32_t y) {
      const uint32_t i = x % 4, j = y % 4;
      return Pixel{257 * i, 257 * j, 257 * (i * 10 + j), 257 * (i * 10 + j)};
    });
    // Zero-sized display pixel images give empty cells and no crash.
    for (auto size : {std::pair{0, 0}, std::pair{0, 5}, std::pair{5, 0}}) {
      auto empty = host::MakeImage(size.first, size.second, depth);
      host::Connect(node->FindInput(SecondImageId), empty.get());
      auto none = testing::RenderOk(*node);
      ASSERT_TRUE(none);
      EXPECT_EQ(none->Width, size.first == 0 ? 0 : 2 * std::min(size.first, 4));
      EXPECT_EQ(none->Height, size.second == 0 ? 0 : 2 * std::min(size.second, 4));
    }
  }
}

TEST(BillboardRender, LimitsDropWholeCellsAndNoChannelClears) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    auto input = Colourful(3, 2, depth);
    auto node = Node();
    host::Connect(node->FindInput(MainImageId), input.get());
    testing::Set(*node, kPixelPreset, 1);  // 3 x 3 cells, 27 x 6 unlimited
    auto full = testing::RenderOk(*node);
    ASSERT_EQ(full->Width, 27);
    // 13 wide holds four whole cells; the fifth would cross the edge and is left out entirely.
    // 5 high holds only the first row of cells.
    testing::Set(*node, kMaxOutW, 13);
    testing::Set(*node, kMaxOutH, 5);
    ExpectPicture(testing::RenderOk(*node).get(), 13, 5, [&](int32_t x, int32_t y) {
      return x < 12 && y < 3 ? testing::At(full.get(), x, y) : Pixel{0, 0, 0, 0};
    });

    // No channel ticked: the input's size and format, all zero.
    Channels(*node, 0, 0, 0);
    auto none = testing::RenderOk(*node);
    EXPECT_EQ(none->Depth, depth);
    ExpectPicture(none.get(), 3, 2, [](int32_t, int32_t) { return Pixel{0, 0, 0, 0}; });
  }
}

TEST(BillboardRender, HugeProductsAreLimitedNotWrapped) {
  // 1,000,000 pixels x 1000-wide cells x 3 channels and 800,000 rows x 3000-high cells both pass
  // 2^31; the limits apply to the true size.
  auto wide = testing::Flat(1000000, 1, Depth16, Pixel{1, 2, 3, 4});
  auto wideCell = testing::Flat(1000, 2, Depth16, Pixel{65535, 65535, 65535, 65535});
  auto node = Node();
  testing::Set(*node, kMaxCellW, 65535);
  testing::Set(*node, kMaxOutW, 9500);
  host::Connect(node->FindInput(MainImageId), wide.get());
  host::Connect(node->FindInput(SecondImageId), wideCell.get());
  ExpectPicture(testing::RenderOk(*node).get(), 9500, 2, [](int32_t x, int32_t) {
    if (x >= 9000) return Pixel{0, 0, 0, 0};
    const int32_t slot = (x / 1000) % 3;
    return slot == 0 ? Pixel{0, 0, 3, 65535} : slot == 1 ? Pixel{0, 2, 0, 65535} : Pixel{1, 0, 0, 65535};
  });

  auto tall = testing::Flat(1, 800000, Depth16, Pixel{1, 2, 3, 4});
  auto tallCell = testing::Flat(1, 3000, Depth16, Pixel{65535, 65535, 65535, 65535});
  testing::Set(*node, kMaxCellH, 65535);
  host::Connect(node->FindInput(MainImageId), tall.get());
  host::Connect(node->FindInput(SecondImageId), tallCell.get());
  ExpectPicture(testing::RenderOk(*node).get(), 3, 10000, [](int32_t x, int32_t y) {
    if (y >= 9000) return Pixel{0, 0, 0, 0};
    return x == 0 ? Pixel{0, 0, 3, 65535} : x == 1 ? Pixel{0, 2, 0, 65535} : Pixel{1, 0, 0, 65535};
  });
}

TEST(BillboardRender, OverBudgetOutputIsAnErrorAndLeaksNothing) {
  auto input = testing::Flat(2000, 200, Depth16, Pixel{1, 2, 3, 4});  // made before the budget drops
  auto node = Node();
  host::Connect(node->FindInput(MainImageId), input.get());
  const uint64_t budget = host::ImageBudget();
  const int64_t before = host::testing::LiveObjects();
  host::SetImageBudget(1 << 20);  // the 6000 x 400 output needs far more, the pattern far less
  host::RenderResult r = node->Render(0);
  host::SetImageBudget(budget);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.error.find("budget"), std::string::npos) << r.error;
  EXPECT_EQ(host::testing::LiveObjects(), before);  // the built-in pattern was released
  EXPECT_TRUE(node->Render(0).ok());
}

// Rows written as stored words (input and output in the host's formats) against the general
// cursor path (an input in storage of its own), for every preset and depth, with limits that
// leave columns and rows without cells, on poisoned memory, for 1 and 4 workers.
TEST(BillboardRender, SameBytesForEveryPathAndWorkerCount) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat})
    for (int preset : {0, 1, 2})
      for (int variant = 0; variant < 4; ++variant) {
        const bool limited = variant & 1, sources = variant & 2;
        SCOPED_TRACE(::testing::Message() << "depth " << depth << " preset " << preset << " limited "
                                          << limited << " sources " << sources);
        auto input = testing::Numbered(37, 23, depth);
        auto node = Node();
        testing::Set(*node, kPreset, preset);
        Channels(*node, 1, 1, 1);
        if (sources) {
          testing::Set(*node, kGreenSource, 1);  // colour from input
          testing::Set(*node, kBlueSource, 3);   // a custom colour
          testing::Set(*node, kBlueColor[1], 0.6);
        }
        if (limited) {
          testing::Set(*node, kMaxOutW, 101);
          testing::Set(*node, kMaxOutH, 45);
        }
        host::Connect(node->FindInput(MainImageId), input.get());
        auto one = testing::WithThreads(1, [&] { return testing::RenderOk(*node); });
        auto four = testing::WithPoisonedImages(
            [&] { return testing::WithThreads(4, [&] { return testing::RenderOk(*node); }); });
        auto foreign = testing::CustomStorageCopy(input.get());
        host::Connect(node->FindInput(MainImageId), foreign.get());
        auto general = testing::WithPoisonedImages([&] { return testing::RenderOk(*node); });
        ASSERT_TRUE(one && four && general);
        EXPECT_TRUE(testing::SameBytes(one.get(), four.get()));
        EXPECT_TRUE(testing::SameBytes(one.get(), general.get()));
      }
}

}  // namespace
}  // namespace orvanta
