// The host's own storage formats and their conversions to and from Pixel and FltPixel, written
// once and inline: the host builds its access routines from them, and format-specialised cursors
// use them directly so hot loops pay no call per pixel. Both paths give the same bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "orvanta/image.h"

namespace orvanta::formats {

inline uint32_t Sat16(uint32_t v) { return v > 65535u ? 65535u : v; }

// Float in 0..1 to 16 bits, rounded to nearest; NaN and negatives give 0.
inline uint32_t FloatTo16(float f) {
  if (!(f > 0.0f)) return 0;
  if (f >= 1.0f) return 65535;
  return uint32_t(f * 65535.0f + 0.5f);
}
inline uint8_t FloatTo8(float f) {
  if (!(f > 0.0f)) return 0;
  if (f >= 1.0f) return 255;
  return uint8_t(f * 255.0f + 0.5f);
}
// 16 bits to 8, rounded to nearest, so 257 * k maps back to k.
inline uint8_t SixteenTo8(uint32_t v) { return uint8_t((uint64_t(Sat16(v)) * 255u + 32767u) / 65535u); }

struct Bgra8 {
  static constexpr uint32_t kDepth = Depth8;
  static constexpr uint32_t kBytes = 4;
  static void Get(const uint8_t* s, Pixel& p) {
    p.B = s[0] * 257u;
    p.G = s[1] * 257u;
    p.R = s[2] * 257u;
    p.A = s[3] * 257u;
  }
  static void Put(uint8_t* d, const Pixel& p) {
    d[0] = SixteenTo8(p.B);
    d[1] = SixteenTo8(p.G);
    d[2] = SixteenTo8(p.R);
    d[3] = SixteenTo8(p.A);
  }
  static void GetFlt(const uint8_t* s, FltPixel& p) {
    p.B = s[0] / 255.0f;
    p.G = s[1] / 255.0f;
    p.R = s[2] / 255.0f;
    p.A = s[3] / 255.0f;
  }
  static void PutFlt(uint8_t* d, const FltPixel& p) {
    d[0] = FloatTo8(p.B);
    d[1] = FloatTo8(p.G);
    d[2] = FloatTo8(p.R);
    d[3] = FloatTo8(p.A);
  }
};

struct Bgra16 {
  static constexpr uint32_t kDepth = Depth16;
  static constexpr uint32_t kBytes = 8;
  static void Get(const uint8_t* a, Pixel& p) {
    uint16_t s[4];
    std::memcpy(s, a, sizeof s);
    p.B = s[0];
    p.G = s[1];
    p.R = s[2];
    p.A = s[3];
  }
  static void Put(uint8_t* a, const Pixel& p) {
    uint16_t d[4] = {uint16_t(Sat16(p.B)), uint16_t(Sat16(p.G)), uint16_t(Sat16(p.R)), uint16_t(Sat16(p.A))};
    std::memcpy(a, d, sizeof d);
  }
  static void GetFlt(const uint8_t* a, FltPixel& p) {
    uint16_t s[4];
    std::memcpy(s, a, sizeof s);
    p.B = s[0] / 65535.0f;
    p.G = s[1] / 65535.0f;
    p.R = s[2] / 65535.0f;
    p.A = s[3] / 65535.0f;
  }
  static void PutFlt(uint8_t* a, const FltPixel& p) {
    uint16_t d[4] = {uint16_t(FloatTo16(p.B)), uint16_t(FloatTo16(p.G)), uint16_t(FloatTo16(p.R)),
                     uint16_t(FloatTo16(p.A))};
    std::memcpy(a, d, sizeof d);
  }
};

struct BgraFloat {
  static constexpr uint32_t kDepth = DepthFloat;
  static constexpr uint32_t kBytes = 16;
  static void Get(const uint8_t* a, Pixel& p) {
    float s[4];
    std::memcpy(s, a, sizeof s);
    p.B = FloatTo16(s[0]);
    p.G = FloatTo16(s[1]);
    p.R = FloatTo16(s[2]);
    p.A = FloatTo16(s[3]);
  }
  static void Put(uint8_t* a, const Pixel& p) {
    float d[4] = {Sat16(p.B) / 65535.0f, Sat16(p.G) / 65535.0f, Sat16(p.R) / 65535.0f, Sat16(p.A) / 65535.0f};
    std::memcpy(a, d, sizeof d);
  }
  static void GetFlt(const uint8_t* a, FltPixel& p) { std::memcpy(&p, a, sizeof p); }
  static void PutFlt(uint8_t* a, const FltPixel& p) { std::memcpy(a, &p, sizeof p); }
};

}  // namespace orvanta::formats
