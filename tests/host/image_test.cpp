// The image model: conversions between storage formats and pixel forms, saturation, cursors and
// the host's image operations.
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "support.h"

namespace orvanta {
namespace {
using testing::At;
using testing::AtFlt;

TEST(ImageModel, EightBitReadsScaleExactlyAndRoundTrip) {
  auto im = host::MakeImage(256, 1, Depth8);
  EXPECT_EQ(im->BytesPerPixel, 4u);
  for (int32_t x = 0; x < 256; ++x) im->RowTable[0][x * 4 + 2] = uint8_t(x);  // red byte
  for (int32_t x = 0; x < 256; ++x) {
    Pixel p = At(im.get(), x, 0);
    EXPECT_EQ(p.R, uint32_t(x) * 257u);
    im->SetPixel(x, 0, p);  // writing back a read gives the same byte
    EXPECT_EQ(im->RowTable[0][x * 4 + 2], x);
  }
  // Rounds to nearest: 128 is nearer 0 than 257.
  im->SetPixel(0, 0, Pixel{128, 129, 65535, 0});
  EXPECT_EQ(im->RowTable[0][0], 0);
  EXPECT_EQ(im->RowTable[0][1], 1);
  EXPECT_EQ(im->RowTable[0][2], 255);
}

TEST(ImageModel, IntegerWritesSaturateInsteadOfWrapping) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    auto im = host::MakeImage(1, 1, depth);
    im->SetPixel(0, 0, Pixel{70000, 65536, 0xFFFFFFFFu, 65535});
    Pixel p = At(im.get(), 0, 0);
    EXPECT_EQ(p.B, 65535u) << depth;
    EXPECT_EQ(p.G, 65535u) << depth;
    EXPECT_EQ(p.R, 65535u) << depth;
    im->SetPixel(0, 0, FltPixel{-0.5f, 2.0f, NAN, 0.5f});
    p = At(im.get(), 0, 0);
    EXPECT_EQ(p.B, 0u) << depth;
    EXPECT_EQ(p.G, 65535u) << depth;
    EXPECT_EQ(p.R, 0u) << depth;
  }
}

TEST(ImageModel, FloatStorageKeepsValuesAndConvertsByRounding) {
  auto im = host::MakeImage(1, 1, DepthFloat);
  im->SetPixel(0, 0, FltPixel{2.0f, -1.0f, 0.25f, 1.0f});
  FltPixel f = AtFlt(im.get(), 0, 0);
  EXPECT_EQ(f.B, 2.0f);
  EXPECT_EQ(f.G, -1.0f);
  EXPECT_EQ(f.R, 0.25f);
  Pixel p = At(im.get(), 0, 0);  // Pixel view clamps and rounds
  EXPECT_EQ(p.B, 65535u);
  EXPECT_EQ(p.G, 0u);
  EXPECT_EQ(p.R, 16384u);  // 0.25 * 65535 = 16383.75
  // Every 16-bit value survives a trip through float storage.
  auto round = host::MakeImage(1, 1, DepthFloat);
  for (uint32_t v = 0; v <= 65535; v += 1) {
    round->SetPixel(0, 0, Pixel{v, v, v, v});
    ASSERT_EQ(At(round.get(), 0, 0).G, v);
  }
  // And 16-bit storage read as float gives v / 65535.
  auto sixteen = host::MakeImage(1, 1, Depth16);
  sixteen->SetPixel(0, 0, Pixel{32768, 0, 65535, 1});
  f = AtFlt(sixteen.get(), 0, 0);
  EXPECT_FLOAT_EQ(f.B, 32768.0f / 65535.0f);
  EXPECT_EQ(f.R, 1.0f);
}

