// OrvantaScope loaded as a plug-in: declarations, the show/hide and preset rules per type, the
// displays against a sequential model of the plotting, the band of rows, blurring, the float path,
// and identical output for any worker count.
#include <cmath>
#include <limits>

#include "support.h"

namespace orvanta {
namespace {

constexpr uint32_t kRed = 0x684364D2, kGreen = 0x68436EC7, kBlue = 0x68436CC2, kAlpha = 0x68436CC1,
                   kType = 0x45505954, kRoundness = 0x4E554F52, kStretchX = 0x58727453,
                   kStretchY = 0x59727453, kStretchRed = 0x52597453, kStretchGreen = 0x47597453,
                   kStretchBlue = 0x42597453, kStretchAlpha = 0x41597453, kCenter = 0x544E4300,
                   kCenterRed = 0x52544E43, kCenterGreen = 0x47544E43, kCenterBlue = 0x42544E43,
                   kCenterAlpha = 0x41544E43, kTop = 0x4C526752, kBottom = 0x48526752;
constexpr uint32_t kChecks[4] = {kRed, kGreen, kBlue, kAlpha};
constexpr uint32_t kStretches[4] = {kStretchRed, kStretchGreen, kStretchBlue, kStretchAlpha};
constexpr uint32_t kCenters[4] = {kCenterRed, kCenterGreen, kCenterBlue, kCenterAlpha};

const Pixel kWhite{65535, 65535, 65535, 65535}, kClear{0, 0, 0, 0};

std::unique_ptr<host::Node> Node() { return testing::MakeNode("OrvantaScope"); }

void SetPoint(host::Node& node, uint32_t id, double x, double y) {
  AutoParameter p(new Point(x, y));
  node.FindInput(id)->SetValue(p.get(), 0, 1);
}

Point PointOf(host::Node& node, uint32_t id) { return host::PointAt(node.FindInput(id), 0); }

host::ImagePtr RenderOn(host::Node& node, Image* input, int32_t threads = 0) {
  host::Connect(node.FindInput(MainImageId), input);
  return testing::WithThreads(threads, [&] { return testing::RenderOk(node); });
}

// Pixels of every kind: a ramp across, noise from a small generator, some saturated and black.
host::ImagePtr Busy(int32_t w, int32_t h, uint32_t depth) {
  auto im = host::MakeImage(w, h, depth);
  uint32_t state = 12345;
  auto noise = [&state] { return (state = state * 1664525u + 1013904223u) >> 16; };
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      Pixel p{noise(), uint32_t(x * 65535 / std::max(1, w - 1)), noise(), noise()};
      if ((x + y) % 7 == 0) p = Pixel{0, 0, 65535, 65535};
      if ((x + 2 * y) % 11 == 0) p = Pixel{0, 0, 0, 0};
      // Multiples of 13107 (0.2 of full scale) land exactly on a row edge of a 40-row display,
      // where float rounding of v / 65535 may fall either side; keep off them.
      for (uint32_t* c : {&p.B, &p.G, &p.R, &p.A})
        if (*c % 13107 == 0 && *c != 0 && *c != 65535) *c += 1;
      if (depth == DepthFloat)
        im->SetPixel(x, y, FltPixel{p.B / 65535.0f, p.G / 65535.0f, p.R / 65535.0f, p.A / 65535.0f});
      else
        im->SetPixel(x, y, p);
    }
  return im;
}

// The plotting done one point after another into a 16-bit image, as the display rules state.
host::ImagePtr Sequential(host::Node& node, const Image* input) {
  const int32_t W = input->Width, H = input->Height;
  auto out = host::MakeImage(W, H, Depth16);
  const int type = int(testing::Get(node, kType));
  const double top = testing::Get(node, kTop), band = testing::Get(node, kBottom) - top;
  double s[5], shift[5], base[5];
  const uint32_t stretchIds[5] = {kStretchY, kStretchRed, kStretchGreen, kStretchBlue, kStretchAlpha};
  const uint32_t centerIds[5] = {kCenter, kCenterRed, kCenterGreen, kCenterBlue, kCenterAlpha};
  for (int t = 0; t < 5; ++t) {
    s[t] = testing::Get(node, stretchIds[t]);
    Point c = PointOf(node, centerIds[t]);
    shift[t] = W * (c.X - 0.5);
    base[t] = (0.5 - c.Y) * (-H) + H;  // H x (0.5 + cy), rounded as the display computes it
  }
  const double scale = H / 65535.0;
  auto plot = [&](double x, double y, auto change) {
    if (!(y >= 0 && y < H && x >= 0 && x < W)) return;
    Pixel p = testing::At(out.get(), int32_t(x), int32_t(y));
    change(p);
    out->SetPixel(int32_t(x), int32_t(y), p);
  };
  auto white = [](Pixel& p) { p = Pixel{65535, 65535, 65535, 65535}; };
  for (int32_t a = 0; a < int32_t(H * band); ++a) {
    const int32_t row = int32_t(a + (H - 1) * top);
    for (int32_t c = 0; c < W; ++c) {
      const Pixel p = testing::At(input, c, row);
      const double v[4] = {double(p.R), double(p.G), double(p.B), double(p.A)};
      const double x = c + shift[0];
      switch (type) {
        case 0:
          plot(x, base[0] - (std::max({v[0], v[1], v[2]}) * s[0]) * scale, white);
          break;
        case 1: {
          double hi = std::max({v[0], v[1], v[2]}), lo = std::min({v[0], v[1], v[2]});
          if (hi > 0) plot(x, base[0] - (((hi - lo) / hi * s[0]) * 65535) * scale, white);
          break;
        }
        case 2:
          for (int ch = 0; ch < 3; ++ch) plot(x, base[0] - (v[ch] * s[0]) * scale, white);
          break;
        case 3:
        case 4:
          for (int ch = 0; ch < 4; ++ch)
            if (testing::Get(node, kChecks[ch]) != 0)
              plot(c + shift[1 + ch], base[1 + ch] - (v[ch] * s[1 + ch]) * scale, [ch](Pixel& q) {
                uint32_t* comp[4] = {&q.R, &q.G, &q.B, &q.A};
                *comp[ch] = 65535;
              });
          break;
        case 5:
        case 6:
        case 7:
        case 8: {
          const int ch = type - 5;
          plot(c, H - v[ch] * scale, [ch](Pixel& q) {
            q = Pixel{0, 0, 0, 0};
            uint32_t* comp[4] = {&q.R, &q.G, &q.B, &q.A};
            *comp[ch] = 65535;
          });
          break;
        }
        default:
          break;
      }
    }
  }
  return out;
}

// Shown state of the managed controls: checkboxes, Roundness, Y Stretch, channel stretches, Center,
// channel centres.
std::vector<bool> Visibility(host::Node& node) {
  std::vector<bool> v;
  for (uint32_t id : kChecks) v.push_back(testing::Shown(node, id));
  v.push_back(testing::Shown(node, kRoundness));
  v.push_back(testing::Shown(node, kStretchY));
  for (uint32_t id : kStretches) v.push_back(testing::Shown(node, id));
  v.push_back(testing::Shown(node, kCenter));
  for (uint32_t id : kCenters) v.push_back(testing::Shown(node, id));
  return v;
}

TEST(ScopeControls, TypeShowsHidesAndPresets) {
  const std::vector<bool> mainShown = {0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  const std::vector<bool> channelsShown = {1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1, 1, 1};
  const std::vector<bool> staticShown = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  auto node = Node();
  EXPECT_EQ(Visibility(*node), mainShown);

  // 0 -> 4: the parade presets; "Center" keeps what the user set.
  SetPoint(*node, kCenter, 0.2, 0.7);
  testing::Set(*node, kType, 4);
  EXPECT_EQ(Visibility(*node), channelsShown);
  const double stretch[4] = {0.333333333, 0.333333333, 0.333333333, 1.0};
  const double centreY[4] = {-0.168, 0.164, 0.497, 0.5};
  for (int ch = 0; ch < 4; ++ch) {
    EXPECT_EQ(testing::Get(*node, kStretches[ch]), stretch[ch]);
    EXPECT_EQ(PointOf(*node, kCenters[ch]).X, 0.5);
    EXPECT_EQ(PointOf(*node, kCenters[ch]).Y, centreY[ch]);
  }
  EXPECT_EQ(PointOf(*node, kCenter).X, 0.2);

  // 3: every channel stretch 1, every centre (0.5, 0.5), "Center" too although it is hidden.
  testing::Set(*node, kType, 3);
  EXPECT_EQ(Visibility(*node), channelsShown);
  for (int ch = 0; ch < 4; ++ch) {
    EXPECT_EQ(testing::Get(*node, kStretches[ch]), 1.0);
    EXPECT_EQ(PointOf(*node, kCenters[ch]).Y, 0.5);
  }
  EXPECT_EQ(PointOf(*node, kCenter).X, 0.5);

  // 6: only Roundness shown, nothing written.
  testing::Set(*node, kStretchY, 3.0);
  SetPoint(*node, kCenter, 0.1, 0.9);
  SetPoint(*node, kCenterBlue, 0.3, 0.3);
  testing::Set(*node, kType, 6);
  EXPECT_EQ(Visibility(*node), staticShown);
  EXPECT_EQ(testing::Get(*node, kStretchY), 3.0);
  EXPECT_EQ(PointOf(*node, kCenter).Y, 0.9);
  EXPECT_EQ(PointOf(*node, kCenterBlue).Y, 0.3);

  // A value that is no type, or a change of another control, touches nothing.
  testing::Set(*node, kType, 2.5);
  testing::Set(*node, kRoundness, 4.0);
  EXPECT_EQ(Visibility(*node), staticShown);
  EXPECT_EQ(testing::Get(*node, kStretchY), 3.0);

  // Back to 0: "Center" and "Y Stretch" return to their defaults.
  testing::Set(*node, kType, 0);
  EXPECT_EQ(Visibility(*node), mainShown);
  EXPECT_EQ(testing::Get(*node, kStretchY), 1.0);
  EXPECT_EQ(PointOf(*node, kCenter).X, 0.5);
  EXPECT_EQ(PointOf(*node, kCenter).Y, 0.5);
}

// Every pixel is expected(x, y).
template <class F>
void ExpectImage(const Image* out, F expected) {
  for (int32_t y = 0; y < out->Height; ++y)
    for (int32_t x = 0; x < out->Width; ++x)
      ASSERT_EQ(testing::At(out, x, y), expected(x, y)) << x << ", " << y;
}

TEST(ScopeRender, TracesLandOnTheirRows) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    SCOPED_TRACE(depth);
    auto grey = testing::Flat(720, 480, depth, Pixel{32768, 32768, 32768, 65535});
    {  // 32768 lands on row 239 (y = 239.996).
      auto node = Node();
      auto out = RenderOn(*node, grey.get());
      EXPECT_EQ(out->Depth, depth);
      ExpectImage(out.get(), [](int32_t, int32_t y) { return y == 239 ? kWhite : kClear; });
      SetPoint(*node, kCenter, 0.75, 0.5);  // shift 180
      out = RenderOn(*node, grey.get());
      ExpectImage(out.get(), [](int32_t x, int32_t y) { return y == 239 && x >= 180 ? kWhite : kClear; });
    }
    {  // Saturation: none for grey; (65535, 16384, 16384) is 0.75 and lands on row 120.
      auto node = Node();
      testing::Set(*node, kType, 1);
      auto out = RenderOn(*node, grey.get());
      ExpectImage(out.get(), [](int32_t, int32_t) { return kClear; });
      auto reddish = testing::Flat(720, 480, depth, Pixel{16384, 16384, 65535, 65535});
      out = RenderOn(*node, reddish.get());
      ExpectImage(out.get(), [](int32_t, int32_t y) { return y == 120 ? kWhite : kClear; });
    }
    {  // Type 3 with only "Red" ticked: red points without alpha.
      auto node = Node();
      testing::Set(*node, kType, 3);
      for (uint32_t id : {kGreen, kBlue, kAlpha}) testing::Set(*node, id, 0);
      auto red = testing::Flat(720, 480, depth, Pixel{9000, 20000, 32768, 65535});
      auto out = RenderOn(*node, red.get());
      ExpectImage(out.get(), [](int32_t, int32_t y) { return y == 239 ? Pixel{0, 0, 65535, 0} : kClear; });
    }
  }
}

