// OrvantaLineDrop: keeps a run of rows, drops the next run, and packs the kept rows into a
// shorter image of the same width. One row kept and one dropped separates interlaced fields.
#include <algorithm>
#include <cstring>

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"

namespace orvanta {

class LineDropOperator : public Tool<LineDropOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaLineDrop",   0x84290007,
      "OrvaLineDrop",      "LnDr",
      "OrvantaLineDrop",   "Crop certain scanlines to repair or deinterlace footage.",
      "Built: Oct 14 2005"};

  // 2. Declarations, in display order.
  enum { kInput, kOrder, kShow, kCrop, kInputCount };
  // The items of "Scanline Order".
  enum Order : int32_t { kInputFirst, kCropFirst };
  static std::vector<Row> Declarations() {
    const TagList count = {{InControl, ScrollControl}, {InWholeNumbers, 1}, {InRangeLow, 1.0},
                           {InRangeHigh, 255.0},       {InLimitLow, 1.0},   {InLimitHigh, 255.0},
                           {InDefault, 1.0},           {InLinkOption, 1}};
    return {
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        PageRow("Controls"),
        InputRow("Scanline Order", NumberDataType, FourCC("SCOH"),
                 {{InControl, ComboControl}, {InListItem, "input first"}, {InListItem, "crop first"}}),
        InputRow("scanlines showing input", NumberDataType, FourCC("BSCH"), count),
        InputRow("scanlines to crop", NumberDataType, FourCC("CSCH"), count),
        ImageOutputRow(),
    };
  }

  LineDropOperator(Registry* reg, CArchive* archive, TagList* tags) : Tool(reg, archive, tags) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering and 4. the pixel work: all on the calling thread.
  void Process(Request* req) override {
    source_ = ImageValue(in_[kInput], req);
    if (!source_) return;  // the host refuses the request before this; nothing to render
    width_ = source_->Width;
    height_ = source_->Height;
    show_ = WholeValue(in_[kShow], req);
    crop_ = WholeValue(in_[kCrop], req);
    order_ = WholeValue(in_[kOrder], req);
    // Counts below 1 cannot come from the controls; treat them as 1 so the cycle is never empty.
    if (show_ < 1) show_ = 1;
    if (crop_ < 1) crop_ = 1;
    int64_t cycle = int64_t(show_) + crop_;
    outHeight_ = int32_t(height_ - (height_ / cycle) * crop_);
    // Rows are written top down; the few the last incomplete cycle leaves are cleared below, so
    // the image need not start cleared.
    OwnedImage result = NewImageOfSize(width_, outHeight_, Clearing::kUncleared);
    result_ = result.get();
    keep_ = order_ == kInputFirst ? 1 : 0;
    kept_ = dropped_ = nextRow_ = 0;
    float_ = source_->Depth == DepthFloat;
    // Between two images of the same host storage format the pixel moves are the identity, so a
    // kept row is the input's row itself where the host can share it (nothing is written), or
    // else copied as bytes.
    const bool sameStorage = source_->Storage != StorageCustom && source_->Storage == result_->Storage;
    const size_t rowBytes = size_t(width_) * source_->BytesPerPixel;
    for (int32_t y = 0; y < height_; ++y) {
      if (keep_ && nextRow_ < outHeight_ && sameStorage) {
        if (!result_->ShareRow(nextRow_, source_, y))
          std::memcpy(result_->RowTable[nextRow_], source_->RowTable[y], rowBytes);
      } else if (keep_ && nextRow_ < outHeight_) {
        WithCursors(source_, 0, y, result_, 0, nextRow_, [&](auto& src, auto& dst) {
          if (float_) {
            FltPixel p;
            for (int32_t x = 0; x < width_; ++x) dst.PutNextFlt(src.GetNextFlt(p));
          } else {
            Pixel p;
            for (int32_t x = 0; x < width_; ++x) dst.PutNext(src.GetNext(p));
          }
        });
      }
      if (keep_) {
        ++kept_;
        ++nextRow_;
      } else {
        ++dropped_;
      }
      if (kept_ >= show_) {
        kept_ = 0;
        keep_ = 0;
      }
      if (dropped_ >= crop_) {
        dropped_ = 0;
        keep_ = 1;
      }
    }
    // Output rows not written keep transparent black: all-zero bytes in every host format.
    const size_t outRowBytes = size_t(width_) * result_->BytesPerPixel;
    for (int32_t y = std::min(nextRow_, outHeight_); y < outHeight_; ++y)
      std::memset(result_->RowTable[y], 0, outRowBytes);
    Publish(req, output_, std::move(result));
  }

 private:
  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;
  Image* result_ = nullptr;
  int32_t width_ = 0, height_ = 0, show_ = 1, crop_ = 1, order_ = 0, outHeight_ = 0;
  bool float_ = false;
  int32_t keep_ = 1, kept_ = 0, dropped_ = 0, nextRow_ = 0;
};

ORVANTA_REGISTER_TOOL(LineDropOperator)

}  // namespace orvanta