TEST(ImageModel, NewImagesAreClearedAndOwnerFormFollowsTheMainInputDepth) {
  auto im = host::MakeImage(3, 2, Depth16);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) EXPECT_EQ(At(im.get(), x, y), (Pixel{0, 0, 0, 0}));
  Image* like = NewImage(TagList{{ImLike, static_cast<const Image*>(im.get())}});
  EXPECT_EQ(like->Width, 3);
  EXPECT_EQ(like->Height, 2);
  EXPECT_EQ(like->Depth, Depth16);
  like->Recycle();
  // Without an owner's request the owner form is 16-bit.
  Image* owned = NewImage(TagList{{ImWidth, 4}, {ImHeight, 5}});
  EXPECT_EQ(owned->Depth, Depth16);
  EXPECT_EQ(owned->Width, 4);
  owned->Recycle();
  EXPECT_THROW(NewImage(TagList{{ImWidth, -4}, {ImHeight, 5}}), std::invalid_argument);
}

// Large freed blocks kept for reuse: a reused block serves the next image of about its size, and
// an image asked for cleared is cleared even when its block held another image's pixels.
TEST(ImageModel, KeptBlocksAreReusedAndClearedWhenAskedTo) {
  host::KeepFreedImageMemory();
  constexpr int32_t kSide = 2100;  // 35 MB in 16-bit: above what the heap itself keeps
  const size_t bytes = size_t(kSide) * kSide * 8;
  uint8_t* block = nullptr;
  {
    auto dirty = host::MakeImage(kSide, kSide, Depth16, false);
    std::memset(dirty->RowTable[0], 0x5A, bytes);
    block = dirty->RowTable[0];
  }
  {
    auto cleared = host::MakeImage(kSide, kSide, Depth16);
    ASSERT_EQ(cleared->RowTable[0], block) << "the freed block was not reused";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 64, 0u);
    size_t nonzero = 0;
    for (size_t i = 0; i < bytes; ++i) nonzero += block[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    std::memset(block, 0x5A, bytes);
  }
  {
    // A little smaller still fits the kept block; its rows are laid out for its own width.
    auto smaller = host::MakeImage(kSide - 100, kSide, Depth16);
    EXPECT_EQ(smaller->RowTable[0], block);
    EXPECT_EQ(smaller->RowTable[1] - smaller->RowTable[0], std::ptrdiff_t(kSide - 100) * 8);
    EXPECT_EQ(At(smaller.get(), kSide - 101, kSide - 1), (Pixel{0, 0, 0, 0}));
  }
  // Far smaller images do not take it.
  auto small = host::MakeImage(kSide / 2, kSide / 2, Depth16);
  EXPECT_NE(small->RowTable[0], block);
}

TEST(ImageModel, PixelsStartOnACacheLine) {
  // Threads writing neighbouring tiles or row pieces must not share lines at their seams.
  for (uint32_t depth : {Depth8, Depth16, DepthFloat})
    for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 5}, std::pair{1920, 1080}, std::pair{2100, 2100}})
      for (bool clear : {true, false}) {
        auto im = host::MakeImage(w, h, depth, clear);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(im->RowTable[0]) % 64, 0u)
            << w << " x " << h << " depth " << depth;
        if (clear) {
          EXPECT_EQ(At(im.get(), w - 1, h - 1), (Pixel{0, 0, 0, 0}));
        }
      }
}

TEST(ImageModel, SharedRowsReadTheSourceAndOutliveIt) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    auto source = testing::Numbered(5, 6, depth);
    auto expected = testing::Numbered(5, 6, depth);
    auto view = host::MakeImage(5, 3, depth);
    ASSERT_TRUE(view->ShareRow(0, source.get(), 4));
    ASSERT_TRUE(view->ShareRow(2, source.get(), 1));
    EXPECT_EQ(view->RowTable[0], source->RowTable[4]);
    // A view of the view keeps both blocks: the first view's own row 1 and the source's row 4.
    auto second = host::MakeImage(5, 2, depth);
    view->SetPixel(3, 1, Pixel{257, 514, 771, 65535});
    ASSERT_TRUE(second->ShareRow(0, view.get(), 0));
    ASSERT_TRUE(second->ShareRow(1, view.get(), 1));
    source.reset();  // the views keep its pixels (AddressSanitizer sees any read of freed memory)
    EXPECT_TRUE(testing::SameRow(view.get(), 0, expected.get(), 4));
    EXPECT_TRUE(testing::SameRow(view.get(), 2, expected.get(), 1));
    EXPECT_EQ(At(view.get(), 0, 1), (Pixel{0, 0, 0, 0}));  // rows not shared stay its own
    view.reset();
    EXPECT_TRUE(testing::SameRow(second.get(), 0, expected.get(), 4));
    EXPECT_EQ(At(second.get(), 3, 1), (Pixel{257, 514, 771, 65535}));
  }
}

