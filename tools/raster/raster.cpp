// OrvantaRaster: lays coloured scanlines over footage, as rows, columns or both. Each direction
// repeats a cycle of input lines and colour lines; "keep input size" replaces input lines in place,
// "stretch input" repeats every input line and inserts the colour lines, so the output grows.
// Where a colour row crosses a colour column the two colours are blended.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"

namespace orvanta {

class RasterOperator : public Tool<RasterOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaRaster",     0x84290004,
      "OrvaRaster",        "Rstr",
      "OrvantaRaster",     "Add variable scanlines to footage, both horizontally and vertically.",
      "Built: Oct 14 2005"};

  // 2. Declarations, in display order. The two directions declare the same controls; only their
  // ids, their colour group and the checkbox default differ.
  // Offsets within a direction's block of inputs, then the inputs of the whole tool.
  static constexpr int32_t kActive = 0, kMode = 1, kOrder = 2, kShow = 3, kColour = 4, kRed = 5,
                           kDirCount = 9;
  static constexpr int32_t kInput = 0, kHorizontal = 1, kVertical = kHorizontal + kDirCount,
                           kBlend = kVertical + kDirCount, kInputCount = kBlend + 1;

  // The items of a direction's "Mode" and "Scanline Order", and of "Blend Mode" (multiply and
  // divide are not listed: only a value driven from elsewhere reaches them).
  enum ScanlineMode : int32_t { kKeepInputSize, kStretchInput };
  enum LineOrder : int32_t { kInputFirst, kColourFirst };
  enum BlendMode : int32_t { kWriteOver, kAdd, kSubtract, kMultiply, kDivide };

  struct DirectionIds {
    const char* page;
    uint32_t ids[kDirCount];
    int32_t group;
    double activeDefault;
  };
  static constexpr DirectionIds kHorizontalIds = {
      "horizontal Scanlines",
      {0x48536100, FourCC("MODH"), FourCC("SCOH"), FourCC("BSCH"), FourCC("CSCH"), 0x48524300, 0x48474300,
       0x48424300, 0x48414300},
      1,
      1.0};
  static constexpr DirectionIds kVerticalIds = {
      "vertical Scanlines",
      {0x56536100, FourCC("MODV"), FourCC("SCOV"), FourCC("BSCV"), FourCC("CSCV"), 0x56524300, 0x56474300,
       0x56424300, 0x56414300},
      2,
      0.0};

  static void AddDirection(std::vector<Row>& rows, const DirectionIds& d) {
    const TagList count = {{InControl, ScrollControl}, {InWholeNumbers, 1}, {InRangeLow, 1.0},
                           {InRangeHigh, 255.0},       {InLimitLow, 1.0},   {InLimitHigh, 255.0},
                           {InDefault, 1.0},           {InLinkOption, 1}};
    rows.push_back(PageRow(d.page));
    rows.push_back(InputRow("activate Scanlines", NumberDataType, d.ids[kActive],
                            {{InControl, CheckboxControl}, {InDefault, d.activeDefault}, {InRowCount, 1}}));
    rows.push_back(InputRow(
        "Mode", NumberDataType, d.ids[kMode],
        {{InControl, ComboControl}, {InListItem, "keep input size"}, {InListItem, "stretch input"}}));
    rows.push_back(InputRow(
        "Scanline Order", NumberDataType, d.ids[kOrder],
        {{InControl, ComboControl}, {InListItem, "show input first"}, {InListItem, "show color first"}}));
    rows.push_back(InputRow("scanlines showing input", NumberDataType, d.ids[kShow], count));
    rows.push_back(InputRow("scanlines showing Color", NumberDataType, d.ids[kColour], count));
    const std::vector<Row> colour = ColourRows("Scanline Color", d.group,
                                               {{"Red", d.ids[kRed]},
                                                {"Green", d.ids[kRed + 1]},
                                                {"Blue", d.ids[kRed + 2]},
                                                {"Alpha", d.ids[kRed + 3]}});
    rows.insert(rows.end(), colour.begin(), colour.end());
  }

  static std::vector<Row> Declarations() {
    std::vector<Row> rows = {InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}})};
    AddDirection(rows, kHorizontalIds);
    AddDirection(rows, kVerticalIds);
    rows.push_back(InputRow("Blend Mode", NumberDataType, FourCC("BMDV"),
                            {{InControl, ComboControl},
                             {InListItem, "none (write over)"},
                             {InListItem, "add"},
                             {InListItem, "subtract"}}));
    rows.push_back(ImageOutputRow());
    return rows;
  }

  RasterOperator(Registry* reg, CArchive* archive, TagList* tags) : Tool(reg, archive, tags) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering, once per request.
  void Process(Request* req) override {
    source_ = ImageValue(in_[kInput], req);
    if (!source_) return;  // the host refuses the request before this; nothing to render
    width_ = source_->Width;
    height_ = source_->Height;
    float_ = source_->Depth == DepthFloat;
    const double fullScale = FullScaleOf(source_->Depth);
    h_ = ReadDirection(req, kHorizontal);
    v_ = ReadDirection(req, kVertical);
    if (!h_.active && !v_.active) {
      output_->Set(req, source_->CopyOfImage());
      return;
    }

    // Stretched sizes in 64 bits: counts driven from elsewhere can be huge.
    const int64_t ow = v_.keepSize ? width_ : int64_t(width_) * v_.period;
    const int64_t oh = h_.keepSize ? height_ : int64_t(height_) * h_.period;
    constexpr int64_t kMaxSide = INT32_MAX, kMaxPixels = int64_t(1) << 56;
    if (ow > kMaxSide || oh > kMaxSide || ow * oh > kMaxPixels)
      throw std::length_error("a stretched output of " + std::to_string(ow) + " x " + std::to_string(oh) +
                              " pixels is too large to make");
    outWidth_ = int32_t(ow);
    outHeight_ = int32_t(oh);

    double hc[4], vc[4];  // red, green, blue, alpha in control units
    for (int32_t i = 0; i < 4; ++i) {
      hc[i] = NumberValue(in_[kHorizontal + kRed + i], req);
      vc[i] = NumberValue(in_[kVertical + kRed + i], req);
    }
    const int32_t blend = WholeValue(in_[kBlend], req);
    double hPix[4], vPix[4], xPix[4];
    for (int32_t i = 0; i < 4; ++i) {
      hPix[i] = Clamp(fullScale * hc[i]);
      vPix[i] = Clamp(fullScale * vc[i]);
      xPix[i] = Clamp(Blend(blend, fullScale, hc[i], vc[i]));
    }
    SetColour(hColour_, hPix);
    SetColour(vColour_, vPix);
    SetColour(crossColour_, xPix);

    // Every output pixel is written by the chunks, so the image need not start cleared.
    OwnedImage result = (outWidth_ == width_ && outHeight_ == height_)
                            ? NewImageLike(source_, Clearing::kUncleared)
                            : NewImageOfSize(outWidth_, outHeight_, Clearing::kUncleared);
    result_ = result.get();
    // The prepared rows go when the request ends, on every way out.
    struct ReleaseRows {
      RasterOperator* op;
      ~ReleaseRows() { op->ReleaseByteRows(); }
    } releaseRows{this};
    PrepareColumns();
    PrepareByteRows();
    RunChunksAndPublish(req, output_, std::move(result), outHeight_);
  }

  // 4. Pixel work: one output row per chunk.
  void ProcessChunk(Request*, int32_t y) override {
    if (y < 0 || y >= outHeight_) return;
    if (colourRow_)
      CopyRow(y);
    else if (float_)
      RenderRow(y, hColour_.f, vColour_.f, crossColour_.f);
    else
      RenderRow(y, hColour_.i, vColour_.i, crossColour_.i);
  }

 private:
  struct Direction {
    bool active = false;
    bool keepSize = true;
    bool colourFirst = false;
    int64_t show = 1, colour = 1, period = 2;
  };
  struct Colour {
    Pixel i;
    FltPixel f;
  };

  // A checkbox counts as ticked when its whole value is nonzero. "stretch input" and "show color
  // first" are their items exactly; any other combo value acts as the first item. Counts below 1
  // act as 1.
  Direction ReadDirection(Request* req, int32_t base) {
    Direction d;
    d.active = WholeValue(in_[base + kActive], req) != 0;
    d.keepSize = !(d.active && WholeValue(in_[base + kMode], req) == kStretchInput);
    d.colourFirst = WholeValue(in_[base + kOrder], req) == kColourFirst;
    d.show = std::max<int32_t>(1, WholeValue(in_[base + kShow], req));
    d.colour = std::max<int32_t>(1, WholeValue(in_[base + kColour], req));
    d.period = d.show + d.colour;
    return d;
  }

  // 0 below zero (and for NaN), 65535 above it, for both pixel forms.
  static double Clamp(double v) { return v > 0.0 ? (v < 65535.0 ? v : 65535.0) : 0.0; }

  // The crossing of a colour row and a colour column, before clamping; a mode no item has writes
  // the vertical colour over.
  static double Blend(int32_t mode, double full, double h, double v) {
    switch (mode) {
      case kAdd:
        return full * (h + v);
      case kSubtract:
        return full * (h - v);
      case kMultiply:
        return full * h * v;
      case kDivide:
        return v != 0.0 ? full * h / v : (h != 0.0 ? full : 0.0);
      case kWriteOver:
      default:
        return full * v;
    }
  }

  static void SetColour(Colour& c, const double* rgba) {
    c.i = Pixel{TruncToWord(rgba[2]), TruncToWord(rgba[1]), TruncToWord(rgba[0]), TruncToWord(rgba[3])};
    c.f = FltPixel{float(rgba[2]), float(rgba[1]), float(rgba[0]), float(rgba[3])};
  }

  // What each output column shows, settled once per request: colour or input, and which input
  // column when it shows input.
  void PrepareColumns() {
    isColour_.assign(size_t(outWidth_), 0);
    sourceColumn_.assign(size_t(outWidth_), 0);
    int64_t q = 0;      // position of column x within its cycle
    int32_t inCol = 0;  // x div period, the input column when stretched
    for (int32_t x = 0; x < outWidth_; ++x) {
      if (!v_.active) {
        sourceColumn_[size_t(x)] = x;
        continue;
      }
      const bool columnInput = v_.colourFirst ? q >= v_.colour : q < v_.show;
      isColour_[size_t(x)] = columnInput ? 0 : 1;
      sourceColumn_[size_t(x)] = v_.keepSize ? x : inCol;
      if (++q == v_.period) {
        q = 0;
        ++inCol;
      }
    }
  }

  // Where the input and the output use the same host storage format, an input pixel's bytes
  // are what writing it gives, so every output row is bytes copied from the input row or from
  // one of two rows written here once per request: the row as colour rows show it (horizontal
  // colour, crossings in the colour columns) and the vertical colour in the colour columns of
  // input rows.
  void PrepareByteRows() {
    if (source_->Storage == StorageCustom || source_->Storage != result_->Storage) return;
    colourRow_ = NewImageOfSize(outWidth_, 1, Clearing::kUncleared);  // both written in full below
    inputRow_ = NewImageOfSize(outWidth_, 1, Clearing::kUncleared);
    if (colourRow_->Storage != result_->Storage || inputRow_->Storage != result_->Storage) {
      ReleaseByteRows();
      return;
    }
    if (float_)
      WriteByteRows(hColour_.f, vColour_.f, crossColour_.f);
    else
      WriteByteRows(hColour_.i, vColour_.i, crossColour_.i);
    // Keep-size colour columns: a byte mask of the colour columns, so that an input row is its
    // input bytes with the colour columns' bytes replaced by the (otherwise zero) input-row colour.
    columnMask_.clear();
    if (v_.active && v_.keepSize) {
      const size_t bytes = result_->BytesPerPixel;
      columnMask_.assign(size_t(outWidth_) * bytes, 0);
      for (int32_t x = 0; x < outWidth_; ++x)
        if (isColour_[size_t(x)]) std::memset(&columnMask_[size_t(x) * bytes], 0xFF, bytes);
    }
  }

  template <class P>
  void WriteByteRows(const P& hColour, const P& vColour, const P& cross) {
    WithCursors(colourRow_.get(), 0, 0, inputRow_.get(), 0, 0, [&](auto& colour, auto& input) {
      for (int32_t x = 0; x < outWidth_; ++x) {
        const bool c = isColour_[size_t(x)] != 0;
        WriteNext(colour, c ? cross : hColour);
        WriteNext(input, c ? vColour : P{});
      }
    });
  }

  void ReleaseByteRows() {
    colourRow_.reset();
    inputRow_.reset();
  }

  // Whether output row y shows input, and which input row.
  void RowSource(int32_t y, bool& rowInput, int32_t& inRow) const {
    rowInput = true;
    inRow = y;
    if (h_.active) {
      const int64_t p = y % h_.period;
      rowInput = h_.colourFirst ? p >= h_.colour : p < h_.show;
      if (!h_.keepSize) inRow = int32_t(y / h_.period);
    }
  }

  void CopyRow(int32_t y) const {
    bool rowInput;
    int32_t inRow;
    RowSource(y, rowInput, inRow);
    uint8_t* d = result_->RowTable[y];
    const size_t bytes = result_->BytesPerPixel;
    if (!rowInput) {
      std::memcpy(d, colourRow_->RowTable[0], size_t(outWidth_) * bytes);
      return;
    }
    const uint8_t* s = source_->RowTable[inRow];
    if (!v_.active) {
      std::memcpy(d, s, size_t(outWidth_) * bytes);
      return;
    }
    // The host's formats are 4, 8 or 16 bytes a pixel.
    const uint8_t* colour = inputRow_->RowTable[0];
    if (bytes == 4)
      SelectRow<4>(d, s, colour);
    else if (bytes == 8)
      SelectRow<8>(d, s, colour);
    else
      SelectRow<16>(d, s, colour);
  }

  // d = (s & ~mask) | colour, 16 bytes at a time; the colour row is zero outside the mask.
  void MaskRow(uint8_t* d, const uint8_t* s, const uint8_t* colour) const {
    using V = uint64_t __attribute__((vector_size(16)));
    const uint8_t* m = columnMask_.data();
    const size_t n = columnMask_.size();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      V a, b, k;
      std::memcpy(&a, s + i, 16);
      std::memcpy(&b, colour + i, 16);
      std::memcpy(&k, m + i, 16);
      a = (a & ~k) | b;
      std::memcpy(d + i, &a, 16);
    }
    for (; i < n; ++i) d[i] = uint8_t((s[i] & ~m[i]) | colour[i]);
  }

  template <size_t kBytes>
  void SelectRow(uint8_t* d, const uint8_t* s, const uint8_t* colour) const {
    const uint8_t* isColour = isColour_.data();
    if (v_.keepSize) {  // input columns are the output's own: replace the colour columns' bytes
      MaskRow(d, s, colour);
      return;
    }
    const int32_t* column = sourceColumn_.data();
    for (int32_t x = 0; x < outWidth_; ++x) {
      const uint8_t* from = isColour[x] ? colour + size_t(x) * kBytes : s + size_t(column[x]) * kBytes;
      std::memcpy(d + size_t(x) * kBytes, from, kBytes);
    }
  }

  // The general path, through the cursors, on the same column tables.
  template <class P>
  void RenderRow(int32_t y, const P& hColour, const P& vColour, const P& cross) const {
    bool rowInput;
    int32_t inRow;
    RowSource(y, rowInput, inRow);
    // What a colour column shows on this row: its own colour, or the crossing.
    const P& columnColour = rowInput ? vColour : cross;
    const int32_t w = outWidth_;
    const uint8_t* isColour = isColour_.data();
    const int32_t* column = sourceColumn_.data();
    WithCursors(source_, 0, inRow, result_, 0, y, [&](auto& src, auto& dst) {
      P px;
      if (!v_.active && rowInput) {  // the whole row is input; OW = W here
        for (int32_t x = 0; x < w; ++x) {
          ReadNext(src, px);
          WriteNext(dst, px);
        }
        return;
      }
      for (int32_t x = 0; x < w; ++x) {
        if (isColour[x]) {
          WriteNext(dst, columnColour);
        } else if (rowInput) {
          src.MoveTo(column[x], inRow);
          ReadNext(src, px);
          WriteNext(dst, px);
        } else {
          WriteNext(dst, hColour);
        }
      }
    });
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;
  Image* result_ = nullptr;
  int32_t width_ = 0, height_ = 0, outWidth_ = 0, outHeight_ = 0;
  bool float_ = false;
  Direction h_, v_;
  Colour hColour_{}, vColour_{}, crossColour_{};
  // Per column: shows colour, and the input column it shows otherwise. The byte path's rows
  // (unset when the general path runs).
  OwnedImage colourRow_;
  OwnedImage inputRow_;
  std::vector<uint8_t> isColour_;
  std::vector<int32_t> sourceColumn_;
  std::vector<uint8_t> columnMask_;  // keep-size byte path: 0xFF in the colour columns' bytes
};

ORVANTA_REGISTER_TOOL(RasterOperator)

}  // namespace orvanta
