// OrvantaToneGate: passes every enabled channel through one of eight transfer curves, like the
// filter types of an audio equalizer: values below or above a level, or inside or outside a
// region, are pulled to 0 (cut) or to full scale (boost), with a linear band of width
// "Smoothness Range" in between. Each channel is filtered on its own value; alpha included.
#include <cstdint>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/processor.h"
#include "orvanta/skeleton.h"
#include "orvanta/word_tables.h"

#include "curve.h"

namespace orvanta {
namespace {

// The vector float rows this processor runs (null: the scalar rules run them).
FloatRowsFn ChosenFloatRows() {
#if defined(ORVANTA_TONEGATE_X86)
  const Processor& p = ThisProcessor();
  if (!p.avx2) return nullptr;
  return p.avx512f && p.avx512dq ? FloatRowAvx512 : FloatRowAvx2;
#else
  return nullptr;
#endif
}

}  // namespace

class ToneGateOperator : public Tool<ToneGateOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaToneGate",
      0x8429000A,
      "OrvaToneGate",
      "TnGt",
      "OrvantaToneGate",
      "Use this to cut or boost certain luminances in the style of Filters in Audio-Software.\n"
      " V 0.9 public Beta",
      "Built: Oct 11 2005"};

  // 2. Declarations, in display order.
  enum {
    kInput,
    kRed,
    kGreen,
    kBlue,
    kAlpha,
    kFilter,
    kLevel,
    kRegionStart,
    kRegionEnd,
    kSmoothness,
    kInputCount
  };
  enum FilterType {
    kLowCut,
    kHighCut,
    kLowBoost,
    kHighBoost,
    kRangeInsideCut,
    kRangeInsideBoost,
    kRangeOutsideCut,
    kRangeOutsideBoost,
    kFilterTypeCount
  };

  static std::vector<Row> Declarations() {
    return Table({
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        PageRow("Settings"),
        ChannelCheckboxRows(Channels::kRgba),
        InputRow("Filter Options", NumberDataType, FourCC("FLTO"),
                 {{InControl, ComboControl},
                  {InListOption, 1},
                  {InListItem, "lowcut"},
                  {InListItem, "highcut"},
                  {InListItem, "lowboost"},
                  {InListItem, "highboost"},
                  {InListItem, "range inside cut"},
                  {InListItem, "range inside boost"},
                  {InListItem, "range outside cut"},
                  {InListItem, "range outside boost"},
                  {InListOption, 1}}),
        InputRow("Luminance", NumberDataType, FourCC("LUMG"),
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 1.0}, {InDefault, 0.5}}),
        InputRow("Luminance Region Start", NumberDataType, FourCC("LUML"),
                 {{InControl, RangeControl},
                  {InGroup, 1},
                  {InGroupIndex, 0},
                  {InRangeLow, 0.0},
                  {InRangeHigh, 1.0},
                  {InDefault, 0.0},
                  {InShown, 0}}),
        InputRow("Luminance Region End", NumberDataType, FourCC("LUMH"),
                 {{InControl, RangeControl},
                  {InGroup, 1},
                  {InGroupIndex, 1},
                  {InRangeLow, 0.0},
                  {InRangeHigh, 1.0},
                  {InDefault, 1.0},
                  {InShown, 0}}),
        InputRow("Smoothness Range", NumberDataType, 0x534D5300,
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 1.0}, {InDefault, 0.1}}),
        ImageOutputRow(),
    });
  }

  ToneGateOperator(Registry* reg, CArchive* archive, TagList* tags)
      : Tool(reg, archive, tags), floatRows_(ChosenFloatRows()) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering, once per request.
  void Process(Request* req) override {
    source_ = ImageValue(in_[kInput], req);
    if (!source_) return;  // the host refuses the request before this; nothing to render
    width_ = source_->Width;
    height_ = source_->Height;
    float_ = source_->Depth == DepthFloat;
    Curve& c = curve_;
    c.fullScale = FullScaleOf(source_->Depth);
    // Pixel words are blue, green, red, alpha.
    enabled_[0] = WholeValue(in_[kBlue], req) != 0;
    enabled_[1] = WholeValue(in_[kGreen], req) != 0;
    enabled_[2] = WholeValue(in_[kRed], req) != 0;
    enabled_[3] = WholeValue(in_[kAlpha], req) != 0;
    // The same by place in memory, for the vector rows on BGRA [0] and RGBA [1] float storage.
    for (int32_t order : {0, 1})
      for (int32_t place = 0; place < 4; ++place)
        enabledAt_[order][place] = enabled_[ChannelAtPlace(order == 1, place)];
    const int32_t type = WholeValue(in_[kFilter], req);
    c.L = NumberValue(in_[kLevel], req);
    c.S = NumberValue(in_[kRegionStart], req);
    c.E = NumberValue(in_[kRegionEnd], req);
    c.W = NumberValue(in_[kSmoothness], req);

    const double band = c.W * c.fullScale;
    c.level = c.L * c.fullScale;
    c.lower = c.level - band;
    c.upper = c.level + band;
    c.regionStart = c.S * c.fullScale;
    c.regionEnd = c.E * c.fullScale;
    c.startInner = c.S + c.W;
    c.endInner = c.E - c.W;
    c.startOuter = c.S - c.W;
    c.endOuter = c.E + c.W;
    const bool boost =
        type == kLowBoost || type == kHighBoost || type == kRangeInsideBoost || type == kRangeOutsideBoost;
    c.tau = boost ? 1.0 : 0.0;
    c.far = boost ? c.fullScale : 0.0;
    c.boost = boost;
    family_ = FamilyOf(type);

    // Every word the host's images give is 0..65535, and a channel's result depends on its value
    // alone: one table per request holds the stored word for each (a changed value truncated to
    // a word, an unchanged one kept). Larger words from other image models take the curve itself.
    // A channel that is not ticked reads the second half, which keeps every word. A request with
    // the settings of the last one keeps its tables.
    if (!float_ && !tables_.Reuses({c.fullScale, c.L, c.S, c.E, c.W, double(type), double(enabled_[0]),
                                    double(enabled_[1]), double(enabled_[2]), double(enabled_[3])}))
      BuildTables();

    OwnedImage result = NewImageLike(source_, Clearing::kUncleared);  // every pixel is written
    result_ = result.get();
    RunChunksAndPublish(req, output_, std::move(result), height_);
  }

  // The family of curves a filter type belongs to. A type the combo does not list (driven from
  // elsewhere) leaves every pixel as it is.
  static Family FamilyOf(int32_t type) {
    switch (type) {
      case kLowCut:
      case kLowBoost:
        return kBelow;
      case kHighCut:
      case kHighBoost:
        return kAbove;
      case kRangeInsideCut:
      case kRangeInsideBoost:
        return kInside;
      case kRangeOutsideCut:
      case kRangeOutsideBoost:
        return kOutside;
      default:
        return kNone;
    }
  }

  // Table 0: the stored word of every value under the curve; table 1: every word kept. Ticked
  // channels read the first.
  void BuildTables() {
    tables_.Reset(2);
    uint32_t* curve = tables_.Words(0);
    uint32_t* same = tables_.Words(1);
    WithFamily<false>(curve_, [&](auto rule) {
      for (uint32_t v = 0; v < 65536u; ++v) {
        double r;
        curve[v] = rule(double(v), r) ? TruncToWord(r) : v;
        same[v] = v;
      }
    });
    for (int32_t c = 0; c < 4; ++c) tables_.Assign(c, enabled_[c] ? 0 : 1);
    tables_.Seal();
  }

  // 4. Pixel work: one row per chunk, filtered into the same row of the output. Float pixels run
  // the curves with full scale 1.0 known at compile time (v / 1.0 and r * 1.0 are v and r
  // exactly); integer pixels look up the table Process built from the same curves.
  [[gnu::flatten]] void ProcessChunk(Request*, int32_t y) override {
    if (y < 0 || y >= height_) return;
    if (!float_) {
      tables_.MapRow(source_, result_, y, width_, [this](uint32_t& w, int32_t channel) {
        double r;
        if (enabled_[channel] && Evaluate<false>(double(w), r)) w = TruncToWord(r);
      });
      return;
    }
    // Ramps that can overlap (a region narrower than two bands) are left to the scalar rule.
    const uint32_t st = source_->Storage;
    if (floatRows_ && (st == StorageBgraFloat || st == StorageRgbaFloat) && result_->Storage == st &&
        family_ != kNone && (family_ != kInside || curve_.startInner < curve_.endInner)) {
      floatRows_(family_, curve_, enabledAt_[st == StorageRgbaFloat ? 1 : 0],
                 reinterpret_cast<const float*>(source_->RowTable[y]),
                 reinterpret_cast<float*>(result_->RowTable[y]), width_);
      return;
    }
    // Local copies keep the curve and the ticks in registers across the row.
    const Curve c = curve_;
    const bool on[4] = {enabled_[0], enabled_[1], enabled_[2], enabled_[3]};
    auto run = [&](auto rule) {
      MapRow<FltPixel>(source_, result_, y, width_, [&on, &rule](float& f, int32_t channel) {
        double r;
        if (on[channel] && rule(double(f), r)) f = float(r);
      });
    };
    WithFamily<true>(c, run);
  }

  // 5. Shows the level for the level types and the region pair for the region types.
  void NotifyChanged(Input* in, Parameter* value, double time) override {
    auto* number = dynamic_cast<Number*>(value);
    if (number && in == in_[kFilter]) {
      const double v = number->Value();
      for (int32_t k = 0; k < kFilterTypeCount; ++k)
        if (v == double(k)) {
          const bool levelType = k < kRangeInsideCut;
          SetShown(in_[kLevel], levelType);
          SetShown(in_[kRegionStart], !levelType);
          SetShown(in_[kRegionEnd], !levelType);
          break;
        }
    }
    Operator::NotifyChanged(in, value, time);
  }

 private:
  // Calls run(rule) once, rule being the curve of the request's type on c as a callable
  // (v, r) -> changed, so that loops over many values choose the curve once.
  template <bool kUnit, class Run>
  void WithFamily(const Curve& c, Run&& run) const {
    switch (family_) {
      case kBelow:
        run([&c](double v, double& r) { return c.Below<kUnit>(v, r); });
        break;
      case kAbove:
        run([&c](double v, double& r) { return c.Above<kUnit>(v, r); });
        break;
      case kInside:
        run([&c](double v, double& r) { return c.Inside<kUnit>(v, r); });
        break;
      case kOutside:
        run([&c](double v, double& r) { return c.Outside<kUnit>(v, r); });
        break;
      case kNone:
        run([](double, double&) { return false; });
        break;
    }
  }

  // The curve of the request's type; a type the combo does not list changes nothing.
  template <bool kUnit>
  bool Evaluate(double v, double& r) const {
    switch (family_) {
      case kBelow:
        return curve_.Below<kUnit>(v, r);
      case kAbove:
        return curve_.Above<kUnit>(v, r);
      case kInside:
        return curve_.Inside<kUnit>(v, r);
      case kOutside:
        return curve_.Outside<kUnit>(v, r);
      case kNone:
        break;
    }
    return false;
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;
  Image* result_ = nullptr;
  int32_t width_ = 0, height_ = 0;
  bool float_ = false;
  bool enabled_[4] = {};  // blue, green, red, alpha
  bool enabledAt_[2][4] = {};
  Family family_ = kNone;
  Curve curve_;
  // Integer pixels: table 0 holds the curve's word for each word 0..65535, table 1 the same
  // words unchanged (read by channels that are not ticked).
  WordTables tables_;
  // The vector float rows on the host's float storage that this processor runs, or null.
  const FloatRowsFn floatRows_;
};

ORVANTA_REGISTER_TOOL(ToneGateOperator)

}  // namespace orvanta
