#include "half_rows.h"

#include <bit>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace orvanta::io {

float HalfBitsToFloat(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000) << 16;
  const uint32_t exp = (h >> 10) & 0x1f;
  uint32_t mant = h & 0x3ff;
  uint32_t bits;
  if (exp == 0x1f) {
    bits = sign | 0x7f800000u | (mant << 13);  // infinity or NaN
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (mant << 13);
  } else if (mant == 0) {
    bits = sign;
  } else {  // a subnormal half is a normal float: shift the mantissa up to its leading one
    int e = 113;
    while (!(mant & 0x400)) {
      mant <<= 1;
      --e;
    }
    bits = sign | (uint32_t(e) << 23) | ((mant & 0x3ff) << 13);
  }
  return std::bit_cast<float>(bits);
}

uint16_t FloatToHalfBits(float f) {
  const uint32_t bits = std::bit_cast<uint32_t>(f);
  const uint16_t sign = uint16_t((bits >> 16) & 0x8000);
  const uint32_t abs = bits & 0x7fffffffu;
  if (abs >= 0x7f800000u) {  // infinity, or NaN with its payload's top bits (never zero)
    if (abs == 0x7f800000u) return sign | 0x7c00;
    const uint16_t m = uint16_t((abs & 0x7fffff) >> 13);
    return uint16_t(sign | 0x7c00 | m | (m == 0));
  }
  if (abs >= 0x477ff000u) return sign | 0x7c00;  // rounds beyond the largest half
  if (abs < 0x38800000u) {                       // a subnormal half, or zero
    if (abs < 0x33000000u) return sign;          // at most half the smallest subnormal: zero
    const uint32_t e = abs >> 23;
    const uint32_t mant = (abs & 0x7fffff) | 0x800000;
    const uint32_t shift = 126 - e;  // 14..24
    uint32_t h = mant >> shift;
    const uint32_t rest = mant & ((1u << shift) - 1);
    const uint32_t halfway = 1u << (shift - 1);
    if (rest > halfway || (rest == halfway && (h & 1))) ++h;
    return uint16_t(sign | h);
  }
  // Normal: round the 13 dropped bits to nearest, ties to even; a carry runs into the exponent.
  uint32_t h = ((abs >> 13) - (112u << 10));
  const uint32_t rest = abs & 0x1fff;
  if (rest > 0x1000 || (rest == 0x1000 && (h & 1))) ++h;
  return uint16_t(sign | h);
}

namespace {

void HalfRgbaToFloatBgraScalar(const uint16_t* in, float* out, size_t pixels) {
  for (size_t p = 0; p < pixels; ++p, in += 4, out += 4) {
    out[0] = HalfBitsToFloat(in[2]);
    out[1] = HalfBitsToFloat(in[1]);
    out[2] = HalfBitsToFloat(in[0]);
    out[3] = HalfBitsToFloat(in[3]);
  }
}

void FloatBgraToHalfRgbaScalar(const float* in, uint16_t* out, size_t pixels) {
  for (size_t p = 0; p < pixels; ++p, in += 4, out += 4) {
    out[0] = FloatToHalfBits(in[2]);
    out[1] = FloatToHalfBits(in[1]);
    out[2] = FloatToHalfBits(in[0]);
    out[3] = FloatToHalfBits(in[3]);
  }
}

}  // namespace

#if defined(__x86_64__)
namespace {

__attribute__((target("avx,f16c"))) void HalfToFloatF16c(const uint16_t* in, float* out, size_t n) {
  const __m128i magnitude = _mm_set1_epi16(0x7fff);
  const __m128i infinity = _mm_set1_epi16(0x7c00);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
    // The instruction quiets signalling NaNs; those few are redone bit for bit.
    if (_mm_movemask_epi8(_mm_cmpgt_epi16(_mm_and_si128(h, magnitude), infinity)))
      for (size_t k = i; k < i + 8; ++k) out[k] = HalfBitsToFloat(in[k]);
  }
  for (; i < n; ++i) out[i] = HalfBitsToFloat(in[i]);
}

__attribute__((target("avx,f16c"))) void FloatToHalfF16c(const float* in, uint16_t* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 f = _mm256_loadu_ps(in + i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    // The instruction sets the quiet bit of NaNs; those few are redone bit for bit.
    if (_mm256_movemask_ps(_mm256_cmp_ps(f, f, _CMP_UNORD_Q)))
      for (size_t k = i; k < i + 8; ++k) out[k] = FloatToHalfBits(in[k]);
  }
  for (; i < n; ++i) out[i] = FloatToHalfBits(in[i]);
}

// Pixels 0 1 2 3 as 2 1 0 3 within each half of the register: RGBA <-> BGRA, two pixels a step.
constexpr int kSwapRedBlue = _MM_SHUFFLE(3, 0, 1, 2);

