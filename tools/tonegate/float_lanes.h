// The vector float rows of OrvantaToneGate, written once with the compilers' vector types and
// included by one file per instruction set, each compiled for it: N values at once (one pixel
// with AVX2, two with AVX-512). No FMA is enabled, so nothing is fused. Everything here has
// internal linkage, so each file keeps its own build of it.
#pragma once

#include <cmath>
#include <cstring>

#include "curve.h"

namespace orvanta {
inline namespace tonegate {
namespace {

// The vector functions are all inlined into the row functions, so no vector crosses a call and
// the ABI notes about passing them do not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
// Doubles, their comparison masks (all ones where a comparison holds), floats and float masks.
typedef double Double4 __attribute__((vector_size(32)));
typedef long long Mask4 __attribute__((vector_size(32)));
typedef float Float4 __attribute__((vector_size(16)));
typedef int FloatMask4 __attribute__((vector_size(16)));
typedef double Double8 __attribute__((vector_size(64)));
typedef long long Mask8 __attribute__((vector_size(64)));
typedef float Float8 __attribute__((vector_size(32)));
typedef int FloatMask8 __attribute__((vector_size(32)));
template <int N>
struct VectorsOf;
template <>
struct VectorsOf<4> {
  using D = Double4;
  using M = Mask4;
  using F = Float4;
  using FM = FloatMask4;
};
template <>
struct VectorsOf<8> {
  using D = Double8;
  using M = Mask8;
  using F = Float8;
  using FM = FloatMask8;
};
typedef float Float16 __attribute__((vector_size(64)));
typedef int FloatMask16 __attribute__((vector_size(64)));
template <int N>
struct FloatVectorsOf;
template <>
struct FloatVectorsOf<4> {
  using F = Float4;
  using FM = FloatMask4;
};
template <>
struct FloatVectorsOf<8> {
  using F = Float8;
  using FM = FloatMask8;
};
template <>
struct FloatVectorsOf<16> {
  using F = Float16;
  using FM = FloatMask16;
};

template <int N>
struct Lanes {
  using D = typename VectorsOf<N>::D;
  using M = typename VectorsOf<N>::M;
  using F = typename VectorsOf<N>::F;
  using FM = typename VectorsOf<N>::FM;

  // x in every lane (x - 0.0 is x exactly, signed zeros included).
  [[gnu::always_inline]] static D Set(double x) { return x - D{}; }
  // a where m is set, else b (a blend: the bits of one or the other).
  [[gnu::always_inline]] static D Sel(M m, D a, D b) { return m ? a : b; }
  // base + (tau - base) * distance / W, in the scalar rules' order.
  [[gnu::always_inline]] static D Ramp(const Curve& c, D base, D distance) {
    return base + ((Set(c.tau) - base) * distance) / Set(c.W);
  }

  // The curve of family kFamily (full scale 1.0, so t is v), branch-free: every comparison of
  // the scalar rule as a mask (ordered: false when either side is NaN, as there), and the one
  // ramp that can apply to a value as a single division (the two ramps of a region never both
  // apply unless the bands overlap, which the caller leaves to the scalar rule). The same
  // operations on the same operands as the scalar rule for every value it changes, so the same
  // results. Returns the mask of the values the rule changes, with their results in r.
  template <Family kFamily>
  [[gnu::always_inline]] static M Apply(const Curve& c, D v, D& r) {
    const D far = Set(c.far);
    if constexpr (kFamily == kBelow) {
      const D l = Set(c.L), lower = Set(c.lower);
      const M inRamp = lower < v;
      r = Sel(inRamp, Ramp(c, l, l - v), far);
      return ~(Set(c.level) < v) & (inRamp | (v <= lower));
    } else if constexpr (kFamily == kAbove) {
      const D l = Set(c.L), upper = Set(c.upper);
      const M inRamp = v < upper;
      r = Sel(inRamp, Ramp(c, l, v - l), far);
      return ~(v < Set(c.level)) & (inRamp | (upper <= v));
    } else if constexpr (kFamily == kInside) {
      const D s = Set(c.S), e = Set(c.E), si = Set(c.startInner), ei = Set(c.endInner);
      const M keep = (v <= Set(c.regionStart)) | (Set(c.regionEnd) <= v);
      const M inner = (si < v) & (v < ei);
      const M inStart = (s < v) & (v <= si);
      const M inEnd = (ei <= v) & (v < e);
      r = Sel(inner, far, Ramp(c, Sel(inStart, s, e), Sel(inStart, v - s, e - v)));
      return ~keep & (inner | inStart | inEnd);
    } else {
      const D s = Set(c.S), e = Set(c.E), so = Set(c.startOuter), eo = Set(c.endOuter);
      const M keep = (Set(c.regionStart) < v) & (v < Set(c.regionEnd));
      const M beyond = (v < so) | (eo < v);
      const M inStart = (so <= v) & (v < s);
      const M inEnd = (e < v) & (v <= eo);  // stands over inStart
      r = Sel(beyond, far, Ramp(c, Sel(inEnd, e, s), Sel(inEnd, v - e, s - v)));
      return ~keep & (beyond | inStart | inEnd);
    }
  }

  // The ramp's result for values known to lie in a ramp of kFamily (of the band that Apply
  // selects for them), by the same operations as Apply.
  template <Family kFamily>
  [[gnu::always_inline]] static D RampOf(const Curve& c, D v) {
    if constexpr (kFamily == kBelow) {
      const D l = Set(c.L);
      return Ramp(c, l, l - v);
    } else if constexpr (kFamily == kAbove) {
      const D l = Set(c.L);
      return Ramp(c, l, v - l);
    } else if constexpr (kFamily == kInside) {
      const D s = Set(c.S), e = Set(c.E);
      const M inStart = (s < v) & (v <= Set(c.startInner));
      return Ramp(c, Sel(inStart, s, e), Sel(inStart, v - s, e - v));
    } else {
      const D s = Set(c.S), e = Set(c.E);
      const M inEnd = (e < v) & (v <= Set(c.endOuter));
      return Ramp(c, Sel(inEnd, e, s), Sel(inEnd, v - e, s - v));
    }
  }

  // N / 4 pixels of a row of host float storage: the result converted to float where the rule
  // changes a ticked channel, the stored float itself everywhere else.
  template <Family kFamily>
  [[gnu::always_inline]] static void Step(const Curve& c, FM on, const float* src, float* dst) {
    F f;
    std::memcpy(&f, src, sizeof f);
    D r;
    const M changed = Apply<kFamily>(c, __builtin_convertvector(f, D), r);
    const FM take = on & __builtin_convertvector(changed, FM);
    const F out = take ? __builtin_convertvector(r, F) : f;
    std::memcpy(dst, &out, sizeof out);
  }

  static FM Ticks(const bool (&enabled)[4]) {
    FM on;
    for (int i = 0; i < N; ++i) on[i] = -int(enabled[i % 4]);
    return on;
  }
};

// Curves whose bands are empty only compare the value with thresholds and put `far` in its
// place. A stored float f widens to the double v exactly, and for a double t, v < t exactly when
// f < Up(t) and v <= t exactly when f <= Down(t), since no float lies strictly between Down(t)
// and Up(t) (NaN compares false both ways). So these curves run on the floats themselves, twice
// as many values a vector and no conversions.
inline float Down(double t) {  // the largest float at most t
  float d = float(t);
  if (double(d) > t) d = std::nextafter(d, -INFINITY);
  return d;
}
inline float Up(double t) {  // the smallest float at least t
  float u = float(t);
  if (double(u) < t) u = std::nextafter(u, INFINITY);
  return u;
}

struct FlatCurve {
  float far;  // the double result as the vector rows convert it
  float levelDown, levelUp, lowerDown, upperUp;
  float startDown, endUp, innerStartDown, innerEndUp, outerStartUp, outerEndDown;
  float sDown, sUp, eDown, eUp;
  explicit FlatCurve(const Curve& c)
      : far(float(c.far)),
        levelDown(Down(c.level)),
        levelUp(Up(c.level)),
        lowerDown(Down(c.lower)),
        upperUp(Up(c.upper)),
        startDown(Down(c.regionStart)),
        endUp(Up(c.regionEnd)),
        innerStartDown(Down(c.startInner)),
        innerEndUp(Up(c.endInner)),
        outerStartUp(Up(c.startOuter)),
        outerEndDown(Down(c.endOuter)),
        sDown(Down(c.S)),
        sUp(Up(c.S)),
        eDown(Down(c.E)),
        eUp(Up(c.E)) {}
};

template <int N>  // N floats a vector
struct FlatLanes {
  using F = typename FloatVectorsOf<N>::F;
  using FM = typename FloatVectorsOf<N>::FM;

  [[gnu::always_inline]] static F Set(float x) { return x - F{}; }

  // The masks of Apply with every double comparison replaced by its float equal: the values the
  // rule changes, and in ramp those of them whose result is a ramp's (the rest take `far`).
  template <Family kFamily>
  [[gnu::always_inline]] static FM Split(const FlatCurve& c, F f, FM& ramp) {
    if constexpr (kFamily == kBelow) {
      const F lower = Set(c.lowerDown);
      const FM inRamp = lower < f;
      const FM changed = ~(Set(c.levelDown) < f) & (inRamp | (f <= lower));
      ramp = changed & inRamp;
      return changed;
    } else if constexpr (kFamily == kAbove) {
      const F upper = Set(c.upperUp);
      const FM inRamp = f < upper;
      const FM changed = ~(f < Set(c.levelUp)) & (inRamp | (upper <= f));
      ramp = changed & inRamp;
      return changed;
    } else if constexpr (kFamily == kInside) {
      const FM keep = (f <= Set(c.startDown)) | (Set(c.endUp) <= f);
      const FM inner = (Set(c.innerStartDown) < f) & (f < Set(c.innerEndUp));
      const FM inStart = (Set(c.sDown) < f) & (f <= Set(c.innerStartDown));
      const FM inEnd = (Set(c.innerEndUp) <= f) & (f < Set(c.eUp));
      ramp = ~keep & ~inner & (inStart | inEnd);
      return ~keep & (inner | inStart | inEnd);
    } else {
      const FM keep = (Set(c.startDown) < f) & (f < Set(c.endUp));
      const FM beyond = (f < Set(c.outerStartUp)) | (Set(c.outerEndDown) < f);
      const FM inStart = (Set(c.outerStartUp) <= f) & (f < Set(c.sUp));
      const FM inEnd = (Set(c.eDown) < f) & (f <= Set(c.outerEndDown));
      ramp = ~keep & ~beyond & (inStart | inEnd);
      return ~keep & (beyond | inStart | inEnd);
    }
  }

  template <Family kFamily>
  [[gnu::always_inline]] static void Step(const FlatCurve& c, FM on, const float* src, float* dst) {
    F f;
    std::memcpy(&f, src, sizeof f);
    FM ramp;  // empty for the curves this step is used for
    const F out = (on & Split<kFamily>(c, f, ramp)) ? Set(c.far) : f;
    std::memcpy(dst, &out, sizeof out);
  }

  static FM Ticks(const bool (&enabled)[4]) {
    FM on;
    for (int i = 0; i < N; ++i) on[i] = -int(enabled[i % 4]);
    return on;
  }
};

}  // namespace
}  // namespace tonegate
}  // namespace orvanta

