// OrvantaMosaic loaded as a plug-in: declarations, the tile list, the random layout against an
// independent model of it, offsets, clipping, rescaled tiles and degenerate requests. Every tile is
// a flat colour whose blue value is its tile number, so each cell's tile can be read back.
#include <cmath>
#include <limits>

#include "support.h"

namespace orvanta {
namespace {

constexpr uint32_t kSeed = 0x44454553, kStart = 0x4C425250, kEnd = 0x48425250, kTolerance = 0x4C4F5400,
                   kOffsetA = 0x414F5800, kOffsetB = 0x424F5800;
constexpr uint32_t kTileIds[20] = {0x31544900, 0x32544900, 0x33544900, 0x34544900, 0x35544900,
                                   0x36544900, 0x37544900, 0x38544900, 0x39544900, 0x30315449,
                                   0x31315449, 0x32315449, 0x33315449, 0x34315449, 0x35315449,
                                   0x36315449, 0x37315449, 0x38315449, 0x39315449, 0x30325449};

Pixel TileColour(int k) { return Pixel{uint32_t(k), uint32_t(1000 * k), uint32_t(65535 - k), 65535}; }

std::vector<int> AllTiles() {
  std::vector<int> v;
  for (int k = 1; k <= 20; ++k) v.push_back(k);
  return v;
}

struct Layout {
  int32_t bgW = 40, bgH = 14, tileW = 4, tileH = 2;
  std::vector<int> tiles = AllTiles();
  double seed = 1, start = 1, end = 20, tolerance = 0, offsetA = 0, offsetB = 0.5;
};

host::ImagePtr Render(const Layout& s, uint32_t depth, int32_t threads = 0) {
  auto node = testing::MakeNode("OrvantaMosaic");
  testing::Set(*node, kSeed, s.seed);
  testing::Set(*node, kStart, s.start);
  testing::Set(*node, kEnd, s.end);
  testing::Set(*node, kTolerance, s.tolerance);
  testing::Set(*node, kOffsetA, s.offsetA);
  testing::Set(*node, kOffsetB, s.offsetB);
  auto bg = host::MakeImage(s.bgW, s.bgH, depth);
  host::Connect(node->FindInput(MainImageId), bg.get());
  std::vector<host::ImagePtr> tiles;
  for (int k : s.tiles) {
    tiles.push_back(testing::Flat(s.tileW, s.tileH, depth, TileColour(k)));
    host::Connect(node->FindInput(kTileIds[k - 1]), tiles.back().get());
  }
  // On poisoned memory: the pixels no cell covers must have been cleared by the tool.
  return testing::WithPoisonedImages(
      [&] { return testing::WithThreads(threads, [&] { return testing::RenderOk(*node); }); });
}

// Tile number of every output pixel, 0 where no cell covers it.
std::vector<int> TileMap(const Image* out) {
  std::vector<int> map;
  for (int32_t y = 0; y < out->Height; ++y)
    for (int32_t x = 0; x < out->Width; ++x) {
      Pixel p = testing::At(out, x, y);
      map.push_back(p.A == 0 ? 0 : int(p.B));
    }
  return map;
}

// The layout worked out independently: the runtime generator seeded per column, three draws per
// row, the unsigned remainders (a zero divisor standing for 2^32), the clamp, the line offsets.
struct Generator {
  uint32_t state;
  uint32_t Next() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFFu;
  }
};

int32_t Whole(double v) {
  if (std::isnan(v)) return 0;
  return int32_t(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
}

std::vector<int> Model(const Layout& s) {
  std::vector<int> map(size_t(s.bgW) * s.bgH, 0);
  const int32_t start = Whole(s.start), end = Whole(s.end), tol = Whole(s.tolerance);
  const uint32_t window = uint32_t(int64_t(end) - start + 1), spreadDiv = uint32_t(int64_t(tol) + 1);
  const int count = int(s.tiles.size());
  const int columns = s.bgW / s.tileW + 1, rows = s.bgH / s.tileH + 1;
  for (int c = 0; c < columns; ++c) {
    Generator g{uint32_t(c + 1) * uint32_t(Whole(s.seed))};
    for (int r = 0; r < rows; ++r) {
      uint32_t d1 = g.Next(), d2 = g.Next(), d3 = g.Next();
      int64_t index = int64_t(window ? d1 % window : d1) + start - 1;
      int64_t spread = spreadDiv ? d2 % spreadDiv : d2;
      index += (d3 & 1) ? spread : -spread;
      index = std::clamp<int64_t>(index, 0, count - 1);
      double offset = r % 2 == 0 ? s.offsetA : s.offsetB;
      int64_t x0 = int64_t(c) * s.tileW + int64_t(std::floor(s.tileW * offset));
      for (int ty = 0; ty < s.tileH; ++ty)
        for (int tx = 0; tx < s.tileW; ++tx) {
          int64_t x = x0 + tx, y = int64_t(r) * s.tileH + ty;
          if (x >= 0 && x < s.bgW && y >= 0 && y < s.bgH) map[size_t(y) * s.bgW + size_t(x)] = s.tiles[index];
        }
    }
  }
  return map;
}

// Tile of the cell in column c, row r of a layout with offsets 0.
int CellTile(const Image* out, const Layout& s, int c, int r) {
  return int(testing::At(out, c * s.tileW, r * s.tileH).B);
}

TEST(MosaicLayout, GeneratorSequenceForSeedsOneAndTwo) {
  // With all twenty tiles, window 1..20 and no tolerance, row r of column c shows tile
  // (first draw of the row mod 20) + 1. Seed 1 draws 41, 18467, 6334, 26500, 19169, 15724, 11478,
  // ... (state 1 x 214013 + 2531011 = 2745024, >> 16 = 41); seed 2 draws 45, 29216, 24198, 17795.
  Layout s;
  s.offsetB = 0;
  s.bgH = 8;  // rows 0 to 3 are whole
  auto one = Render(s, Depth16);
  EXPECT_EQ(CellTile(one.get(), s, 0, 0), 41 % 20 + 1);
  EXPECT_EQ(CellTile(one.get(), s, 0, 1), 26500 % 20 + 1);
  EXPECT_EQ(CellTile(one.get(), s, 0, 2), 11478 % 20 + 1);
  EXPECT_EQ(CellTile(one.get(), s, 0, 3), 24464 % 20 + 1);
  EXPECT_EQ(CellTile(one.get(), s, 1, 0), 45 % 20 + 1);  // column 1 is seeded with 2
  EXPECT_EQ(CellTile(one.get(), s, 1, 1), 17795 % 20 + 1);
  s.seed = 2;
  auto two = Render(s, Depth16);
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(CellTile(two.get(), s, 0, r), CellTile(one.get(), s, 1, r)) << "row " << r;
    EXPECT_EQ(CellTile(two.get(), s, 1, r), CellTile(one.get(), s, 3, r)) << "row " << r;  // seeds 4
  }
}

TEST(MosaicLayout, MatchesTheModelInBothDepthsAndThreadCounts) {
  auto with = [](auto change) {
    Layout s;
    change(s);
    return s;
  };
  const std::vector<std::pair<const char*, Layout>> cases = {
      {"defaults", Layout{}},
      {"tiles 1, 3 and 7", with([](Layout& s) {
         s.tiles = {1, 3, 7};
       })},
      {"only tile 1", with([](Layout& s) {
         s.tiles = {1};
         s.tolerance = 7;
       })},
      {"tiles 1, 2 and 20", with([](Layout& s) {
         s.tiles = {1, 2, 20};
         s.tolerance = 1;
       })},
      {"start = end = 5", with([](Layout& s) {
         s.tiles = {1, 2, 4, 8, 9, 13};
         s.start = s.end = 5;
       })},
      {"start = end = 1, tolerance 2", with([](Layout& s) {
         s.start = s.end = 1;
         s.tolerance = 2;
       })},
      {"window 4..9, tolerance 3", with([](Layout& s) {
         s.start = 4;
         s.end = 9;
         s.tolerance = 3;
       })},
      {"end below start", with([](Layout& s) {
         s.start = 12;
         s.end = 3;
       })},
      {"zero window divisor", with([](Layout& s) {
         s.start = 8;
         s.end = 7;
       })},
      {"zero spread divisor", with([](Layout& s) {
         s.start = s.end = 10;
         s.tolerance = -1;
       })},
      {"negative tolerance", with([](Layout& s) {
         s.start = s.end = 10;
         s.tolerance = -5;
       })},
      {"seed 65535", with([](Layout& s) { s.seed = 65535; })},
      {"negative seed", with([](Layout& s) { s.seed = -7; })},
      {"seed beyond 32 bits", with([](Layout& s) { s.seed = 1e300; })},
      {"seed 0", with([](Layout& s) { s.seed = 0; })},
      {"offsets 0.25 and 1.0", with([](Layout& s) {
         s.offsetA = 0.25;
         s.offsetB = 1.0;
       })},
      {"negative offset", with([](Layout& s) {
         s.offsetB = -0.5;
         s.tileW = 5;
       })},
      {"background smaller than a tile", with([](Layout& s) {
         s.bgW = 3;
         s.bgH = 1;
       })},
      {"tall tiles, odd sizes", with([](Layout& s) {
         s.bgW = 37;
         s.bgH = 23;
         s.tileW = 3;
         s.tileH = 7;
       })},
      {"background far wider than the tile", with([](Layout& s) {
         s.bgW = 5000;
         s.bgH = 3;
         s.tileW = s.tileH = 1;
       })},
  };
  for (const auto& [name, s] : cases)
    for (uint32_t depth : {Depth16, DepthFloat}) {
      SCOPED_TRACE(::testing::Message() << name << ", depth " << depth);
      auto one = Render(s, depth, 1);
      auto four = Render(s, depth, 4);
      ASSERT_TRUE(one && four);
      EXPECT_EQ(one->Width, s.bgW);
      EXPECT_EQ(one->Height, s.bgH);
      EXPECT_EQ(one->Depth, depth);
      EXPECT_TRUE(testing::SameBytes(one.get(), four.get()));
      EXPECT_EQ(TileMap(one.get()), Model(s));
    }
}

TEST(MosaicLayout, TileListHoldsEachConnectedTileInSlotOrder) {
  // Tile 1 beside any one tile k: list [1, k]. Window 2..2 always shows list position 2; window
  // 1..1 position 1; and every colour read back is that of the tile's own input.
  for (int k = 2; k <= 20; ++k) {
    SCOPED_TRACE(k);
    Layout s;
    s.tiles = {1, k};
    s.start = s.end = 2;
    auto second = Render(s, Depth16);
    for (int v : TileMap(second.get())) ASSERT_TRUE(v == k || v == 0);
    EXPECT_EQ(testing::At(second.get(), 0, 0), TileColour(k));
    s.start = s.end = 1;
    auto first = Render(s, Depth16);
    EXPECT_EQ(testing::At(first.get(), 0, 0), TileColour(1));
  }
  // Tiles 1, 2 and 20: positions 3 and above fall on tile 20, the last one.
  Layout s;
  s.tiles = {1, 2, 20};
  for (double pos : {1.0, 2.0, 3.0, 4.0, 20.0}) {
    s.start = s.end = pos;
    auto out = Render(s, Depth16);
    EXPECT_EQ(CellTile(out.get(), s, 2, 2), pos == 1 ? 1 : pos == 2 ? 2 : 20) << pos;
  }
}

TEST(MosaicLayout, LineOffsetsLeaveTheirStripUncovered) {
  // A tile 100 wide: line B at 0.5 starts odd rows at x = 50, at 1.0 at x = 100.
  for (double offsetB : {0.5, 1.0}) {
    SCOPED_TRACE(offsetB);
    Layout s;
    s.bgW = 300, s.bgH = 8, s.tileW = 100, s.tileH = 2, s.offsetB = offsetB;
    auto out = Render(s, Depth16);
    const int32_t strip = int32_t(100 * offsetB);
    for (int32_t y = 0; y < s.bgH; ++y)
      for (int32_t x = 0; x < s.bgW; ++x) {
        bool odd = (y / 2) % 2 == 1;
        ASSERT_EQ(testing::At(out.get(), x, y).A == 0, odd && x < strip) << x << ", " << y;
      }
    // Odd rows: the cell starting at the offset holds one tile across its full width.
    int first = int(testing::At(out.get(), strip, 2).B);
    for (int32_t x = strip; x < strip + 100 && x < s.bgW; ++x)
      ASSERT_EQ(int(testing::At(out.get(), x, 3).B), first);
  }
}

TEST(MosaicLayout, SpareColumnAndRowCoverTheEdges) {
  // 720 x 576 with 100 x 40 tiles needs 8 columns and 15 rows; 700 x 560 divides exactly and gets
  // its spare column and row all the same (clipped away, so the output is fully covered).
  for (auto [w, h] : {std::pair{720, 576}, std::pair{700, 560}}) {
    Layout s;
    s.bgW = w, s.bgH = h, s.tileW = 100, s.tileH = 40, s.offsetB = 0;
    auto out = Render(s, Depth16);
    auto map = TileMap(out.get());
    EXPECT_EQ(std::count(map.begin(), map.end(), 0), 0) << w << " x " << h;
    EXPECT_EQ(map, Model(s));
  }
}

TEST(MosaicTiles, OtherSizesAreRescaledToTileOne) {
  // A 32 x 48 tile 2 beside a 64 x 64 tile 1 is drawn as its 64 x 64 rescaled copy.
  for (uint32_t depth : {Depth16, DepthFloat}) {
    auto node = testing::MakeNode("OrvantaMosaic");
    testing::Set(*node, kStart, 2);
    testing::Set(*node, kEnd, 2);
    testing::Set(*node, kOffsetB, 0);
    auto bg = host::MakeImage(150, 130, depth);
    auto tile1 = testing::Flat(64, 64, depth, TileColour(1));
    auto tile2 = testing::Numbered(32, 48, depth);
    host::Connect(node->FindInput(MainImageId), bg.get());
    host::Connect(node->FindInput(kTileIds[0]), tile1.get());
    host::Connect(node->FindInput(kTileIds[1]), tile2.get());
    auto out = testing::RenderOk(*node);
    host::ImagePtr ref(tile2->ResizeOfImage(64, 64, 0, 1, 100));
    for (int32_t y = 0; y < 130; ++y)
      for (int32_t x = 0; x < 150; ++x)
        ASSERT_EQ(testing::At(out.get(), x, y), testing::At(ref.get(), x % 64, y % 64)) << x << ", " << y;
  }
}

TEST(MosaicFaults, OffsetsOutsideTheirRange) {
  Layout s;
  s.offsetB = 0;
  auto plain = Render(s, Depth16);
  s.offsetB = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(testing::SameBytes(Render(s, Depth16).get(), plain.get())) << "NaN leaves the line unshifted";
  for (double far : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), 1e300,
                     -1e300, 3e9}) {
    SCOPED_TRACE(far);
    s.offsetB = far;
    auto out = Render(s, Depth16, 4);
    for (int32_t y = 0; y < s.bgH; ++y)
      EXPECT_EQ(testing::At(out.get(), 0, y).A == 0, (y / 2) % 2 == 1) << "odd rows lie outside";
  }
}