__attribute__((target("avx,f16c"))) void HalfRgbaToFloatBgraF16c(const uint16_t* in, float* out,
                                                                 size_t pixels) {
  const __m128i magnitude = _mm_set1_epi16(0x7fff);
  const __m128i infinity = _mm_set1_epi16(0x7c00);
  size_t p = 0;
  for (; p + 2 <= pixels; p += 2) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * p));
    _mm256_storeu_ps(out + 4 * p, _mm256_permute_ps(_mm256_cvtph_ps(h), kSwapRedBlue));
    if (_mm_movemask_epi8(_mm_cmpgt_epi16(_mm_and_si128(h, magnitude), infinity)))
      HalfRgbaToFloatBgraScalar(in + 4 * p, out + 4 * p, 2);
  }
  HalfRgbaToFloatBgraScalar(in + 4 * p, out + 4 * p, pixels - p);
}

__attribute__((target("avx,f16c"))) void FloatBgraToHalfRgbaF16c(const float* in, uint16_t* out,
                                                                 size_t pixels) {
  size_t p = 0;
  for (; p + 2 <= pixels; p += 2) {
    const __m256 f = _mm256_loadu_ps(in + 4 * p);
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(out + 4 * p),
        _mm256_cvtps_ph(_mm256_permute_ps(f, kSwapRedBlue), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    if (_mm256_movemask_ps(_mm256_cmp_ps(f, f, _CMP_UNORD_Q)))
      FloatBgraToHalfRgbaScalar(in + 4 * p, out + 4 * p, 2);
  }
  FloatBgraToHalfRgbaScalar(in + 4 * p, out + 4 * p, pixels - p);
}

// Four pixels a step in 512-bit registers, where the processor has them (the masked forms: GCC 12
// warns of the unmasked ones' undefined source); the rest of a row, and
// vectors holding a NaN, as above.
__attribute__((target("avx512f,avx2,f16c"))) void HalfRgbaToFloatBgraAvx512(const uint16_t* in, float* out,
                                                                            size_t pixels) {
  const __m256i magnitude = _mm256_set1_epi16(0x7fff);
  const __m256i infinity = _mm256_set1_epi16(0x7c00);
  size_t p = 0;
  for (; p + 4 <= pixels; p += 4) {
    const __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * p));
    _mm512_storeu_ps(out + 4 * p,
                     _mm512_maskz_permute_ps(0xffff, _mm512_maskz_cvtph_ps(0xffff, h), kSwapRedBlue));
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi16(_mm256_and_si256(h, magnitude), infinity)))
      HalfRgbaToFloatBgraScalar(in + 4 * p, out + 4 * p, 4);
  }
  HalfRgbaToFloatBgraF16c(in + 4 * p, out + 4 * p, pixels - p);
}

__attribute__((target("avx512f,avx2,f16c"))) void FloatBgraToHalfRgbaAvx512(const float* in, uint16_t* out,
                                                                            size_t pixels) {
  size_t p = 0;
  for (; p + 4 <= pixels; p += 4) {
    const __m512 f = _mm512_loadu_ps(in + 4 * p);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * p),
                        _mm512_maskz_cvtps_ph(0xffff, _mm512_maskz_permute_ps(0xffff, f, kSwapRedBlue),
                                              _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    if (_mm512_cmp_ps_mask(f, f, _CMP_UNORD_Q)) FloatBgraToHalfRgbaScalar(in + 4 * p, out + 4 * p, 4);
  }
  FloatBgraToHalfRgbaF16c(in + 4 * p, out + 4 * p, pixels - p);
}

bool HasAvx512() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
  return has;
}

}  // namespace
#endif

bool HalfRowsFast() {
#if defined(__x86_64__)
  // F16C asked of the processor itself (CPUID leaf 1, ECX bit 29): clang's builtin does not know
  // the name.
  static const bool fast = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __builtin_cpu_supports("avx") && __get_cpuid(1, &a, &b, &c, &d) && (c & bit_F16C) != 0;
  }();
  return fast;
#else
  return false;
#endif
}

// Each runs the vector version where the processor has it, else one value at a time.

void HalfToFloat(const uint16_t* in, float* out, size_t n) {
#if defined(__x86_64__)
  if (HalfRowsFast()) return HalfToFloatF16c(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = HalfBitsToFloat(in[i]);
}

void FloatToHalf(const float* in, uint16_t* out, size_t n) {
#if defined(__x86_64__)
  if (HalfRowsFast()) return FloatToHalfF16c(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = FloatToHalfBits(in[i]);
}

void HalfRgbaToFloatBgra(const uint16_t* in, float* out, size_t pixels) {
#if defined(__x86_64__)
  if (HalfRowsFast() && HasAvx512()) return HalfRgbaToFloatBgraAvx512(in, out, pixels);
  if (HalfRowsFast()) return HalfRgbaToFloatBgraF16c(in, out, pixels);
#endif
  HalfRgbaToFloatBgraScalar(in, out, pixels);
}

void FloatBgraToHalfRgba(const float* in, uint16_t* out, size_t pixels) {
#if defined(__x86_64__)
  if (HalfRowsFast() && HasAvx512()) return FloatBgraToHalfRgbaAvx512(in, out, pixels);
  if (HalfRowsFast()) return FloatBgraToHalfRgbaF16c(in, out, pixels);
#endif
  FloatBgraToHalfRgbaScalar(in, out, pixels);
}

}  // namespace orvanta::io