TEST(ImageModel, RowsThatCannotBeSharedAreRefusedUnchanged) {
  auto source = testing::Numbered(4, 4, Depth16);
  auto view = host::MakeImage(4, 4, Depth16);
  uint8_t* own[4];
  std::memcpy(own, view->RowTable, sizeof own);
  auto narrower = host::MakeImage(3, 4, Depth16);
  auto other = testing::Numbered(4, 4, DepthFloat);
  auto foreign = testing::CustomStorageCopy(source.get());
  EXPECT_FALSE(view->ShareRow(0, narrower.get(), 0));  // another width
  EXPECT_FALSE(view->ShareRow(0, other.get(), 0));     // another format
  EXPECT_FALSE(view->ShareRow(0, foreign.get(), 0));   // not the host's own image
  EXPECT_FALSE(foreign->ShareRow(0, source.get(), 0));
  EXPECT_FALSE(view->ShareRow(0, view.get(), 1));  // two rows of one image would alias
  EXPECT_FALSE(view->ShareRow(0, nullptr, 0));
  for (auto [y, sy] : {std::pair{-1, 0}, std::pair{4, 0}, std::pair{0, -1}, std::pair{0, 4}})
    EXPECT_FALSE(view->ShareRow(y, source.get(), sy)) << y << " " << sy;
  EXPECT_EQ(std::memcmp(own, view->RowTable, sizeof own), 0);
}

TEST(ImageModel, BudgetRefusesLargeImagesBeforeAllocating) {
  uint64_t before = host::ImageBudget();
  host::SetImageBudget(1 << 20);
  EXPECT_THROW(host::MakeImage(1024, 1024, Depth16), host::ImageBudgetError);
  try {
    host::MakeImage(1024, 1024, Depth16);
  } catch (const host::ImageBudgetError& e) {
    EXPECT_NE(std::string(e.what()).find("1024 x 1024"), std::string::npos) << e.what();
  }
  EXPECT_NO_THROW(host::MakeImage(256, 256, Depth16));
  host::SetImageBudget(before);
  // A byte count that would wrap 64 bits is refused, not wrapped into a small allocation.
  EXPECT_THROW(host::MakeImage(2147483647, 2147483647, DepthFloat), host::ImageBudgetError);
  host::SetImageBudget(~uint64_t(0));
  EXPECT_THROW(host::MakeImage(2147483647, 2147483647, DepthFloat), host::ImageBudgetError);
  host::SetImageBudget(before);
}

TEST(PixelCursor, StepsOnePixelPerNextAndGetDoesNotMove) {
  auto im = testing::Numbered(5, 3, Depth16);
  PixelCursor c(im.get(), 1, 2);
  Pixel a, b;
  c.Get(a);
  c.Get(b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.B, 1u);
  EXPECT_EQ(a.G, 2u);
  c.MoveTo(0, 1);
  for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(c.GetNext(a).B, uint32_t(x));
  EXPECT_EQ(c.Address(), im->RowTable[1] + 5 * im->BytesPerPixel);  // one past the row
  PixelCursor w(im.get(), 4, 0);
  w.PutNext(Pixel{9, 9, 9, 9});
  EXPECT_EQ(At(im.get(), 4, 0), (Pixel{9, 9, 9, 9}));
  EXPECT_EQ(At(im.get(), 0, 1).B, 0u);  // the next row was not touched
}