TEST(ScopeRender, StaticTypesIgnoreCentreAndStretch) {
  auto input = Busy(50, 60, Depth16);
  const Pixel pure[4] = {{0, 0, 65535, 0}, {0, 65535, 0, 0}, {65535, 0, 0, 0}, {0, 0, 0, 65535}};
  for (int type = 5; type <= 8; ++type) {
    SCOPED_TRACE(type);
    auto node = Node();
    testing::Set(*node, kType, type);
    auto out = RenderOn(*node, input.get());
    int plotted = 0;
    for (int32_t y = 0; y < 60; ++y)
      for (int32_t x = 0; x < 50; ++x) {
        Pixel p = testing::At(out.get(), x, y);
        if (p == kClear) continue;
        ++plotted;
        ASSERT_EQ(p, pure[type - 5]);
      }
    EXPECT_GT(plotted, 30);
    testing::Set(*node, kStretchY, 4.0);
    SetPoint(*node, kCenter, 0.9, 0.1);
    for (int ch = 0; ch < 4; ++ch) SetPoint(*node, kCenters[ch], 0.1, 0.9);
    EXPECT_TRUE(testing::SameBytes(RenderOn(*node, input.get()).get(), out.get()));
  }
}

TEST(ScopeRender, EveryTypeEqualsSequentialPlottingForAnyWorkerCount) {
  // 61 columns fit one 64-bit plane word per row; 197 need four, so columns share words.
  for (auto size : {std::pair{61, 47}, std::pair{197, 70}}) {
    auto input = Busy(size.first, size.second, Depth16);
    SCOPED_TRACE(::testing::Message() << input->Width << " x " << input->Height);
    struct Case {
      int type;
      double top, bottom;
      Point center;
    };
    std::vector<Case> cases;
    for (int type = 0; type <= 9; ++type) cases.push_back({type, 0.0, 1.0, Point(0.5, 0.5)});
    cases.push_back({0, 0.2, 0.9, Point(0.3, 0.6)});
    cases.push_back({2, 0.0, 1.0, Point(0.7, 0.2)});
    cases.push_back({3, 0.5, 1.0, Point(0.5, 0.5)});
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "type " << c.type << " band " << c.top << ".." << c.bottom);
      auto node = Node();
      testing::Set(*node, kType, c.type);
      testing::Set(*node, kTop, c.top);
      testing::Set(*node, kBottom, c.bottom);
      SetPoint(*node, kCenter, c.center.X, c.center.Y);
      if (c.type == 3) SetPoint(*node, kCenterGreen, 0.55, 0.45);  // overlapping, shifted traces
      auto one = RenderOn(*node, input.get(), 1);
      // More workers than the tool keeps plot copies for, on output memory poisoned first.
      auto eight = testing::WithPoisonedImages([&] { return RenderOn(*node, input.get(), 8); });
      EXPECT_TRUE(testing::SameBytes(one.get(), eight.get()));
      EXPECT_TRUE(testing::SameBytes(one.get(), Sequential(*node, input.get()).get()));
      if (c.type == 4) {  // storage that is not the host's own goes through the cursors
        auto foreign = testing::CustomStorageCopy(input.get());
        EXPECT_TRUE(testing::SameBytes(one.get(), RenderOn(*node, foreign.get(), 2).get()));
      }
    }
  }
}