TEST(MosaicFaults, MissingOrEmptyImagesDoNotCrash) {
  auto node = testing::MakeNode("OrvantaMosaic");
  auto bg = host::MakeImage(9, 5, Depth16);
  auto tile = testing::Flat(2, 2, Depth16, TileColour(1));
  auto empty = host::MakeImage(0, 3, Depth16);
  auto nothing = [](double) -> Image* { return nullptr; };
  host::Connect(node->FindInput(MainImageId), bg.get());
  auto clear = host::MakeImage(9, 5, Depth16);

  // Tile 1 delivering no image, or one of zero size: the cleared output of the background's size.
  host::Connect(node->FindInput(kTileIds[0]), nothing, "gone");
  auto out = testing::RenderOk(*node);
  ASSERT_TRUE(out);
  EXPECT_TRUE(testing::SameBytes(out.get(), clear.get()));
  host::Connect(node->FindInput(kTileIds[0]), empty.get());
  out = testing::RenderOk(*node);
  ASSERT_TRUE(out);
  EXPECT_TRUE(testing::SameBytes(out.get(), clear.get()));

  // A zero-size optional tile is rescaled (to a cleared tile) like any other.
  host::Connect(node->FindInput(kTileIds[0]), tile.get());
  host::Connect(node->FindInput(kTileIds[4]), empty.get());
  EXPECT_TRUE(node->Render(0).ok());

  // An empty background gives an empty output.
  host::Connect(node->FindInput(MainImageId), empty.get());
  out = testing::RenderOk(*node);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->Width, 0);

  // No "Input" image: nothing to size the output by, and the host reports it.
  host::Connect(node->FindInput(MainImageId), nothing, "gone");
  host::RenderResult r = node->Render(0);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.error.find("no image"), std::string::npos) << r.error;
}

