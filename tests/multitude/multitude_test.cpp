// OrvantaMultitude loaded as a plug-in: its declarations, the exact-match dot search in both pixel
// forms, figure placement and clipping, and merges that come out the same for every worker count.
#include "support.h"

namespace orvanta {
namespace {

constexpr uint32_t kFolk[4] = {0x314D4300, 0x324D4300, 0x334D4300, 0x344D4300};
constexpr char kKeyIds[4][4][5] = {{"CM1R", "CM1G", "CM1B", "CM1A"},
                                   {"CM2R", "CM2G", "CM2B", "CM2A"},
                                   {"CM3R", "CM3G", "CM3B", "CM3A"},
                                   {"CM4R", "CM4G", "CM4B", "CM4A"}};

std::unique_ptr<host::Node> Node() { return testing::MakeNode("OrvantaMultitude"); }

// Key colour of slot (1..4) as red, green, blue, alpha.
void Key(host::Node& node, int slot, double r, double g, double b, double a) {
  const double v[4] = {r, g, b, a};
  for (int c = 0; c < 4; ++c) testing::Set(node, FourCC(kKeyIds[slot - 1][c]), v[c]);
}

// Sets one pixel from 0..1 components in the image's own form.
void Put(Image* im, int32_t x, int32_t y, double r, double g, double b, double a) {
  if (im->Depth == DepthFloat)
    im->SetPixel(x, y, FltPixel{float(b), float(g), float(r), float(a)});
  else
    im->SetPixel(x, y,
                 Pixel{uint32_t(b * 65535), uint32_t(g * 65535), uint32_t(r * 65535), uint32_t(a * 65535)});
}

// The expected output: a cleared image like the background with the figures merged one at a
// time at the given positions.
struct Merge {
  const Image* figure;
  int32_t x, y;
};
host::ImagePtr Expected(const Image* background, const std::vector<Merge>& merges) {
  auto im = host::MakeImage(background->Width, background->Height, background->Depth);
  for (const Merge& m : merges) im->OXMerge(m.figure, m.x, m.y);
  return im;
}

TEST(MultitudeRender, DotSearchAndPlacementInBothForms) {
  for (uint32_t depth : {DepthFloat, Depth16}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    auto background = host::MakeImage(80, 60, depth);
    auto crowd = host::MakeImage(50, 40, depth);    // smaller than the background
    auto figure = testing::Numbered(9, 15, depth);  // opaque: merged pixels equal the figure's
    auto node = Node();
    host::Connect(node->FindInput(MainImageId), background.get());
    host::Connect(node->FindInput(SecondImageId), crowd.get());
    host::Connect(node->FindInput(kFolk[0]), figure.get());
    Key(*node, 1, 1.0, 0.0, 0.0, 1.0);

    // The dot at (40, 30) puts the figure's top-left at (36, 23).
    Put(crowd.get(), 40, 30, 1.0, 0.0, 0.0, 1.0);
    auto out = testing::RenderOk(*node);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Depth, depth);
    EXPECT_TRUE(testing::SameBytes(out.get(), Expected(background.get(), {{figure.get(), 36, 23}}).get()));
    EXPECT_EQ(testing::At(out.get(), 36, 23), testing::At(figure.get(), 0, 0));
    EXPECT_EQ(testing::At(out.get(), 44, 37), testing::At(figure.get(), 8, 14));
    EXPECT_EQ(testing::At(out.get(), 35, 23), (Pixel{0, 0, 0, 0}));

    // Alpha 0.5 is not a dot of that key.
    Put(crowd.get(), 40, 30, 1.0, 0.0, 0.0, 0.5);
    EXPECT_TRUE(testing::SameBytes(testing::RenderOk(*node).get(), Expected(background.get(), {}).get()));

    // A dot at (0, 0) is merged at (-4, -7) and clipped by the output's edges.
    Put(crowd.get(), 40, 30, 0.0, 0.0, 0.0, 0.0);
    Put(crowd.get(), 0, 0, 1.0, 0.0, 0.0, 1.0);
    out = testing::RenderOk(*node);
    EXPECT_TRUE(testing::SameBytes(out.get(), Expected(background.get(), {{figure.get(), -4, -7}}).get()));
    EXPECT_EQ(testing::At(out.get(), 0, 0), testing::At(figure.get(), 4, 7));
    EXPECT_EQ(testing::At(out.get(), 4, 7), testing::At(figure.get(), 8, 14));
    EXPECT_EQ(testing::At(out.get(), 5, 0), (Pixel{0, 0, 0, 0}));
  }
}

TEST(MultitudeRender, KeysMatchExactlyOrNever) {
  // In 16-bit a key component of 0.5 is 32767.5 and matches neither neighbour; a crowd of
  // another depth than the background is read through its access routines.
  struct Case {
    uint32_t backgroundDepth, crowdDepth;
    double key[4];
    Pixel dot;  // 16-bit values of the crowd pixel
    bool found;
  };
  const Case cases[] = {
      {Depth16, Depth16, {1.0, 0.5, 0.0, 1.0}, {0, 32767, 65535, 65535}, false},
      {Depth16, Depth16, {1.0, 0.5, 0.0, 1.0}, {0, 32768, 65535, 65535}, false},
      {Depth16, Depth16, {0.5, 0.0, 0.0, 1.0}, {0, 0, 32768, 65535}, false},
      {Depth16, Depth16, {1.0, 0.0, 1.0, 1.0}, {65535, 0, 65535, 65535}, true},
      {DepthFloat, Depth8, {1.0, 0.0, 0.0, 1.0}, {0, 0, 65535, 65535}, true},
      {Depth16, Depth8, {0.0, 0.0, 1.0, 1.0}, {65535, 0, 0, 65535}, true},
      {Depth16, DepthFloat, {1.0, 1.0, 1.0, 1.0}, {65535, 65535, 65535, 65535}, true},
      {Depth16, Depth16, {0.0, 0.0, 0.0, 0.0}, {0, 0, 0, 0}, false},  // blank is never a dot
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "depths " << c.backgroundDepth << "/" << c.crowdDepth << " dot " << c.dot);
    auto background = host::MakeImage(20, 20, c.backgroundDepth);
    auto crowd = host::MakeImage(20, 20, c.crowdDepth);
    crowd->SetPixel(10, 10, c.dot);
    auto figure = testing::Numbered(3, 3, c.backgroundDepth);
    auto node = Node();
    host::Connect(node->FindInput(MainImageId), background.get());
    host::Connect(node->FindInput(SecondImageId), crowd.get());
    host::Connect(node->FindInput(kFolk[2]), figure.get());
    Key(*node, 3, c.key[0], c.key[1], c.key[2], c.key[3]);
    auto out = testing::RenderOk(*node);
    std::vector<Merge> merges;
    if (c.found) merges.push_back({figure.get(), 9, 9});
    EXPECT_TRUE(testing::SameBytes(out.get(), Expected(background.get(), merges).get()));
  }
}