TEST(ScopeRender, BandOfInputRows) {
  // Input row y holds a red value that plots on output row 479 - y (type 5), so the lit output
  // rows tell which input rows were plotted.
  auto input = host::MakeImage(3, 480, Depth16);
  for (int32_t y = 0; y < 480; ++y)
    for (int32_t x = 0; x < 3; ++x)
      input->SetPixel(x, y, Pixel{0, 0, uint32_t(std::lround((y + 0.5) * 65535.0 / 480.0)), 65535});
  auto litRows = [](const Image* out) {
    std::vector<int32_t> rows;
    for (int32_t y = 0; y < out->Height; ++y)
      if (testing::At(out, 0, y).R) rows.push_back(479 - y);
    return rows;
  };
  auto range = [](int32_t from, int32_t to) {
    std::vector<int32_t> v;
    for (int32_t y = to; y >= from; --y) v.push_back(y);
    return v;
  };
  struct Case {
    double top, bottom;
    std::vector<int32_t> rows;
  };
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {0.0, 1.0, range(0, 479)},
      {0.25, 0.75, range(119, 358)},
      {0.5, 1.0, range(239, 478)},
      {0.4, 0.4, {}},
      {0.8, 0.2, {}},
      {0.9, 5.0, range(431, 479)},
      {-0.5, 0.1, range(0, 47)},
      {-1e300, 1.0, {}},
      {0.0, inf, range(0, 479)},
      {nan, 1.0, {}},
      {-inf, inf, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.top << ".." << c.bottom);
    auto node = Node();
    testing::Set(*node, kType, 5);
    testing::Set(*node, kTop, c.top);
    testing::Set(*node, kBottom, c.bottom);
    EXPECT_EQ(litRows(RenderOn(*node, input.get()).get()), c.rows);
  }
  // Found by fuzzing: on a one-row image an infinite top makes the band's start NaN, which once
  // gave two billion chunks; it names no row and renders at once.
  auto row = host::MakeImage(4, 1, Depth16);
  row->Fill(0, 0, 65535, 65535);
  auto node = Node();
  testing::Set(*node, kType, 5);
  testing::Set(*node, kTop, -inf);
  testing::Set(*node, kBottom, inf);
  auto out = RenderOn(*node, row.get());
  ASSERT_TRUE(out);
  EXPECT_EQ(testing::At(out.get(), 0, 0), (Pixel{0, 0, 0, 0}));
}

