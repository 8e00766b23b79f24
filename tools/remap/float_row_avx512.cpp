// The Remap float rows built for AVX-512 F: this file alone is compiled for it, without fused
// multiply-adds, so each value takes the scalar map's operations in the same order. Four pixels
// a step; the pixels after the last whole step go through the SSE2 row.
#include <immintrin.h>

#include "float_row.h"

// GCC 12 reports the "undefined" operands inside its own AVX-512 conversion intrinsics as maybe
// uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace orvanta {
inline namespace remap {

void FloatRowAvx512(const FloatMap& map, const float* src, float* dst, int32_t width) {
  const __m512d inStart = _mm512_set1_pd(map.inStart), inEnd = _mm512_set1_pd(map.inEnd);
  const __m512d outStart = _mm512_set1_pd(map.outStart), slope = _mm512_set1_pd(map.slope);
  __mmask16 on = 0, keep = 0;
  alignas(64) float fixedLanes[16];
  for (int32_t i = 0; i < 16; ++i) {
    on = __mmask16(on | (map.on[i % 4] ? 1u << i : 0u));
    keep = __mmask16(keep | (map.keep[i % 4] ? 1u << i : 0u));
    fixedLanes[i] = map.fixed[i % 4];
  }
  const __m512 fixed = _mm512_load_ps(fixedLanes);
  const int32_t groups = width / 4;
  for (int32_t g = 0; g < groups; ++g, src += 16, dst += 16) {
    const __m512 f = _mm512_loadu_ps(src);
    const __m512d lo = _mm512_cvtps_pd(_mm512_castps512_ps256(f));
    const __m512d hi = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(f), 1)));
    const __m512d mlo = _mm512_add_pd(outStart, _mm512_mul_pd(_mm512_sub_pd(lo, inStart), slope));
    const __m512d mhi = _mm512_add_pd(outStart, _mm512_mul_pd(_mm512_sub_pd(hi, inStart), slope));
    const __m512 mapped =
        _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(_mm512_cvtpd_ps(mlo))),
                                            _mm256_castps_pd(_mm512_cvtpd_ps(mhi)), 1));
    // Inside the region, ends included; false for NaN, as in the scalar map.
    const __mmask8 insideLo =
        _mm512_cmp_pd_mask(inStart, lo, _CMP_LE_OQ) & _mm512_cmp_pd_mask(lo, inEnd, _CMP_LE_OQ);
    const __mmask8 insideHi =
        _mm512_cmp_pd_mask(inStart, hi, _CMP_LE_OQ) & _mm512_cmp_pd_mask(hi, inEnd, _CMP_LE_OQ);
    const __mmask16 inside = __mmask16(insideLo | unsigned(insideHi) << 8);
    const __m512 outside = _mm512_mask_blend_ps(keep, fixed, f);
    const __m512 result = _mm512_mask_blend_ps(inside, outside, mapped);
    _mm512_storeu_ps(dst, _mm512_mask_blend_ps(on, f, result));
  }
  FloatRowSse2(map, src, dst, width - groups * 4);
}

}  // namespace remap
}  // namespace orvanta