TEST(MultitudeRender, AbsentSlotsAndInputsGiveNothing) {
  auto background = host::MakeImage(30, 20, Depth16);
  auto crowd = host::MakeImage(30, 20, Depth16);
  crowd->SetPixel(5, 5, Pixel{0, 0, 65535, 65535});    // slot 1's key, but "Folk 1" is absent
  crowd->SetPixel(20, 10, Pixel{65535, 0, 0, 65535});  // slot 2's key
  auto figure = testing::Numbered(5, 3, Depth16);
  auto node = Node();
  host::Connect(node->FindInput(MainImageId), background.get());
  host::Connect(node->FindInput(SecondImageId), crowd.get());
  Key(*node, 1, 1.0, 0.0, 0.0, 1.0);
  Key(*node, 2, 0.0, 0.0, 1.0, 1.0);
  const auto blank = Expected(background.get(), {});
  // The output is cleared by the tool itself: poisoned memory must not show through.
  auto render = [&] { return testing::WithPoisonedImages([&] { return testing::RenderOk(*node); }); };

  // No folk at all: cleared, the background's size.
  EXPECT_TRUE(testing::SameBytes(render().get(), blank.get()));

  // Only "Folk 2": only its dot places a figure.
  host::Connect(node->FindInput(kFolk[1]), figure.get());
  EXPECT_TRUE(testing::SameBytes(render().get(), Expected(background.get(), {{figure.get(), 18, 9}}).get()));

  // Zero-sized folk and crowd images render cleanly.
  for (auto size : {std::pair{0, 0}, std::pair{0, 4}, std::pair{4, 0}}) {
    auto empty = host::MakeImage(size.first, size.second, Depth16);
    host::Connect(node->FindInput(kFolk[1]), empty.get());
    host::Connect(node->FindInput(SecondImageId), crowd.get());
    EXPECT_TRUE(testing::SameBytes(render().get(), blank.get()));
    host::Connect(node->FindInput(kFolk[1]), figure.get());
    host::Connect(node->FindInput(SecondImageId), empty.get());
    EXPECT_TRUE(testing::SameBytes(render().get(), blank.get()));
  }

  // A connected "Crowd" that delivers no image: cleared as well.
  host::Connect(node->FindInput(SecondImageId), host::ImageSource([](double) -> Image* { return nullptr; }),
                "none");
  EXPECT_TRUE(testing::SameBytes(render().get(), blank.get()));
}

