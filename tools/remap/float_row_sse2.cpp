// The Remap float rows in SSE2 (every x86-64 processor has it): one pixel a step, the four
// channels as lanes, each value mapped in doubles (two lanes to a register) as the scalar map
// does, and the result chosen by selects.
#include <emmintrin.h>

#include "float_row.h"

namespace orvanta {
inline namespace remap {

void FloatRowSse2(const FloatMap& map, const float* src, float* dst, int32_t width) {
  const __m128d inStart = _mm_set1_pd(map.inStart), inEnd = _mm_set1_pd(map.inEnd);
  const __m128d outStart = _mm_set1_pd(map.outStart), slope = _mm_set1_pd(map.slope);
  auto mask = [](bool b) { return b ? ~0u : 0u; };
  const __m128 on = _mm_castsi128_ps(
      _mm_setr_epi32(int(mask(map.on[0])), int(mask(map.on[1])), int(mask(map.on[2])), int(mask(map.on[3]))));
  const __m128 keep = _mm_castsi128_ps(_mm_setr_epi32(int(mask(map.keep[0])), int(mask(map.keep[1])),
                                                      int(mask(map.keep[2])), int(mask(map.keep[3]))));
  const __m128 fixed = _mm_setr_ps(map.fixed[0], map.fixed[1], map.fixed[2], map.fixed[3]);
  auto select = [](__m128 m, __m128 a, __m128 b) {  // a where m is set, else b
    return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b));
  };
  for (int32_t x = 0; x < width; ++x, src += 4, dst += 4) {
    const __m128 f = _mm_loadu_ps(src);
    const __m128d lo = _mm_cvtps_pd(f), hi = _mm_cvtps_pd(_mm_movehl_ps(f, f));
    const __m128d mlo = _mm_add_pd(outStart, _mm_mul_pd(_mm_sub_pd(lo, inStart), slope));
    const __m128d mhi = _mm_add_pd(outStart, _mm_mul_pd(_mm_sub_pd(hi, inStart), slope));
    const __m128 mapped = _mm_movelh_ps(_mm_cvtpd_ps(mlo), _mm_cvtpd_ps(mhi));
    // Inside the region, ends included; false for NaN, as in the scalar map.
    const __m128d ilo = _mm_and_pd(_mm_cmple_pd(inStart, lo), _mm_cmple_pd(lo, inEnd));
    const __m128d ihi = _mm_and_pd(_mm_cmple_pd(inStart, hi), _mm_cmple_pd(hi, inEnd));
    const __m128 inside = _mm_shuffle_ps(_mm_castpd_ps(ilo), _mm_castpd_ps(ihi), _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 result = select(inside, mapped, select(keep, f, fixed));
    _mm_storeu_ps(dst, select(on, result, f));
  }
}

}  // namespace remap
}  // namespace orvanta