namespace orvanta {
inline namespace tonegate {
namespace {

// Curves with empty bands, on the floats: 2N values a step.
template <int N, Family kFamily>
void FlatRowOf(const Curve& curve, const bool (&enabled)[4], const float* src, float* dst, int32_t width) {
  const FlatCurve c(curve);
  const auto on = FlatLanes<2 * N>::Ticks(enabled);
  constexpr int32_t kPixels = N / 2;
  int32_t x = 0;
  for (; x + kPixels <= width; x += kPixels, src += 2 * N, dst += 2 * N)
    FlatLanes<2 * N>::template Step<kFamily>(c, on, src, dst);
  for (; x < width; ++x, src += 4, dst += 4)
    FlatLanes<4>::template Step<kFamily>(c, FlatLanes<4>::Ticks(enabled), src, dst);
}

template <int N, Family kFamily>
void RampRowOf(const Curve& curve, const bool (&enabled)[4], const float* src, float* dst, int32_t width) {
  const Curve c = curve;  // a local copy stays in registers
  const auto on = Lanes<N>::Ticks(enabled);
  constexpr int32_t kPixels = N / 4;
  int32_t x = 0;
  for (; x + kPixels <= width; x += kPixels, src += N, dst += N)
    Lanes<N>::template Step<kFamily>(c, on, src, dst);
  if constexpr (N > 4)
    for (; x < width; ++x, src += 4, dst += 4)
      Lanes<4>::template Step<kFamily>(c, Lanes<4>::Ticks(enabled), src, dst);
}

// Whether a value the rule changes can lie in a ramp: a band that holds values at all (a hard
// threshold, smoothness 0, has none). The comparisons are those that select a ramp in Apply.
inline bool RampsCanApply(Family family, const Curve& c) {
  switch (family) {
    case kBelow:
      return c.lower < c.level;
    case kAbove:
      return c.level < c.upper;
    case kInside:
      return c.S < c.startInner || c.endInner < c.E;
    case kOutside:
      return c.startOuter < c.S || c.E < c.endOuter;
    case kNone:
      return false;
  }
  return true;
}

template <int N, Family kFamily>
void RowOf(const Curve& curve, const bool (&enabled)[4], const float* src, float* dst, int32_t width) {
  if (RampsCanApply(kFamily, curve))
    RampRowOf<N, kFamily>(curve, enabled, src, dst, width);
  else
    FlatRowOf<N, kFamily>(curve, enabled, src, dst, width);
}

template <int N>
void Rows(Family family, const Curve& curve, const bool (&enabled)[4], const float* src, float* dst,
          int32_t width) {
  switch (family) {
    case kBelow:
      return RowOf<N, kBelow>(curve, enabled, src, dst, width);
    case kAbove:
      return RowOf<N, kAbove>(curve, enabled, src, dst, width);
    case kInside:
      return RowOf<N, kInside>(curve, enabled, src, dst, width);
    case kOutside:
      return RowOf<N, kOutside>(curve, enabled, src, dst, width);
    case kNone:
      return;
  }
}

}  // namespace
}  // namespace tonegate
}  // namespace orvanta
