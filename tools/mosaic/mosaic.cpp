// OrvantaMosaic: lays a brick-like texture out of up to twenty tiles. The output is a grid of
// tile-sized cells; every other row is shifted by its own x offset, and every cell shows a tile
// drawn at random from a window of the connected tiles. One chunk fills one tile column, with its
// own generator, so the layout never depends on the thread count or the order of the chunks.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"

namespace orvanta {
namespace {

// The runtime's classic linear congruential generator, reproduced exactly: the layout of a given
// seed depends on this sequence.
struct TileRandom {
  uint32_t state;
  uint32_t Draw() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFFu;
  }
};

// Unsigned remainder; a divisor of 0 stands for 2^32, which every draw lies below, so the draw
// itself is the remainder (as for every other out-of-order window).
inline uint32_t Remainder(uint32_t draw, uint32_t divisor) { return divisor ? draw % divisor : draw; }

// Whole-pixel shift of a line: W x offset, rounded down. For offsets from 0 up this is the
// truncation of the cell position; rounding down also for negative offsets keeps every column
// exactly W pixels from the next, so no two chunks ever cover the same pixel. NaN leaves the line
// unshifted; a shift beyond any image is held at a distance where all cells fall outside.
inline int64_t LineShift(int32_t tileWidth, double offset) {
  constexpr double kFar = 1e12;
  double s = std::floor(double(tileWidth) * offset);
  if (!(s == s)) return 0;
  return int64_t(std::clamp(s, -kFar, kFar));
}

}  // namespace