TEST(ImageOps, FillSetGetAndCopy) {
  auto im = host::MakeImage(4, 3, Depth8);
  im->Fill(0, 257, 514, 65535);
  EXPECT_EQ(At(im.get(), 3, 2), (Pixel{0, 257, 514, 65535}));
  im->SetPixel(10, 10, Pixel{1, 1, 1, 1});  // outside: ignored
  EXPECT_EQ(At(im.get(), 10, 10), (Pixel{0, 0, 0, 0}));
  Image* copy = im->CopyOfImage();
  EXPECT_TRUE(testing::SameBytes(copy, im.get()));
  copy->Recycle();
  auto f = host::MakeImage(2, 2, DepthFloat);
  f->Fill(FltPixel{0.5f, 1.5f, -2.0f, 1.0f});
  EXPECT_EQ(AtFlt(f.get(), 1, 1).G, 1.5f);
}

// Another host's image: 8-bit samples in red, green, blue, alpha order, its rows apart by more
// than a row's bytes.
class RgbaImage : public Image {
 public:
  RgbaImage(int32_t w, int32_t h) : bytes_(size_t(h) * (size_t(w) * 4 + 12), 0), rows_(size_t(h)) {
    Width = w;
    Height = h;
    Depth = Depth8;
    BytesPerPixel = 4;
    Storage = StorageCustom;
    for (int32_t y = 0; y < h; ++y) rows_[size_t(y)] = bytes_.data() + size_t(y) * (size_t(w) * 4 + 12);
    RowTable = rows_.data();
    ReadPixel = [](const Image*, const void* a, Pixel& p) {
      auto* s = static_cast<const uint8_t*>(a);
      p = Pixel{s[2] * 257u, s[1] * 257u, s[0] * 257u, s[3] * 257u};
    };
    ReadFltPixel = [](const Image*, const void* a, FltPixel& p) {
      auto* s = static_cast<const uint8_t*>(a);
      p = FltPixel{s[2] / 255.0f, s[1] / 255.0f, s[0] / 255.0f, s[3] / 255.0f};
    };
    WritePixel = [](const Image*, void*, const Pixel&) {};
    WriteFltPixel = [](const Image*, void*, const FltPixel&) {};
  }
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t*> rows_;
};

TEST(ImageOps, CopyOfAnotherHostsImageConvertsItsPixels) {
  RgbaImage foreign(3, 2);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) {
      uint8_t* px = foreign.RowTable[y] + x * 4;
      px[0] = uint8_t(10 + x), px[1] = uint8_t(20 + y), px[2] = uint8_t(30 + x + y), px[3] = 200;
    }
  host::ImagePtr copy(foreign.CopyOfImage());
  ASSERT_EQ(copy->Storage, StorageBgra8);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) {
      const uint8_t* px = copy->RowTable[y] + x * 4;  // blue, green, red, alpha
      EXPECT_EQ(px[0], 30 + x + y);
      EXPECT_EQ(px[1], 20 + y);
      EXPECT_EQ(px[2], 10 + x);
      EXPECT_EQ(px[3], 200);
    }
}

TEST(ImageOps, SizingLeavesPixelsAloneAndKeepsSizes) {
  auto src = testing::Flat(8, 6, Depth16, Pixel{1000, 2000, 3000, 65535});
  host::ScopedSizing sizing;
  host::ImagePtr resized(src->ResizeOfImage(5, 4));
  host::ImagePtr copy(src->CopyOfImage());
  EXPECT_EQ(resized->Width, 5);
  EXPECT_EQ(resized->Height, 4);
  EXPECT_EQ(resized->Depth, Depth16);
  EXPECT_EQ(copy->Width, 8);
  EXPECT_EQ(At(resized.get(), 1, 1), (Pixel{0, 0, 0, 0}));
  EXPECT_EQ(At(copy.get(), 1, 1), (Pixel{0, 0, 0, 0}));
  auto target = host::MakeImage(8, 6, Depth16);
  src->ImageBlur(target.get(), 4, 1, 1, 1, 1, 2.0, 2.0);
  target->OXMerge(src.get(), 0, 0);
  target->Fill(9, 9, 9, 9);
  EXPECT_EQ(At(target.get(), 3, 3), (Pixel{0, 0, 0, 0}));
}

