// The 16-bit rows of WordTables computed from runs with one-below words, built for AVX-512 (F and
// BW, with BMI2): this file alone is compiled for it, and WordTables chooses it only on a
// processor that has them.
#include <immintrin.h>

// GCC 12 takes the self-initialised "undefined" vectors inside its own shift and rotate
// intrinsics for uninitialised reads once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "orvanta/word_tables.h"

namespace orvanta {
namespace {

// The words of v computed from the runs (before any one-below word is taken off): each run
// reached, in order, replaces q and k.
template <int32_t kRuns>
[[gnu::always_inline]] inline __m512i FromRuns(__m512i v, __m512i q0, __m512i k0, const __m512i* start,
                                               const __m512i* q, const __m512i* k) {
  __m512i qv = q0, kv = k0;
#pragma GCC unroll 8
  for (int32_t i = 0; i + 1 < kRuns; ++i) {
    const __mmask32 reached = _mm512_cmpge_epu16_mask(v, start[i]);
    qv = _mm512_mask_mov_epi16(qv, reached, q[i]);
    kv = _mm512_mask_mov_epi16(kv, reached, k[i]);
  }
  return _mm512_add_epi16(_mm512_mullo_epi16(v, qv), kv);
}

// The 32 words of v with their one-below words taken off: those of the words in `in` whose bit
// is set. Each 32-bit lane holds an even word (low half) and an odd one (high half); one gather
// reads the dwords holding the even words' bits and one those of the odd words', each only when
// one of its words is in `in` (in pictures, channels stay out of the ranges for long stretches).
[[gnu::always_inline]] inline __m512i TakeOffBelow(const uint32_t* bitmap, __m512i v, __mmask32 in,
                                                   __m512i out, __m512i evenBase, __m512i oddBase) {
  const __mmask16 evenIn = __mmask16(_pext_u32(in, 0x55555555u)),
                  oddIn = __mmask16(_pext_u32(in, 0xAAAAAAAAu));
  __m512i even = _mm512_setzero_si512(), odd = _mm512_setzero_si512();
  if (evenIn != 0) {
    const __m512i at =
        _mm512_add_epi32(_mm512_srli_epi32(_mm512_and_si512(v, _mm512_set1_epi32(0xFFE0)), 5), evenBase);
    // Rotations count modulo 32: the even word's bit goes to bit 0 (its low 5 bits are the count).
    even = _mm512_rorv_epi32(_mm512_mask_i32gather_epi32(even, evenIn, at, bitmap, 4), v);
  }
  if (oddIn != 0) {
    const __m512i at = _mm512_add_epi32(_mm512_srli_epi32(v, 21), oddBase);
    // The odd word's bit goes to bit 16, counting its low 5 bits plus 16.
    const __m512i count = _mm512_add_epi32(_mm512_srli_epi32(v, 16), _mm512_set1_epi32(16));
    odd = _mm512_rorv_epi32(_mm512_mask_i32gather_epi32(odd, oddIn, at, bitmap, 4), count);
  }
  const __mmask32 below =
      _mm512_test_epi16_mask(_mm512_mask_blend_epi16(0xAAAAAAAAu, even, odd), _mm512_set1_epi16(1));
  return _mm512_mask_sub_epi16(out, below, out, _mm512_set1_epi16(1));
}

// The words of v in either range of one-below words.
[[gnu::always_inline]] inline __mmask32 InRanges(__m512i v, __mmask32 hasBits, const __m512i (&from)[2],
                                                 const __m512i (&span)[2]) {
  return _mm512_mask_cmple_epu16_mask(hasBits, _mm512_sub_epi16(v, from[0]), span[0]) |
         _mm512_mask_cmple_epu16_mask(hasBits, _mm512_sub_epi16(v, from[1]), span[1]);
}

// Sixteen pixels (64 words) a step; the bitmap is read only for steps with a word where some
// channel has one-below words.
template <int32_t kRuns>
int32_t RunsBelowRowOf(const RunLanes& lanes, const uint32_t* bitmap, const uint8_t* s, uint8_t* d,
                       int32_t width) {
  const __m512i q0 = _mm512_loadu_si512(lanes.q0), k0 = _mm512_loadu_si512(lanes.k0);
  __m512i start[kRuns], q[kRuns], k[kRuns];  // one spare, so that kRuns == 1 compiles
  for (int32_t i = 0; i + 1 < kRuns; ++i) {
    start[i] = _mm512_loadu_si512(lanes.start[i]);
    q[i] = _mm512_loadu_si512(lanes.q[i]);
    k[i] = _mm512_loadu_si512(lanes.k[i]);
  }
  const __m512i from[2] = {_mm512_loadu_si512(lanes.bitsFrom[0]), _mm512_loadu_si512(lanes.bitsFrom[1])};
  const __m512i span[2] = {_mm512_loadu_si512(lanes.bitsSpan[0]), _mm512_loadu_si512(lanes.bitsSpan[1])};
  const __m512i evenBase = _mm512_loadu_si512(lanes.evenBase), oddBase = _mm512_loadu_si512(lanes.oddBase);
  const __mmask32 hasBits = lanes.hasBits;
  const int32_t groups = width / 16;
  for (int32_t g = 0; g < groups; ++g, s += 128, d += 128) {
    __builtin_prefetch(s + 2048);  // the input stream, further ahead than the hardware fetches it
    const __m512i v0 = _mm512_loadu_si512(s), v1 = _mm512_loadu_si512(s + 64);
    __m512i out0 = FromRuns<kRuns>(v0, q0, k0, start, q, k);
    __m512i out1 = FromRuns<kRuns>(v1, q0, k0, start, q, k);
    const __mmask32 in0 = InRanges(v0, hasBits, from, span), in1 = InRanges(v1, hasBits, from, span);
    if ((in0 | in1) != 0) {
      out0 = TakeOffBelow(bitmap, v0, in0, out0, evenBase, oddBase);
      out1 = TakeOffBelow(bitmap, v1, in1, out1, evenBase, oddBase);
    }
    _mm512_storeu_si512(d, out0);
    _mm512_storeu_si512(d + 64, out1);
  }
  return groups * 16;
}

}  // namespace

int32_t MapRunsBelowAvx512(const RunLanes& lanes, const uint32_t* bitmap, const uint8_t* s, uint8_t* d,
                           int32_t width) {
  switch (lanes.runs) {
    case 1:
      return RunsBelowRowOf<1>(lanes, bitmap, s, d, width);
    case 2:
      return RunsBelowRowOf<2>(lanes, bitmap, s, d, width);
    case 3:
      return RunsBelowRowOf<3>(lanes, bitmap, s, d, width);
    case 4:
      return RunsBelowRowOf<4>(lanes, bitmap, s, d, width);
    case 5:
      return RunsBelowRowOf<5>(lanes, bitmap, s, d, width);
    default:
      return RunsBelowRowOf<kMaxWordRuns>(lanes, bitmap, s, d, width);
  }
}

}  // namespace orvanta
