// OrvantaRemap: maps the values of an input region linearly onto an output region, per channel,
// and keeps the values outside the input region or replaces them by a fixed colour. Both region
// ends are inclusive; nothing is clamped.
#include <cstdint>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/processor.h"
#include "orvanta/skeleton.h"
#include "orvanta/word_tables.h"

#include "float_row.h"

namespace orvanta {
namespace {

// The float rows this processor runs (null: the cursors' loop runs them).
FloatRowFn ChosenFloatRow() {
#if defined(ORVANTA_REMAP_X86)
  return ThisProcessor().avx512f ? FloatRowAvx512 : FloatRowSse2;
#else
  return nullptr;
#endif
}

}  // namespace

class RemapOperator : public Tool<RemapOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaRemap",      0x84290009,     "OrvaRemap",
      "IcnRemap",          "OrvantaRemap", "Expand (or contract) a luminance range into another.",
      "Built: Oct 14 2005"};

  // 2. Declarations, in display order. The region controls come twice: the visible range
  // controls, and a hidden set of scroll controls over -5..5 with the same labels.
  enum {
    kInput,
    kRed,
    kGreen,
    kBlue,
    kAlpha,
    kRanges,
    kNonInput,
    kRedLuma,
    kGreenLuma,
    kBlueLuma,
    kAlphaLuma,
    kInStart,
    kInEnd,
    kOutStart,
    kOutEnd,
    kHiddenInStart,
    kHiddenInEnd,
    kHiddenOutStart,
    kHiddenOutEnd,
    kInputCount
  };
  // The items of "Ranges" (the bounds of the region controls) and of "Non Input Values".
  enum Ranges : int32_t { kZeroToOne, kZeroToFive };
  enum NonInputValues : int32_t { kKeepLuminance, kColorize };

  static std::vector<Row> Declarations() {
    auto range = [](int32_t group, int32_t index, double def) {
      return TagList{{InControl, RangeControl}, {InGroup, group},   {InGroupIndex, index},
                     {InRangeLow, 0.0},         {InRangeHigh, 1.0}, {InDefault, def}};
    };
    auto hidden = [](double def) {
      return TagList{{InControl, ScrollControl}, {InWholeNumbers, 0}, {InRangeLow, -5.0},
                     {InRangeHigh, 5.0},         {InLimitLow, -5.0},  {InLimitHigh, 5.0},
                     {InDefault, def},           {InLinkOption, 1},   {InShown, 0}};
    };
    return Table({
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        PageRow("Settings"),
        ChannelCheckboxRows(Channels::kRgba),
        InputRow("Ranges", NumberDataType, 0x43520000,
                 {{InControl, ComboControl},
                  {InListOption, 1},
                  {InListItem, "0.0 to 1.0"},
                  {InListItem, "0.0 to 5.0"}}),
        InputRow("Non Input Values", NumberDataType, FourCC("OOIO"),
                 {{InControl, ComboControl},
                  {InListOption, 1},
                  {InListItem, "Keep Luminance"},
                  {InListItem, "Colorize"},
                  {InDefault, 0.0}}),
        ColourRows("Colorize Luminances", 2,
                   {{"Red Luma", FourCC("ICLR")},
                    {"Green Luma", FourCC("ICLG")},
                    {"Blue Luma", FourCC("ICLB")},
                    {"Alpha Luma", FourCC("ICLA"), 1.0}},
                   {{InShown, 0}}),
        InputRow("Input Region Start", NumberDataType, FourCC("SORL"), range(1, 0, 0.0)),
        InputRow("Input Region End", NumberDataType, FourCC("SORH"), range(1, 1, 1.0)),
        InputRow("Output Region Start", NumberDataType, FourCC("SOTL"), range(3, 0, 0.0)),
        InputRow("Output Region End", NumberDataType, FourCC("SOTH"), range(3, 1, 1.0)),
        InputRow("Input Region Start", NumberDataType, FourCC("AORL"), hidden(0.0)),
        InputRow("Input Region End", NumberDataType, FourCC("AORH"), hidden(1.0)),
        InputRow("Output Region Start", NumberDataType, FourCC("AOTL"), hidden(0.0)),
        InputRow("Output Region End", NumberDataType, FourCC("AOTH"), hidden(1.0)),
        ImageOutputRow(),
    });
  }

  RemapOperator(Registry* reg, CArchive* archive, TagList* tags)
      : Tool(reg, archive, tags), floatRow_(ChosenFloatRow()) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering, once per request.
  void Process(Request* req) override {
    source_ = ImageValue(in_[kInput], req);
    if (!source_) return;  // the host refuses the request before this; nothing to render
    width_ = source_->Width;
    height_ = source_->Height;
    float_ = source_->Depth == DepthFloat;
    fullScale_ = FullScaleOf(source_->Depth);
    // Pixel words are blue, green, red, alpha.
    const int32_t channel[4] = {kBlue, kGreen, kRed, kAlpha};
    const int32_t luma[4] = {kBlueLuma, kGreenLuma, kRedLuma, kAlphaLuma};
    const int32_t rangeMode = WholeValue(in_[kRanges], req);
    const int32_t nonInputMode = WholeValue(in_[kNonInput], req);
    for (int32_t c = 0; c < 4; ++c) {
      enabled_[c] = WholeValue(in_[channel[c]], req) != 0;
      // Outside the input region: "Keep Luminance" keeps the value, "Colorize" writes the
      // channel's Luma colour, and a mode the combo does not list writes 0.
      keepOutside_[c] = nonInputMode == kKeepLuminance;
      outsideValue_[c] = nonInputMode == kColorize ? NumberValue(in_[luma[c]], req) * fullScale_ : 0.0;
    }
    const double region[4] = {NumberValue(in_[kInStart], req), NumberValue(in_[kInEnd], req),
                              NumberValue(in_[kOutStart], req), NumberValue(in_[kOutEnd], req)};
    if (rangeMode == kZeroToOne)
      for (int32_t i = 0; i < 4; ++i) rememberedRegion_[i] = region[i];
    inStart_ = region[0];
    inEnd_ = region[1];
    outStart_ = region[2];
    const double width = inEnd_ - inStart_;
    slope_ = width != 0.0 ? (region[3] - outStart_) / width : 0.0;

    // A request with the settings of the last one keeps its tables.
    const auto on = [this](int32_t c) { return double(enabled_[c]); };
    const auto keep = [this](int32_t c) { return double(keepOutside_[c]); };
    if (!float_ && !tables_.Reuses({fullScale_, inStart_, inEnd_, outStart_, slope_, on(0), on(1), on(2),
                                    on(3), keep(0), keep(1), keep(2), keep(3), outsideValue_[0],
                                    outsideValue_[1], outsideValue_[2], outsideValue_[3]}))
      BuildTables();
    // The vector rows' channels by their place in memory (BGRA [0] and RGBA [1] storage).
    for (int32_t order : {0, 1}) {
      FloatMap& m = floatMaps_[order];
      m = FloatMap{inStart_, inEnd_, outStart_, slope_, {}, {}, {}};
      for (int32_t place = 0; place < 4; ++place) {
        const int32_t c = ChannelAtPlace(order == 1, place);
        m.on[place] = enabled_[c];
        m.keep[place] = keepOutside_[c];
        m.fixed[place] = float(outsideValue_[c]);
      }
    }

    OwnedImage result = NewImageLike(source_, Clearing::kUncleared);  // every pixel is written
    result_ = result.get();
    RunChunksAndPublish(req, output_, std::move(result), height_);
  }

  // 4. Pixel work: one row per chunk, remapped into the same row of the output.
  [[gnu::flatten]] void ProcessChunk(Request*, int32_t y) override {
    if (y < 0 || y >= height_) return;
    if (float_) {
      const uint32_t st = source_->Storage;
      if (floatRow_ && (st == StorageBgraFloat || st == StorageRgbaFloat) && result_->Storage == st) {
        floatRow_(floatMaps_[st == StorageRgbaFloat ? 1 : 0],
                  reinterpret_cast<const float*>(source_->RowTable[y]),
                  reinterpret_cast<float*>(result_->RowTable[y]), width_);
        return;
      }
      MapRow<FltPixel>(source_, result_, y, width_, [this](float& f, int32_t c) {
        if (enabled_[c]) Map<true>(f, c);
      });
    } else {
      tables_.MapRow(source_, result_, y, width_, [this](uint32_t& w, int32_t c) {
        if (enabled_[c]) Map<false>(w, c);
      });
    }
  }

  // 5. "Non Input Values" shows the Luma colour while it is "Colorize". "Ranges" sets the bounds
  // of the region controls to 0..1 or 0..5, gives them the region last rendered under
  // "0.0 to 1.0", and keeps the second set of region inputs hidden.
  void NotifyChanged(Input* in, Parameter* value, double time) override {
    auto* number = dynamic_cast<Number*>(value);
    if (number && in == in_[kNonInput]) {
      const double v = number->Value();
      if (v == double(kKeepLuminance) || v == double(kColorize))
        for (int32_t i = kRedLuma; i <= kAlphaLuma; ++i) SetShown(in_[i], v == double(kColorize));
    } else if (number && in == in_[kRanges]) {
      const double v = number->Value();
      const double high = v == double(kZeroToOne) ? 1.0 : v == double(kZeroToFive) ? 5.0 : 0.0;
      if (high != 0.0) {
        for (int32_t i = kInStart; i <= kOutEnd; ++i)
          in_[i]->SetAttrs(TagList{
              {InRangeLow, 0.0}, {InRangeHigh, high}, {InLimitLow, 0.0}, {InLimitHigh, high}, {InShown, 1}});
        for (int32_t i = 0; i < 4; ++i) SetNumberValue(in_[kInStart + i], rememberedRegion_[i], time);
        for (int32_t i = kHiddenInStart; i <= kHiddenOutEnd; ++i) SetShown(in_[i], false);
      }
    }
    Operator::NotifyChanged(in, value, time);
  }

 private:
  static void Store(uint32_t& w, double r) { w = TruncToWord(r); }
  static void Store(float& f, double r) { f = float(r); }

  // One channel: inside the input region (ends included) the linear map; outside, the value
  // kept or the fixed result. A NaN value is outside every region. kUnit: full scale is 1.0
  // (float pixels), so t = v and the result needs no scaling (both exact).
  template <bool kUnit, class V>
  void Map(V& value, int32_t c) const {
    const double full = kUnit ? 1.0 : fullScale_;
    const double t = double(value) / full;
    if (inStart_ <= t && t <= inEnd_)
      Store(value, (outStart_ + (t - inStart_) * slope_) * full);
    else if (!keepOutside_[c])
      Store(value, outsideValue_[c]);
  }

  // Integer pixels: every word the host's images give is 0..65535 and a channel's result
  // depends on its word alone, so each channel reads its stored words from a table made with
  // Map. Channels with the same outcome share one table; a channel that is not ticked reads
  // words unchanged.
  void BuildTables() {
    int32_t owner[4];  // the channel whose table channel c reads
    int32_t tables = 0;
    int32_t index[4];
    auto same = [&](int32_t a, int32_t b) {
      if (enabled_[a] != enabled_[b]) return false;
      if (!enabled_[a]) return true;
      return keepOutside_[a] == keepOutside_[b] &&
             (keepOutside_[a] || TruncToWord(outsideValue_[a]) == TruncToWord(outsideValue_[b]));
    };
    for (int32_t c = 0; c < 4; ++c) {
      owner[c] = c;
      for (int32_t k = 0; k < c; ++k)
        if (owner[k] == k && same(k, c)) {
          owner[c] = k;
          break;
        }
      if (owner[c] == c) index[c] = tables++;
    }
    tables_.Reset(tables);
    for (int32_t c = 0; c < 4; ++c) {
      if (owner[c] != c) continue;
      uint32_t* t = tables_.Words(index[c]);
      for (uint32_t v = 0; v < 65536u; ++v) {
        uint32_t w = v;
        if (enabled_[c]) Map<false>(w, c);
        t[v] = w;
      }
    }
    for (int32_t c = 0; c < 4; ++c) tables_.Assign(c, index[owner[c]]);
    tables_.Seal();
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Region last rendered under "0.0 to 1.0": input start, input end, output start, output end.
  // Not saved; a loaded node starts again from the defaults.
  double rememberedRegion_[4] = {0.0, 1.0, 0.0, 1.0};
  // Per-request working values.
  Image* source_ = nullptr;
  Image* result_ = nullptr;
  int32_t width_ = 0, height_ = 0;
  bool float_ = false;
  double fullScale_ = 1.0;
  bool enabled_[4] = {};      // blue, green, red, alpha
  bool keepOutside_[4] = {};  // per channel, same order
  double outsideValue_[4] = {};
  double inStart_ = 0.0, inEnd_ = 1.0, outStart_ = 0.0, slope_ = 1.0;
  FloatMap floatMaps_[2];  // the same, for the vector float rows
  WordTables tables_;      // integer pixels: one table per distinct channel outcome
  // The vector float rows on the host's float storage that this processor runs, or null.
  const FloatRowFn floatRow_;
};

ORVANTA_REGISTER_TOOL(RemapOperator)

}  // namespace orvanta