TEST(ImageOps, ResizeKeepsFlatColoursAndSizes) {
  auto src = testing::Flat(32, 48, Depth16, Pixel{1000, 20000, 40000, 65535});
  Image* big = src->ResizeOfImage(64, 64, 0, 1, 100);
  ASSERT_EQ(big->Width, 64);
  ASSERT_EQ(big->Height, 64);
  EXPECT_EQ(big->Depth, Depth16);
  for (int32_t y = 0; y < 64; y += 7)
    for (int32_t x = 0; x < 64; x += 5) EXPECT_EQ(At(big, x, y), (Pixel{1000, 20000, 40000, 65535}));
  big->Recycle();
  // Shrinking averages: a 2x1 black/white pair becomes mid grey.
  auto pair = host::MakeImage(2, 1, DepthFloat);
  pair->SetPixel(1, 0, FltPixel{1, 1, 1, 1});
  Image* one = pair->ResizeOfImage(1, 1);
  EXPECT_NEAR(AtFlt(one, 0, 0).G, 0.5f, 1e-6);
  one->Recycle();
}

TEST(ImageOps, BlurSpreadsAndKeepsTotals) {
  auto src = host::MakeImage(21, 21, DepthFloat);
  src->SetPixel(10, 10, FltPixel{1, 1, 1, 1});
  auto dst = host::MakeImage(21, 21, DepthFloat);
  src->ImageBlur(dst.get(), 4, 1, 1, 1, 1, 1.0, 1.0, 1.0, 1.0);
  double total = 0;
  for (int32_t y = 0; y < 21; ++y)
    for (int32_t x = 0; x < 21; ++x) total += AtFlt(dst.get(), x, y).G;
  EXPECT_NEAR(total, 1.0, 1e-5);
  EXPECT_LT(AtFlt(dst.get(), 10, 10).G, 0.2f);
  EXPECT_GT(AtFlt(dst.get(), 11, 10).G, 0.05f);
  EXPECT_NEAR(AtFlt(dst.get(), 11, 10).G, AtFlt(dst.get(), 10, 9).G, 1e-6);  // symmetric
  // A zero radius copies.
  src->ImageBlur(dst.get(), 4, 1, 1, 1, 1, 0.0, 0.0, 1.0, 1.0);
  EXPECT_TRUE(testing::SameBytes(src.get(), dst.get()));
}

TEST(ImageOps, MergeIsPremultipliedOverAndClipsAtEdges) {
  auto dst = testing::Flat(4, 4, Depth16, Pixel{0, 0, 65535, 65535});
  auto fig = testing::Flat(3, 3, Depth16, Pixel{0, 32768, 0, 32768});  // half-covering green
  dst->OXMerge(fig.get(), -1, -1);
  Pixel p = At(dst.get(), 0, 0);
  EXPECT_EQ(p.G, 32768u);
  EXPECT_NEAR(double(p.R), 65535.0 * (1.0 - 32768.0 / 65535.0), 1.0);
  EXPECT_EQ(p.A, 65535u);
  EXPECT_EQ(At(dst.get(), 2, 2), (Pixel{0, 0, 65535, 65535}));  // outside the figure
  dst->OXMerge(fig.get(), 100, 100);                            // wholly outside: nothing
  auto empty = host::MakeImage(0, 0, Depth16);
  dst->OXMerge(empty.get(), 0, 0);
  // A float figure onto a 16-bit image goes through the access routines.
  auto opaque = testing::Flat(1, 1, DepthFloat, Pixel{65535, 0, 0, 65535});
  dst->OXMerge(opaque.get(), 3, 3);
  EXPECT_EQ(At(dst.get(), 3, 3), (Pixel{65535, 0, 0, 65535}));
}

}  // namespace
}  // namespace orvanta

