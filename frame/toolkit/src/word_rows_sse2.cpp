// The 16-bit rows of WordTables computed from plain runs, in SSE2 (every x86-64 processor has
// it): a pair of pixels, eight words, a step.
#include <emmintrin.h>

#include "orvanta/word_tables.h"

namespace orvanta {
namespace {

template <int32_t kRuns>
int32_t RunRowOf(const RunPairs& lanes, const uint8_t* s, uint8_t* d, int32_t width) {
  static_assert(kRuns >= 1 && kRuns <= kMaxWordRuns);
  auto load = [](const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  const __m128i q0 = load(lanes.q0), k0 = load(lanes.k0), zero = _mm_setzero_si128();
  __m128i start[kMaxWordRuns - 1], dq[kMaxWordRuns - 1], dk[kMaxWordRuns - 1];
  for (int32_t i = 0; i + 1 < kRuns; ++i) {
    start[i] = load(lanes.start[i]);
    dq[i] = load(lanes.dq[i]);
    dk[i] = load(lanes.dk[i]);
  }
  const int32_t pairs = width / 2;
  for (int32_t p = 0; p < pairs; ++p, s += 16, d += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    __m128i q = q0, k = k0;
    for (int32_t i = 0; i + 1 < kRuns; ++i) {
      // v >= start exactly when start - v saturates to 0.
      const __m128i reached = _mm_cmpeq_epi16(_mm_subs_epu16(start[i], v), zero);
      q = _mm_xor_si128(q, _mm_and_si128(reached, dq[i]));
      k = _mm_xor_si128(k, _mm_and_si128(reached, dk[i]));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_add_epi16(_mm_mullo_epi16(v, q), k));
  }
  return pairs * 2;
}

}  // namespace

int32_t MapRunsSse2(const RunPairs& lanes, const uint8_t* s, uint8_t* d, int32_t width) {
  switch (lanes.runs) {
    case 1:
      return RunRowOf<1>(lanes, s, d, width);
    case 2:
      return RunRowOf<2>(lanes, s, d, width);
    case 3:
      return RunRowOf<3>(lanes, s, d, width);
    case 4:
      return RunRowOf<4>(lanes, s, d, width);
    case 5:
      return RunRowOf<5>(lanes, s, d, width);
    default:
      return RunRowOf<kMaxWordRuns>(lanes, s, d, width);
  }
}

}  // namespace orvanta