TEST(MosaicFaults, ImagesMadeForARequestAreReleased) {
  auto node = testing::MakeNode("OrvantaMosaic");
  auto bg = host::MakeImage(30, 20, Depth16);
  auto tile1 = testing::Flat(6, 4, Depth16, TileColour(1));
  auto small = testing::Flat(3, 3, Depth16, TileColour(5));
  host::Connect(node->FindInput(MainImageId), bg.get());
  host::Connect(node->FindInput(kTileIds[0]), tile1.get());
  host::Connect(node->FindInput(kTileIds[4]), small.get());
  const int64_t before = host::testing::LiveObjects();
  EXPECT_TRUE(testing::RenderOk(*node));
  EXPECT_EQ(host::testing::LiveObjects(), before);
  // Allocation failing at every point of a request: a clear error, and nothing left behind.
  int failures = 0;
  for (int64_t n = 0; n < 40; ++n) {
    host::testing::FailAllocationsAfter(n);
    host::RenderResult r = node->Render(0);
    host::testing::FailAllocationsAfter(-1);
    failures += r.ok() ? 0 : 1;
    r.image.reset();
    EXPECT_EQ(host::testing::LiveObjects(), before) << "after failing at allocation " << n;
  }
  EXPECT_GT(failures, 20);
}

}  // namespace
}  // namespace orvanta