TEST(MultitudeRender, OverlappingFiguresMergeInCrowdOrderForEveryWorkerCount) {
  for (uint32_t depth : {Depth16, DepthFloat}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    auto background = host::MakeImage(64, 48, depth);
    auto crowd = host::MakeImage(60, 44, depth);
    // Half-transparent figures, so the order of overlapping merges shows in the result.
    auto figureA = host::MakeImage(15, 11, depth);
    auto figureB = host::MakeImage(7, 13, depth);
    for (int32_t y = 0; y < 13; ++y)
      for (int32_t x = 0; x < 15; ++x) {
        Put(figureA.get(), x, y, 0.5, 0.1 * (x % 5), 0.02 * y, 0.6);
        Put(figureB.get(), x, y, 0.05 * (y % 7), 0.3, 0.1 * (x % 3), 0.35 + 0.05 * (x % 4));
      }
    // Slots 1 and 3 share key A, slot 2 has key B, slot 4 is absent.
    auto node = Node();
    host::Connect(node->FindInput(MainImageId), background.get());
    host::Connect(node->FindInput(SecondImageId), crowd.get());
    host::Connect(node->FindInput(kFolk[0]), figureA.get());
    host::Connect(node->FindInput(kFolk[1]), figureB.get());
    host::Connect(node->FindInput(kFolk[2]), figureB.get());
    Key(*node, 1, 1.0, 0.0, 0.0, 1.0);
    Key(*node, 2, 0.0, 1.0, 0.0, 1.0);
    Key(*node, 3, 1.0, 0.0, 0.0, 1.0);
    std::vector<Merge> merges;
    for (int32_t y = 0; y < 44; ++y)
      for (int32_t x = 0; x < 60; ++x) {
        const int32_t v = (x * 7 + y * 13) % 5;
        if (v == 0) {
          Put(crowd.get(), x, y, 1.0, 0.0, 0.0, 1.0);
          merges.push_back({figureA.get(), x - 7, y - 5});
          merges.push_back({figureB.get(), x - 3, y - 6});
        } else if (v == 3) {
          Put(crowd.get(), x, y, 0.0, 1.0, 0.0, 1.0);
          merges.push_back({figureB.get(), x - 3, y - 6});
        }
      }
    const auto expected = Expected(background.get(), merges);
    for (int32_t workers : {1, 4}) {
      auto out = testing::WithPoisonedImages(
          [&] { return testing::WithThreads(workers, [&] { return testing::RenderOk(*node); }); });
      ASSERT_TRUE(out);
      EXPECT_TRUE(testing::SameBytes(out.get(), expected.get())) << workers << " workers";
    }
  }
}

}  // namespace
}  // namespace orvanta
