// The transfer curves of OrvantaToneGate, shared by the tool and its vector float rows.
#pragma once

#include <cstdint>

namespace orvanta {
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
  template <bool kUnit>
  double Full() const {
    if constexpr (kUnit)
      return 1.0;
    else
      return fullScale;
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
      if (boost)
        r = s >= full ? full : s;
      else if (a + b >= t)
        return false;  // the smaller is t itself: keep the value exactly
      else
        r = s;
      return true;
    }
    if (inStart)
      r = a * full;
    else if (inEnd)
      r = b * full;
    else
      return false;
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

// A whole row of host float storage (four floats a pixel) through the curve of family kBelow to
// kOutside, the samples at places not enabled kept (enabled is by place in a pixel, BGRA or RGBA);
// the caller checks that the family's ramps cannot overlap. Built for AVX2 and for AVX-512 (F and DQ) in
// files of their own, each exporting one; the tool chooses the one this processor runs when it is made.
using FloatRowsFn = void (*)(Family family, const Curve& curve, const bool (&enabled)[4], const float* src,
                             float* dst, int32_t width);
void FloatRowAvx2(Family family, const Curve& curve, const bool (&enabled)[4], const float* src, float* dst,
                  int32_t width);
void FloatRowAvx512(Family family, const Curve& curve, const bool (&enabled)[4], const float* src, float* dst,
                    int32_t width);

}  // namespace tonegate
}  // namespace orvanta