namespace orvanta {
namespace {

// Writes the pixels through the routines of one image and the inline cursors of the other, then
// checks that both hold the same bytes and read back alike.
void WriteAndCompare(Image* viaRoutines, Image* viaInline, const Pixel (&pixels)[3],
                     const FltPixel (&flts)[3]) {
  PixelCursor r(viaRoutines, 0, 0);
  for (const Pixel& p : pixels) r.PutNext(p);
  for (const FltPixel& f : flts) r.PutNextFlt(f);
  WithCursor(viaInline, 0, 0, [&](auto& c) {
    for (const Pixel& p : pixels) c.PutNext(p);
    for (const FltPixel& f : flts) c.PutNextFlt(f);
  });
  ASSERT_TRUE(testing::SameBytes(viaRoutines, viaInline)) << viaInline->Storage;
  WithCursors(viaInline, 0, 0, viaRoutines, 0, 0, [&](auto& a, auto& b) {
    PixelCursor check(viaRoutines, 0, 0);
    for (int32_t x = 0; x < 6; ++x) {
      Pixel p1, p2;
      FltPixel f1, f2;
      a.Get(p1);
      check.Get(p2);
      a.GetFlt(f1);
      check.GetFlt(f2);
      EXPECT_EQ(p1, p2);
      EXPECT_EQ(std::memcmp(&f1, &f2, sizeof f1), 0);
      a.Next();
      check.Next();
      b.Next();
    }
  });
}

// The inline cursors must agree with the image's own routines bit for bit, in every format and
// both sample orders; an RGBA image holds the samples of a BGRA one with red and blue exchanged.
TEST(PixelCursor, FormatCursorsMatchTheAccessRoutines) {
  const Pixel pixels[] = {{0, 1, 256, 257}, {65535, 70000, 32767, 32768}, {12345, 54321, 0, 65534}};
  const FltPixel flts[] = {
      {0.f, 1.f, -0.5f, 2.f}, {0.25f, 0.75f, 1e-6f, 0.999999f}, {NAN, INFINITY, 0.5f, 0.1f}};
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    std::vector<uint8_t> bgra;
    for (host::SampleOrder order : {host::SampleOrder::kBgra, host::SampleOrder::kRgba}) {
      auto viaRoutines = host::MakeImage(6, 1, depth, true, order);
      auto viaInline = host::MakeImage(6, 1, depth, true, order);
      ASSERT_EQ(host::OrderOf(viaInline.get()), order);
      WriteAndCompare(viaRoutines.get(), viaInline.get(), pixels, flts);
      const size_t bytes = size_t(6) * viaInline->BytesPerPixel, sample = viaInline->BytesPerPixel / 4;
      if (order == host::SampleOrder::kBgra) {
        bgra.assign(viaInline->RowTable[0], viaInline->RowTable[0] + bytes);
        continue;
      }
      for (size_t px = 0; px < bytes; px += 4 * sample)
        for (size_t place = 0; place < 4; ++place)
          EXPECT_EQ(
              std::memcmp(viaInline->RowTable[0] + px + place * sample,
                          bgra.data() + px + size_t(ChannelAtPlace(true, int32_t(place))) * sample, sample),
              0)
              << depth << " pixel " << px / (4 * sample) << " place " << place;
    }
  }
}

// Images of the two orders together (a cursor of each's own kind, or the routines): the same
// pixels read alike, and a merge of one onto the other gives the pixels of a merge within one order.
TEST(PixelCursor, ImagesOfBothOrdersMeetPixelForPixel) {
  auto bgra = host::MakeImage(5, 2, Depth16, true, host::SampleOrder::kBgra);
  auto rgba = host::MakeImage(5, 2, Depth16, true, host::SampleOrder::kRgba);
  for (int32_t x = 0; x < 5; ++x)
    for (Image* im : {bgra.get(), rgba.get()})
      im->SetPixel(x, 1, Pixel{uint32_t(1000 * x), 2000, uint32_t(65535 - 999 * x), uint32_t(13107 * x)});
  for (auto [a, b] : {std::pair{bgra.get(), rgba.get()}, std::pair{rgba.get(), bgra.get()}})
    WithCursors(a, 0, 1, b, 0, 1, [&](auto& ca, auto& cb) {
      for (int32_t x = 0; x < 5; ++x) {
        Pixel pa, pb;
        EXPECT_EQ(ca.GetNext(pa), cb.GetNext(pb)) << x;
      }
    });
  auto ontoBgra = host::MakeImage(5, 2, Depth16, true, host::SampleOrder::kBgra);
  auto ontoRgba = host::MakeImage(5, 2, Depth16, true, host::SampleOrder::kRgba);
  ontoBgra->Fill(30000, 20000, 10000, 65535);
  ontoRgba->Fill(30000, 20000, 10000, 65535);
  ontoBgra->OXMerge(bgra.get(), 0, 0);
  ontoRgba->OXMerge(bgra.get(), 0, 0);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 5; ++x)
      EXPECT_EQ(At(ontoRgba.get(), x, y), At(ontoBgra.get(), x, y)) << x << "," << y;
}