class MosaicOperator : public Tool<MosaicOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaMosaic",     0x84290008,
      "OrvaMosaic",        "Msc",
      "OrvantaMosaic",     "Create seamless textures like brick-walls using a set of single tiles.",
      "Built: Oct 14 2005"};

  static constexpr int kSlots = 20;

  // 2. Declarations, in display order.
  enum { kInput, kSeed, kStart, kEnd, kTolerance, kOffsetA, kOffsetB, kTile1, kInputCount = kTile1 + kSlots };

  static uint32_t TileId(int k) {
    if (k <= 9) return 0x00544900u | (uint32_t(0x30 + k) << 24);
    const char digits[] = {char('0' + k / 10), char('0' + k % 10)};
    return uint32_t('I') | uint32_t('T') << 8 | uint32_t(uint8_t(digits[0])) << 16 |
           uint32_t(uint8_t(digits[1])) << 24;
  }

  static std::vector<Row> Declarations() {
    static const char* const kTileLabels[kSlots] = {"Tile 1 (required)",
                                                    "Tile 2",
                                                    "Tile 3",
                                                    "Tile 4",
                                                    "Tile 5",
                                                    "Tile 6",
                                                    "Tile 7",
                                                    "Tile 8",
                                                    "Tile 9",
                                                    "Tile 10",
                                                    "Tile 11",
                                                    "Tile 12",
                                                    "Tile 13",
                                                    "Tile 14",
                                                    "Tile 15",
                                                    "Tile 16",
                                                    "Tile 17",
                                                    "Tile 18",
                                                    "Tile 19",
                                                    "Tile 20"};
    std::vector<Row> rows = {
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        PageRow("Controls"),
        InputRow("seed", NumberDataType, FourCC("SEED"),
                 {{InControl, ScrollControl},
                  {InWholeNumbers, 1},
                  {InRangeLow, 1.0},
                  {InRangeHigh, 65535.0},
                  {InLimitLow, 1.0},
                  {InLimitHigh, 65535.0},
                  {InDefault, 1.0},
                  {InLinkOption, 1}}),
        InputRow("Probability Start", NumberDataType, FourCC("PRBL"),
                 {{InControl, RangeControl},
                  {InGroup, 1},
                  {InGroupIndex, 0},
                  {InRangeLow, 1.0},
                  {InRangeHigh, 20.0},
                  {InDefault, 1.0}}),
        InputRow("Probability End", NumberDataType, FourCC("PRBH"),
                 {{InControl, RangeControl},
                  {InGroup, 1},
                  {InGroupIndex, 1},
                  {InRangeLow, 1.0},
                  {InRangeHigh, 20.0},
                  {InDefault, 20.0}}),
        InputRow("Tolerance", NumberDataType, 0x4C4F5400,
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 20.0}, {InDefault, 0.0}}),
        InputRow("xOffset Line A", NumberDataType, 0x414F5800,
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 1.0}, {InDefault, 0.0}}),
        InputRow("xOffset Line B", NumberDataType, 0x424F5800,
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 1.0}, {InDefault, 0.5}}),
    };
    for (int k = 1; k <= kSlots; ++k) {
      if (k == 1) rows.push_back(PageRow("Tiles 1-10"));
      if (k == 11) rows.push_back(PageRow("Tiles 11-20"));
      rows.push_back(InputRow(kTileLabels[k - 1], ImageDataType, TileId(k),
                              {{InRequired, k == 1 ? 1 : 0}, {InLinkOption, -1}, {InControl, ImageControl}}));
    }
    rows.push_back(ImageOutputRow());
    return rows;
  }

  MosaicOperator(Registry* reg, CArchive* archive, TagList* tags) : Tool(reg, archive, tags) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering the request.
  void Process(Request* req) override {
    source_ = ImageValue(in_[kInput], req);
    if (!source_) return;  // nothing to size the output by; the host reports the missing image
    width_ = source_->Width;
    height_ = source_->Height;
    float_ = source_->Depth == DepthFloat;

    start_ = WholeValue(in_[kStart], req);
    end_ = WholeValue(in_[kEnd], req);
    tolerance_ = WholeValue(in_[kTolerance], req);
    offsetA_ = NumberValue(in_[kOffsetA], req);
    offsetB_ = NumberValue(in_[kOffsetB], req);
    seed_ = WholeValue(in_[kSeed], req);
    // Divisors as the unsigned 32-bit values of end - start + 1 and tolerance + 1, formed without
    // signed overflow.
    window_ = uint32_t(int64_t(end_) - int64_t(start_) + 1);
    spreadDivisor_ = uint32_t(int64_t(tolerance_) + 1);

    // Slot 1 sets the tile size; without a usable tile 1 the output stays cleared.
    Image* tile1 = ImageValue(in_[kTile1], req);
    if (!tile1 || tile1->Width <= 0 || tile1->Height <= 0) {
      Publish(req, output_, NewImageLike(source_, Clearing::kCleared));
      return;
    }
    tileWidth_ = tile1->Width;
    tileHeight_ = tile1->Height;
    slot_[1] = tile1;
    list_[0] = 1;
    count_ = 1;

    // Images made for this request: blank stand-ins and resized copies, released on every way out.
    OwnedImage made[kSlots];
    for (int k = 2; k <= kSlots; ++k) {
      Image* tile = ImageValue(in_[kTile1 + k - 1], req);
      if (!tile) {
        made[k - 1] = NewImageLike(tile1, Clearing::kCleared);
        slot_[k] = made[k - 1].get();  // never drawn: it stays out of the tile list
        continue;
      }
      if (tile->Width != tileWidth_ || tile->Height != tileHeight_) {
        OwnedImage resized(tile->ResizeOfImage(tileWidth_, tileHeight_, 0, 1, 100));
        made[k - 1].reset(resized->CopyOfImage());
        tile = made[k - 1].get();
      }
      slot_[k] = tile;
      list_[count_++] = k;
    }

    // One spare column and row, so shifted rows still reach the right and bottom edges.
    columns_ = int32_t(std::min<int64_t>(int64_t(width_) / tileWidth_ + 1, INT32_MAX));
    rows_ = int32_t(std::min<int64_t>(int64_t(height_) / tileHeight_ + 1, INT32_MAX));
    shiftA_ = LineShift(tileWidth_, offsetA_);
    shiftB_ = LineShift(tileWidth_, offsetB_);

    // The cells cover the output but for the strips left and right of shifted lines, which the
    // first and last columns clear; so the output is not cleared first.
    OwnedImage result = NewImageLike(source_, Clearing::kUncleared);
    result_ = result.get();
    DoMultiProcess(req, columns_);
    Publish(req, output_, std::move(result));
    result_ = nullptr;
  }

  // 4. One tile column.
  void ProcessChunk(Request*, int32_t c) override {
    TileRandom random{(uint32_t(c) + 1u) * uint32_t(seed_)};
    bool lineA = true;
    for (int32_t r = 0; r < rows_; ++r) {
      int64_t index = int64_t(Remainder(random.Draw(), window_)) + start_ - 1;
      const int64_t spread = Remainder(random.Draw(), spreadDivisor_);
      index += (random.Draw() & 1u) ? spread : -spread;
      if (index < 0) index = 0;
      if (index > count_ - 1) index = count_ - 1;
      const int64_t x0 = int64_t(c) * tileWidth_ + (lineA ? shiftA_ : shiftB_);
      lineA = !lineA;
      CopyCell(slot_[list_[index]], x0, int64_t(r) * tileHeight_);
    }
    if (c == 0 || c == columns_ - 1) ClearStrips(c);
  }

 private:
  // Clears, on every cell row, what lies left of column 0's cell (for chunk 0) and right of the
  // last column's cell (for the last chunk): no cell touches those pixels.
  void ClearStrips(int32_t c) {
    const int64_t span = int64_t(columns_) * tileWidth_;
    for (int64_t r = 0; r < rows_ && r * tileHeight_ < height_; ++r) {
      const int64_t shift = r % 2 == 0 ? shiftA_ : shiftB_;
      const int32_t top = int32_t(r * tileHeight_);
      const int32_t bottom = int32_t(std::min<int64_t>(height_, (r + 1) * tileHeight_));
      if (c == 0 && shift > 0) ClearRows(result_, top, bottom, 0, int32_t(std::min<int64_t>(shift, width_)));
      if (c == columns_ - 1 && span + shift < width_)
        ClearRows(result_, top, bottom, int32_t(std::max<int64_t>(0, span + shift)), width_);
    }
  }

  // Copies the tile into the cell at (x0, y0), clipped to the output per pixel.
  void CopyCell(Image* tile, int64_t x0, int64_t y0) {
    const int64_t tx0 = std::max<int64_t>(0, -x0);
    const int64_t tx1 = std::min<int64_t>(tileWidth_, int64_t(width_) - x0);
    const int64_t ty1 = std::min<int64_t>(tileHeight_, int64_t(height_) - y0);
    if (tx0 >= tx1 || ty1 <= 0) return;
    const int32_t n = int32_t(tx1 - tx0);
    const int32_t sx = int32_t(tx0), dx = int32_t(x0 + tx0);
    if (tile->Storage != StorageCustom && tile->Storage == result_->Storage) {
      // One host format on both sides: moving a pixel keeps its bytes, so rows go as bytes.
      const size_t bpp = result_->BytesPerPixel;
      for (int32_t ty = 0; ty < int32_t(ty1); ++ty)
        std::memcpy(result_->RowTable[y0 + ty] + size_t(dx) * bpp, tile->RowTable[ty] + size_t(sx) * bpp,
                    size_t(n) * bpp);
      return;
    }
    WithCursors(tile, 0, 0, result_, 0, 0, [&](auto& s, auto& d) {
      for (int32_t ty = 0; ty < int32_t(ty1); ++ty) {
        s.MoveTo(sx, ty);
        d.MoveTo(dx, int32_t(y0 + ty));
        if (float_) {
          FltPixel p;
          for (int32_t i = 0; i < n; ++i) d.PutNextFlt(s.GetNextFlt(p));
        } else {
          Pixel p;
          for (int32_t i = 0; i < n; ++i) d.PutNext(s.GetNext(p));
        }
      }
    });
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;
  Image* result_ = nullptr;
  int32_t width_ = 0, height_ = 0;
  bool float_ = false;
  Image* slot_[kSlots + 1] = {};  // slots 1..20, all of the tile size
  int32_t list_[kSlots] = {};
  int32_t count_ = 0;
  int32_t tileWidth_ = 0, tileHeight_ = 0;
  int32_t start_ = 1, end_ = 20, tolerance_ = 0, seed_ = 1;
  uint32_t window_ = 20, spreadDivisor_ = 1;
  double offsetA_ = 0.0, offsetB_ = 0.5;
  int64_t shiftA_ = 0, shiftB_ = 0;
  int32_t columns_ = 0, rows_ = 0;
};

ORVANTA_REGISTER_TOOL(MosaicOperator)

}  // namespace orvanta
