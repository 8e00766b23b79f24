// The 16-bit rows of WordTables computed from runs with one-below words, built for AVX-512 (F and
// BW and VBMI): this file alone is compiled for it, and the caller checks that the processor has it.
#include <immintrin.h>

#include "orvanta/word_tables.h"

namespace orvanta {
namespace {

// The words of v computed from the runs (before any one-below word is taken off).
template <int32_t kRuns>
[[gnu::always_inline]] inline __m512i FromRuns(__m512i v, __m512i q0, __m512i k0, const __m512i* start,
                                               const __m512i* dq, const __m512i* dk) {
  __m512i q = q0, k = k0;
#pragma GCC unroll 8
  for (int32_t i = 0; i + 1 < kRuns; ++i) {
    const __mmask32 reached = _mm512_cmpge_epu16_mask(v, start[i]);
    q = _mm512_xor_si512(q, _mm512_maskz_mov_epi16(reached, dq[i]));
    k = _mm512_xor_si512(k, _mm512_maskz_mov_epi16(reached, dk[i]));
  }
  return _mm512_add_epi16(_mm512_mullo_epi16(v, q), k);
}

// The bits of block c for the words in it (zero for the others), given each word's block
// number and byte within the block.
[[gnu::always_inline]] inline __m512i BlockBits(const RunLanes& lanes, int32_t c, __m512i block, __m512i byte) {
  const __mmask64 in = _mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8(int8_t(lanes.chunkId[c])));
  return _mm512_maskz_permutex2var_epi8(in, _mm512_loadu_si512(lanes.bits[c]), byte, _mm512_loadu_si512(lanes.bits[c] + 32));
}

// Sixteen pixels (64 words) a step. The bitmap is read a byte per word, 64 words per permute:
// word v's bit is bit v % 8 of byte (v / 8) % 128 of block v / 1024 (the same bytes as the
// 16-bit words the lanes describe).
template <int32_t kRuns>
int32_t RunsBelowRowOf(const RunLanes& lanes, const uint8_t* s, uint8_t* d, int32_t width) {
  const __m512i q0 = _mm512_loadu_si512(lanes.q0), k0 = _mm512_loadu_si512(lanes.k0);
  __m512i start[kRuns], dq[kRuns], dk[kRuns];  // one spare, so that kRuns == 1 compiles
  for (int32_t i = 0; i + 1 < kRuns; ++i) {
    start[i] = _mm512_loadu_si512(lanes.start[i]);
    dq[i] = _mm512_loadu_si512(lanes.dq[i]);
    dk[i] = _mm512_loadu_si512(lanes.dk[i]);
  }
  // Byte j of the byte vectors belongs to word j of the two word vectors (channel j % 4).
  alignas(64) uint8_t lowBytes[64], highBytes[64], noBits[64], oneHot[64];
  for (int32_t j = 0; j < 64; ++j) {
    lowBytes[j] = uint8_t(2 * j);
    highBytes[j] = uint8_t(2 * j + 1);
    noBits[j] = uint8_t(lanes.noBits[j % 32]);
    oneHot[j] = uint8_t(1u << (j % 8));
  }
  const __m512i low = _mm512_load_si512(lowBytes), high = _mm512_load_si512(highBytes);
  const __m512i none = _mm512_load_si512(noBits), bitOf = _mm512_load_si512(oneHot);
  const __m512i sixtyThree = _mm512_set1_epi8(63), one = _mm512_set1_epi16(1);
  const int32_t chunks = lanes.chunks;
  const __m512i firstId = _mm512_set1_epi8(int8_t(chunks > 0 ? lanes.chunkId[0] : 0));
  const __m512i idSpan = _mm512_set1_epi8(int8_t(chunks > 0 ? lanes.chunkId[chunks - 1] - lanes.chunkId[0] : 0));
  const int32_t groups = width / 16;
  for (int32_t g = 0; g < groups; ++g, s += 128, d += 128) {
    __builtin_prefetch(s + 2048);  // the input stream, further ahead than the hardware fetches it
    const __m512i v0 = _mm512_loadu_si512(s), v1 = _mm512_loadu_si512(s + 64);
    __m512i out0 = FromRuns<kRuns>(v0, q0, k0, start, dq, dk);
    __m512i out1 = FromRuns<kRuns>(v1, q0, k0, start, dq, dk);
    if (chunks > 0) {
      // Block number (v / 1024, or 0x40 and up for channels without bits), byte within the
      // block (the permute reads the low 7 bits of v / 8) and the bit's mask, a byte per word.
      const __m512i hi = _mm512_permutex2var_epi8(v0, high, v1);
      const __m512i block = _mm512_ternarylogic_epi32(_mm512_srli_epi16(hi, 2), sixtyThree, none, 0xEA);
      // Most steps of a picture have no word in any block.
      if (_mm512_cmple_epu8_mask(_mm512_sub_epi8(block, firstId), idSpan) == 0) {
        _mm512_storeu_si512(d, out0);
        _mm512_storeu_si512(d + 64, out1);
        continue;
      }
      const __m512i byte = _mm512_permutex2var_epi8(_mm512_srli_epi16(v0, 3), low, _mm512_srli_epi16(v1, 3));
      const __m512i bit = _mm512_maskz_permutexvar_epi8(~__mmask64(0), _mm512_permutex2var_epi8(v0, low, v1), bitOf);
      __m512i picked = _mm512_setzero_si512(), other = _mm512_setzero_si512();  // two sums in flight
      int32_t c = 0;
      for (; c + 1 < chunks; c += 2) {
        picked = _mm512_or_si512(picked, BlockBits(lanes, c, block, byte));
        other = _mm512_or_si512(other, BlockBits(lanes, c + 1, block, byte));
      }
      if (c < chunks) picked = _mm512_or_si512(picked, BlockBits(lanes, c, block, byte));
      const __mmask64 below = _mm512_test_epi8_mask(_mm512_or_si512(picked, other), bit);
      out0 = _mm512_mask_sub_epi16(out0, __mmask32(below), out0, one);
      out1 = _mm512_mask_sub_epi16(out1, __mmask32(below >> 32), out1, one);
    }
    _mm512_storeu_si512(d, out0);
    _mm512_storeu_si512(d + 64, out1);
  }
  return groups * 16;
}

}  // namespace

int32_t MapRunsBelowAvx512(const RunLanes& lanes, const uint8_t* s, uint8_t* d, int32_t width) {
  switch (lanes.runs) {
    case 1: return RunsBelowRowOf<1>(lanes, s, d, width);
    case 2: return RunsBelowRowOf<2>(lanes, s, d, width);
    case 3: return RunsBelowRowOf<3>(lanes, s, d, width);
    case 4: return RunsBelowRowOf<4>(lanes, s, d, width);
    case 5: return RunsBelowRowOf<5>(lanes, s, d, width);
    default: return RunsBelowRowOf<RunLanes::kMaxRuns>(lanes, s, d, width);
  }
}

}  // namespace orvanta
