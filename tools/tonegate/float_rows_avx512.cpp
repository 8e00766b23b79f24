// The ToneGate float rows built for AVX-512 (F and DQ): this file alone is compiled for it.
#include <immintrin.h>

#include "float_lanes.h"

namespace orvanta {
inline namespace tonegate {

namespace {

// Curves with bands: the masks on the floats, four pixels a step; values that take `far` or stay
// are written at once, and those in a ramp are gathered (with their places) and computed
// afterwards in doubles, eight a step, so the doubles' work is spent on ramp values only.
template <Family kFamily>
void SplitRow(const Curve& curve, const bool (&enabled)[4], const float* src, float* dst, int32_t width) {
  using FL = FlatLanes<16>;
  const FlatCurve c(curve);
  const Curve dc = curve;
  const FL::FM on = FL::Ticks(enabled);
  const FL::F far = FL::Set(c.far);
  const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  constexpr int32_t kBlock = 1024;  // floats a round; its ramp values wait here
  alignas(64) float values[kBlock + 16];
  alignas(64) int32_t places[kBlock + 16];
  const int32_t whole = width / 4 * 16;  // floats in whole steps
  int32_t i = 0;
  while (i < whole) {
    const int32_t end = i + kBlock < whole ? i + kBlock : whole;
    int32_t count = 0;
    for (; i < end; i += 16) {
      FL::F f;
      __builtin_prefetch(src + i + 512);  // the stream runs ahead of what the hardware fetches here
      std::memcpy(&f, src + i, sizeof f);
      FL::FM ramp;
      const FL::FM changed = on & FL::Split<kFamily>(c, f, ramp);
      ramp &= on;
      const FL::F out = (changed & ~ramp) ? far : f;
      std::memcpy(dst + i, &out, sizeof out);
      const __mmask16 k = _mm512_test_epi32_mask(__m512i(ramp), __m512i(ramp));
      _mm512_storeu_ps(values + count, _mm512_maskz_compress_ps(k, __m512(f)));
      _mm512_storeu_si512(places + count,
                          _mm512_maskz_compress_epi32(k, _mm512_add_epi32(iota, _mm512_set1_epi32(i))));
      count += __builtin_popcount(k);
    }
    _mm256_storeu_ps(values + count, _mm256_setzero_ps());  // the last step's unused lanes
    for (int32_t j = 0; j < count; j += 8) {
      Float8 f;
      std::memcpy(&f, values + j, sizeof f);
      const Float8 r =
          __builtin_convertvector(Lanes<8>::RampOf<kFamily>(dc, __builtin_convertvector(f, Double8)), Float8);
      const int32_t lanes = count - j < 8 ? count - j : 8;
      for (int32_t t = 0; t < lanes; ++t) dst[places[j + t]] = r[t];
    }
  }
  for (int32_t x = whole / 4; x < width; ++x)
    Lanes<4>::Step<kFamily>(dc, Lanes<4>::Ticks(enabled), src + 4 * x, dst + 4 * x);
}

}  // namespace

void FloatRowAvx512(Family family, const Curve& curve, const bool (&enabled)[4], const float* src, float* dst,
                    int32_t width) {
  if (!RampsCanApply(family, curve)) return Rows<8>(family, curve, enabled, src, dst, width);
  switch (family) {
    case kBelow:
      return SplitRow<kBelow>(curve, enabled, src, dst, width);
    case kAbove:
      return SplitRow<kAbove>(curve, enabled, src, dst, width);
    case kInside:
      return SplitRow<kInside>(curve, enabled, src, dst, width);
    case kOutside:
      return SplitRow<kOutside>(curve, enabled, src, dst, width);
    case kNone:
      return;
  }
}

}  // namespace tonegate
}  // namespace orvanta