TEST(ScopeRender, RoundnessBlursThroughTheHost) {
  auto input = Busy(40, 30, Depth16);
  auto node = Node();
  auto sharp = RenderOn(*node, input.get());
  testing::Set(*node, kRoundness, 10);  // blur amount 1.0 both ways
  auto soft = RenderOn(*node, input.get());
  EXPECT_FALSE(testing::SameBytes(sharp.get(), soft.get()));
  auto blurred = host::MakeImage(40, 30, Depth16);
  input->ImageBlur(blurred.get(), 4, 1, 1, 1, 1, 1.0, 1.0, 1.0, 1.0);
  testing::Set(*node, kRoundness, 0);
  EXPECT_TRUE(testing::SameBytes(RenderOn(*node, blurred.get()).get(), soft.get()));
  const int64_t before = host::testing::LiveObjects();
  testing::Set(*node, kRoundness, 25);
  EXPECT_TRUE(RenderOn(*node, input.get()));
  EXPECT_EQ(host::testing::LiveObjects(), before) << "the blurred copies are released";
}

TEST(ScopeRender, FloatFootagePlotsOnTheSameScale) {
  // Integer-valued footage as float gives the 16-bit display, written as 1.0.
  auto ints = Busy(33, 40, Depth16), flts = Busy(33, 40, DepthFloat);
  for (int type : {0, 2, 3, 5, 8}) {
    SCOPED_TRACE(type);
    auto node = Node();
    testing::Set(*node, kType, type);
    auto a = RenderOn(*node, ints.get()), b = RenderOn(*node, flts.get());
    ASSERT_EQ(b->Depth, DepthFloat);
    ExpectImage(b.get(), [&](int32_t x, int32_t y) { return testing::At(a.get(), x, y); });
    for (int32_t y = 0; y < 40; ++y)
      for (int32_t x = 0; x < 33; ++x) {
        FltPixel f = testing::AtFlt(b.get(), x, y);
        for (float v : {f.B, f.G, f.R, f.A}) ASSERT_TRUE(v == 0.0f || v == 1.0f);
      }
  }
  // Values beyond the display fall off it; NaN plots nothing.
  auto odd = host::MakeImage(4, 100, DepthFloat);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  odd->Fill(FltPixel{0.253f, 0.253f, 0.253f, 1.0f});           // row 100 x (1 - 0.253) = 74.7
  odd->SetPixel(0, 10, FltPixel{0.253f, 2.0f, 0.253f, 1.0f});  // max above 1: above the top
  odd->SetPixel(1, 10, FltPixel{0.253f, nan, 0.253f, 1.0f});
  odd->SetPixel(2, 10, FltPixel{-1.0f, -1.0f, -1.0f, 1.0f});  // below the bottom
  auto node = Node();
  auto out = RenderOn(*node, odd.get());
  ExpectImage(out.get(), [](int32_t, int32_t y) { return y == 74 ? kWhite : kClear; });
  testing::Set(*node, kType, 2);  // per component: the NaN point goes, the others stay
  out = RenderOn(*node, odd.get());
  ExpectImage(out.get(), [](int32_t, int32_t y) { return y == 74 ? kWhite : kClear; });
  testing::Set(*node, kType, 1);
  out = RenderOn(*node, odd.get());
  ExpectImage(out.get(), [](int32_t x, int32_t y) {
    // Grey has no saturation; (0.253, 2.0, 0.253) has 0.8735 and lands at 100 - 87.35.
    return x == 0 && y == 12 ? kWhite : kClear;
  });
}

TEST(ScopeFaults, MissingOrEmptyInput) {
  auto node = Node();
  host::Connect(
      node->FindInput(MainImageId), [](double) -> Image* { return nullptr; }, "gone");
  host::RenderResult r = node->Render(0);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.error.find("no image"), std::string::npos) << r.error;
  auto empty = host::MakeImage(0, 5, Depth16);
  for (int type = 0; type <= 8; ++type) {
    testing::Set(*node, kType, type);
    auto out = RenderOn(*node, empty.get(), 4);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Width, 0);
  }
}

}  // namespace
}  // namespace orvanta