// The images made in a render target: the first of the target's kind takes its pixels (cleared
// or not as asked), later ones and other kinds are the host's own, and rows are not shared out
// of the target's memory.
TEST(ImageModel, TheFirstImageOfTheTargetsKindIsMadeInItsPixels) {
  auto target = host::MakeImage(5, 3, Depth16, false, host::SampleOrder::kRgba);
  target->Fill(1, 2, 3, 4);
  {
    auto bgra = host::MakeImage(5, 3, Depth16, false);
    host::ScopedRenderTarget scope(target.get());
    host::ImagePtr otherKind(NewImage(TagList{{ImLike, static_cast<const Image*>(bgra.get())}}));
    host::ImagePtr first(NewImage(TagList{{ImLike, static_cast<const Image*>(target.get())}}));
    host::ImagePtr second(NewImage(TagList{{ImLike, static_cast<const Image*>(target.get())}}));
    EXPECT_NE(otherKind->RowTable[0], target->RowTable[0]);
    EXPECT_NE(second->RowTable[0], target->RowTable[0]);
    ASSERT_EQ(first->Storage, StorageRgba16);
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(first->RowTable[y], target->RowTable[y]);
    EXPECT_EQ(At(target.get(), 4, 2), (Pixel{0, 0, 0, 0}));  // asked for cleared
    first->SetPixel(1, 1, Pixel{9, 8, 7, 6});
    EXPECT_EQ(At(target.get(), 1, 1), (Pixel{9, 8, 7, 6}));
    // An image made in the target is not a source of shared rows: nothing keeps that memory.
    EXPECT_FALSE(second->ShareRow(0, first.get(), 0));
    EXPECT_TRUE(first->ShareRow(0, second.get(), 2));  // the other way is an ordinary share
  }
  {
    host::ScopedRenderTarget scope(target.get());
    host::ScopedSizing sizing;  // sizing renders write nothing, so they take no target
    host::ImagePtr sized(NewImage(TagList{{ImLike, static_cast<const Image*>(target.get())}}));
    EXPECT_NE(sized->RowTable[0], target->RowTable[0]);
  }
  host::ImagePtr after(
      NewImage(TagList{{ImLike, static_cast<const Image*>(target.get())}, {ImUncleared, 1}}));
  EXPECT_NE(after->RowTable[0], target->RowTable[0]);
  RgbaImage foreign(2, 2);
  EXPECT_THROW(host::ScopedRenderTarget{&foreign}, std::invalid_argument);
}

}  // namespace
}  // namespace orvanta

namespace orvanta {
namespace {

TEST(ImageOps, MergingInRowBandsEqualsOneMerge) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    auto fig = testing::Numbered(7, 9, depth);
    for (int32_t y = 0; y < 9; ++y) fig->SetPixel(3, y, Pixel{1000, 2000, 3000, 20000});
    auto whole = testing::Flat(12, 12, depth, Pixel{30000, 20000, 10000, 40000});
    Image* banded = whole->CopyOfImage();
    whole->OXMerge(fig.get(), 2, -3);
    for (int32_t top = 0; top < 12; top += 5) banded->OXMergeRows(fig.get(), 2, -3, top, top + 5);
    EXPECT_TRUE(testing::SameBytes(whole.get(), banded)) << depth;
    banded->Recycle();
  }
}

}  // namespace
}  // namespace orvanta
