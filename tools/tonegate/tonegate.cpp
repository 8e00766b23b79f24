// OrvantaToneGate: passes every enabled channel through one of eight transfer curves, like the
// filter types of an audio equalizer: values below or above a level, or inside or outside a
// region, are pulled to 0 (cut) or to full scale (boost), with a linear band of width
// "Smoothness Range" in between. Each channel is filtered on its own value; alpha included.
#include <cstdint>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"
#include "orvanta/word_tables.h"

namespace orvanta {

// Types and rows of this tool only, visible to the class below.
inline namespace tonegate {

enum Family { kNone, kBelow, kAbove, kInside, kOutside };

// The transfer curves on precomputed doubles. v is in pixel units, t = v / full in control
// units. Each rule returns true with r (pixel units) when it changes the value, false when the
// value passes unchanged; every comparison is written so that NaN passes unchanged.
struct Curve {
  double fullScale = 1.0, L = 0, S = 0, E = 0, W = 0, tau = 0, far = 0;
  double level = 0, lower = 0, upper = 0, regionStart = 0, regionEnd = 0;
  double startInner = 0, endInner = 0, startOuter = 0, endOuter = 0;
  bool boost = false;

  // Full scale; kUnit: known to be 1.0 (float pixels).
  template <bool kUnit> double Full() const {
    if constexpr (kUnit) return 1.0;
    else return fullScale;
  }

  template <bool kUnit>
  bool Below(double v, double& r) const {
    const double full = Full<kUnit>();
    if (v > level) return false;
    if (lower < v) {
      const double t = v / full;
      r = (L + (tau - L) * (L - t) / W) * full;
      return true;
    }
    if (v <= lower) {
      r = far;
      return true;
    }
    return false;
  }

  template <bool kUnit>
  bool Above(double v, double& r) const {
    const double full = Full<kUnit>();
    if (v < level) return false;
    if (v < upper) {
      const double t = v / full;
      r = (L + (tau - L) * (t - L) / W) * full;
      return true;
    }
    if (v >= upper) {
      r = far;
      return true;
    }
    return false;
  }

  template <bool kUnit>
  bool Inside(double v, double& r) const {
    const double full = Full<kUnit>();
    if (v <= regionStart || v >= regionEnd) return false;
    const double t = v / full;
    if (startInner < t && t < endInner) {
      r = far;
      return true;
    }
    const bool inStart = S < t && t <= startInner;
    const bool inEnd = endInner <= t && t < E;
    const double a = inStart ? S + (tau - S) * (t - S) / W : 0.0;
    const double b = inEnd ? E + (tau - E) * (E - t) / W : 0.0;
    if (inStart && inEnd) {  // the region is narrower than two bands: the ramps add up
      const double s = (a + b) * full;
      if (boost) r = s >= full ? full : s;
      else if (a + b >= t) return false;  // the smaller is t itself: keep the value exactly
      else r = s;
      return true;
    }
    if (inStart) r = a * full;
    else if (inEnd) r = b * full;
    else return false;
    return true;
  }

  template <bool kUnit>
  bool Outside(double v, double& r) const {
    const double full = Full<kUnit>();
    if (regionStart < v && v < regionEnd) return false;
    const double t = v / full;
    if (t < startOuter || t > endOuter) {
      r = far;
      return true;
    }
    bool changed = false;
    if (startOuter <= t && t < S) {
      r = (S + (tau - S) * (S - t) / W) * full;
      changed = true;
    }
    if (E < t && t <= endOuter) {  // when both apply (start above end) this one stands
      r = (E + (tau - E) * (t - E) / W) * full;
      changed = true;
    }
    return changed;
  }
};

#if defined(__x86_64__)
// Float rows on four values at once, built for AVX (no FMA, so nothing is fused) and chosen at
// run time.
#define ORVANTA_AVX [[gnu::target("avx")]]

ORVANTA_AVX static inline __m256d Set(double x) { return _mm256_set1_pd(x); }
// a where m is set, else b (as bit operations: the compiler keeps them as they are, where it may
// split a blend with a constant operand into per-lane branches).
ORVANTA_AVX static inline __m256d Sel(__m256d m, __m256d a, __m256d b) {
  return _mm256_or_pd(_mm256_and_pd(m, a), _mm256_andnot_pd(m, b));
}
// Ordered comparisons: false when either side is NaN, as in the scalar rules.
ORVANTA_AVX static inline __m256d Lt(__m256d a, __m256d b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
ORVANTA_AVX static inline __m256d Le(__m256d a, __m256d b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
ORVANTA_AVX static inline __m256d Or(__m256d a, __m256d b) { return _mm256_or_pd(a, b); }
ORVANTA_AVX static inline __m256d And(__m256d a, __m256d b) { return _mm256_and_pd(a, b); }
ORVANTA_AVX static inline __m256d Sub(__m256d a, __m256d b) { return _mm256_sub_pd(a, b); }
// base + (tau - base) * distance / W, in the scalar rules' order.
ORVANTA_AVX static inline __m256d Ramp(const Curve& c, __m256d base, __m256d distance) {
  return _mm256_add_pd(base, _mm256_div_pd(_mm256_mul_pd(Sub(Set(c.tau), base), distance), Set(c.W)));
}

// The curve of family kFamily on four values (full scale 1.0, so t is v), branch-free: every
// comparison of the scalar rule as a mask, and the one ramp that can apply to a value as a single
// division (the two ramps of a region never both apply unless the bands overlap, which the caller
// leaves to the scalar rule). The same operations on the same operands as the scalar rule for
// every value it changes, so the same results. Returns the mask of the values the rule changes,
// with their results in r.
template <Family kFamily>
ORVANTA_AVX static inline __m256d Lanes(const Curve& c, __m256d v, __m256d& r) {
  const __m256d far = Set(c.far);
  if constexpr (kFamily == kBelow) {
    const __m256d l = Set(c.L), lower = Set(c.lower);
    const __m256d inRamp = Lt(lower, v);
    r = Sel(inRamp, Ramp(c, l, Sub(l, v)), far);
    return _mm256_andnot_pd(Lt(Set(c.level), v), Or(inRamp, Le(v, lower)));
  } else if constexpr (kFamily == kAbove) {
    const __m256d l = Set(c.L), upper = Set(c.upper);
    const __m256d inRamp = Lt(v, upper);
    r = Sel(inRamp, Ramp(c, l, Sub(v, l)), far);
    return _mm256_andnot_pd(Lt(v, Set(c.level)), Or(inRamp, Le(upper, v)));
  } else if constexpr (kFamily == kInside) {
    const __m256d s = Set(c.S), e = Set(c.E), si = Set(c.startInner), ei = Set(c.endInner);
    const __m256d keep = Or(Le(v, Set(c.regionStart)), Le(Set(c.regionEnd), v));
    const __m256d inner = And(Lt(si, v), Lt(v, ei));
    const __m256d inStart = And(Lt(s, v), Le(v, si));
    const __m256d inEnd = And(Le(ei, v), Lt(v, e));
    r = Sel(inner, far, Ramp(c, Sel(inStart, s, e), Sel(inStart, Sub(v, s), Sub(e, v))));
    return _mm256_andnot_pd(keep, Or(inner, Or(inStart, inEnd)));
  } else {
    const __m256d s = Set(c.S), e = Set(c.E), so = Set(c.startOuter), eo = Set(c.endOuter);
    const __m256d keep = And(Lt(Set(c.regionStart), v), Lt(v, Set(c.regionEnd)));
    const __m256d beyond = Or(Lt(v, so), Lt(eo, v));
    const __m256d inStart = And(Le(so, v), Lt(v, s));
    const __m256d inEnd = And(Lt(e, v), Le(v, eo));  // stands over inStart
    r = Sel(beyond, far, Ramp(c, Sel(inEnd, e, s), Sel(inEnd, Sub(v, e), Sub(s, v))));
    return _mm256_andnot_pd(keep, Or(beyond, Or(inStart, inEnd)));
  }
}

// A row of host float storage, a pixel per step: the result converted to float where the rule
// changes a ticked channel, the stored float itself everywhere else. Never inlined: its caller
// is built for every x86-64 processor.
template <Family kFamily>
ORVANTA_AVX [[gnu::noinline]] static void FloatRow(const Curve& curve, const bool (&enabled)[4], const float* src, float* dst, int32_t width) {
  const Curve c = curve;  // a local copy stays in registers
  const __m128 on = _mm_castsi128_ps(_mm_setr_epi32(-int32_t(enabled[0]), -int32_t(enabled[1]),
                                                    -int32_t(enabled[2]), -int32_t(enabled[3])));
  for (int32_t x = 0; x < width; ++x, src += 4, dst += 4) {
    const __m128 f = _mm_loadu_ps(src);
    __m256d r;
    const __m256d changed = Lanes<kFamily>(c, _mm256_cvtps_pd(f), r);
    // The 64-bit lane masks narrowed to 32-bit ones, in the same order.
    const __m128 narrow = _mm_shuffle_ps(_mm_castpd_ps(_mm256_castpd256_pd128(changed)),
                                         _mm_castpd_ps(_mm256_extractf128_pd(changed, 1)),
                                         _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 take = _mm_and_ps(on, narrow);
    _mm_storeu_ps(dst, _mm_or_ps(_mm_and_ps(take, _mm256_cvtpd_ps(r)), _mm_andnot_ps(take, f)));
  }
}

#undef ORVANTA_AVX
#endif

}  // namespace tonegate

class ToneGateOperator : public Tool<ToneGateOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaToneGate", 0x8429000A, "OrvaToneGate", "TnGt", "OrvantaToneGate",
      "Use this to cut or boost certain luminances in the style of Filters in Audio-Software.\n"
      " V 0.9 public Beta",
      "Built: Oct 11 2005"};

  // 2. Declarations, in display order.
  enum { kInput, kRed, kGreen, kBlue, kAlpha, kFilter, kLevel, kRegionStart, kRegionEnd,
         kSmoothness, kInputCount };
  enum FilterType { kLowCut, kHighCut, kLowBoost, kHighBoost, kRangeInsideCut, kRangeInsideBoost,
                    kRangeOutsideCut, kRangeOutsideBoost, kFilterTypeCount };

  static std::vector<Row> Declarations() {
    const TagList checkbox = {{InControl, CheckboxControl}, {InDefault, 1.0}, {InRowCount, 4}};
    return {
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        PageRow("Settings"),
        InputRow("Red", NumberDataType, 0x684364D2, checkbox),
        InputRow("Green", NumberDataType, 0x68436EC7, checkbox),
        InputRow("Blue", NumberDataType, 0x68436CC2, checkbox),
        InputRow("Alpha", NumberDataType, 0x68436CC1, checkbox),
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
                 {{InControl, RangeControl}, {InGroup, 1}, {InGroupIndex, 0}, {InRangeLow, 0.0},
                  {InRangeHigh, 1.0}, {InDefault, 0.0}, {InShown, 0}}),
        InputRow("Luminance Region End", NumberDataType, FourCC("LUMH"),
                 {{InControl, RangeControl}, {InGroup, 1}, {InGroupIndex, 1}, {InRangeLow, 0.0},
                  {InRangeHigh, 1.0}, {InDefault, 1.0}, {InShown, 0}}),
        InputRow("Smoothness Range", NumberDataType, 0x534D5300,
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 1.0}, {InDefault, 0.1}}),
        ImageOutputRow(),
    };
  }

  ToneGateOperator(Registry* reg, CArchive* archive, TagList* tags) : Tool(reg, archive, tags) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering, once per request.
  void Process(Request* req) override {
    source_ = ImageValue(in_[kInput], req);
    if (!source_) return;  // the host refuses the request before this; nothing to render
    width_ = source_->Width;
    height_ = source_->Height;
    float_ = source_->Depth == DepthFloat;
#if defined(__x86_64__)
    avx_ = __builtin_cpu_supports("avx");
#endif
    Curve& c = curve_;
    c.fullScale = FullScaleOf(source_->Depth);
    // Pixel words are blue, green, red, alpha.
    enabled_[0] = WholeValue(in_[kBlue], req) != 0;
    enabled_[1] = WholeValue(in_[kGreen], req) != 0;
    enabled_[2] = WholeValue(in_[kRed], req) != 0;
    enabled_[3] = WholeValue(in_[kAlpha], req) != 0;
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
    const bool boost = type == kLowBoost || type == kHighBoost || type == kRangeInsideBoost ||
                       type == kRangeOutsideBoost;
    c.tau = boost ? 1.0 : 0.0;
    c.far = boost ? c.fullScale : 0.0;
    c.boost = boost;
    // A type the combo does not list (driven from elsewhere) leaves every pixel as it is.
    switch (type) {
      case kLowCut: case kLowBoost: family_ = kBelow; break;
      case kHighCut: case kHighBoost: family_ = kAbove; break;
      case kRangeInsideCut: case kRangeInsideBoost: family_ = kInside; break;
      case kRangeOutsideCut: case kRangeOutsideBoost: family_ = kOutside; break;
      default: family_ = kNone; break;
    }

    // Every word the host's images give is 0..65535, and a channel's result depends on its value
    // alone: one table per request holds the stored word for each (a changed value truncated to
    // a word, an unchanged one kept). Larger words from other image models take the curve itself.
    // A channel that is not ticked reads the second half, which keeps every word.
    if (!float_) {
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

    image_ = NewImage(TagList{{ImLike, source_}, {ImUncleared, 1}});  // every pixel is written
    RunChunksAndPublish(req, output_, image_, height_);
  }

  // 4. Pixel work: one row per chunk, filtered into the same row of the output. Float pixels run
  // the curves with full scale 1.0 known at compile time (v / 1.0 and r * 1.0 are v and r
  // exactly); integer pixels look up the table Process built from the same curves.
  [[gnu::flatten]] void ProcessChunk(Request*, int32_t y) override {
    if (y < 0 || y >= height_) return;
    if (!float_) {
      tables_.MapRow(source_, image_, y, width_, [this](uint32_t& w, int32_t channel) {
        double r;
        if (enabled_[channel] && Evaluate<false>(double(w), r)) w = TruncToWord(r);
      });
      return;
    }
#if defined(__x86_64__)
    if (avx_ && source_->Storage == StorageBgraFloat && image_->Storage == StorageBgraFloat) {
      const float* src = reinterpret_cast<const float*>(source_->RowTable[y]);
      float* dst = reinterpret_cast<float*>(image_->RowTable[y]);
      switch (family_) {
        case kBelow: FloatRow<kBelow>(curve_, enabled_, src, dst, width_); return;
        case kAbove: FloatRow<kAbove>(curve_, enabled_, src, dst, width_); return;
        case kInside:
          if (!(curve_.startInner < curve_.endInner)) break;  // ramps that can overlap
          FloatRow<kInside>(curve_, enabled_, src, dst, width_);
          return;
        case kOutside: FloatRow<kOutside>(curve_, enabled_, src, dst, width_); return;
        case kNone: break;
      }
    }
#endif
    // Local copies keep the curve and the ticks in registers across the row.
    const Curve c = curve_;
    const bool on[4] = {enabled_[0], enabled_[1], enabled_[2], enabled_[3]};
    auto run = [&](auto rule) {
      MapRow<FltPixel>(source_, image_, y, width_, [&on, &rule](float& f, int32_t channel) {
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
      case kBelow: run([&c](double v, double& r) { return c.Below<kUnit>(v, r); }); break;
      case kAbove: run([&c](double v, double& r) { return c.Above<kUnit>(v, r); }); break;
      case kInside: run([&c](double v, double& r) { return c.Inside<kUnit>(v, r); }); break;
      case kOutside: run([&c](double v, double& r) { return c.Outside<kUnit>(v, r); }); break;
      case kNone: run([](double, double&) { return false; }); break;
    }
  }

  // The curve of the request's type; a type the combo does not list changes nothing.
  template <bool kUnit>
  bool Evaluate(double v, double& r) const {
    switch (family_) {
      case kBelow: return curve_.Below<kUnit>(v, r);
      case kAbove: return curve_.Above<kUnit>(v, r);
      case kInside: return curve_.Inside<kUnit>(v, r);
      case kOutside: return curve_.Outside<kUnit>(v, r);
      case kNone: break;
    }
    return false;
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;
  Image* image_ = nullptr;
  int32_t width_ = 0, height_ = 0;
  bool float_ = false;
  bool avx_ = false;      // this processor runs the AVX float rows
  bool enabled_[4] = {};  // blue, green, red, alpha
  Family family_ = kNone;
  Curve curve_;
  // Integer pixels: table 0 holds the curve's word for each word 0..65535, table 1 the same
  // words unchanged (read by channels that are not ticked).
  WordTables tables_;
};

ORVANTA_REGISTER_TOOL(ToneGateOperator)

}  // namespace orvanta
