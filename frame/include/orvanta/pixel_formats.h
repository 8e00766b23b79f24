// The host's own storage formats (BGRA and RGBA, 8-bit, 16-bit and float) and their conversions
// to and from Pixel and FltPixel, written once and inline: the host builds its access routines from them, and
// format-specialised cursors use them directly so hot loops pay no call per pixel. Both paths give the same
// bytes.
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

// The formats are written once per sample type; kBlue and kRed are the places of blue and red in
// a pixel's four samples (green 1 and alpha 3 in both orders), so the RGBA formats give the same
// values as the BGRA ones for the same samples.
template <int kBlue, int kRed>
struct Bytes4 {
  static constexpr bool kRgba = kBlue == 2;
  static constexpr uint32_t kStorage = kRgba ? StorageRgba8 : StorageBgra8;
  static constexpr uint32_t kDepth = Depth8;
  static constexpr uint32_t kBytes = 4;
  static void Get(const uint8_t* s, Pixel& p) {
    p.B = s[kBlue] * 257u;
    p.G = s[1] * 257u;
    p.R = s[kRed] * 257u;
    p.A = s[3] * 257u;
  }
  static void Put(uint8_t* d, const Pixel& p) {
    d[kBlue] = SixteenTo8(p.B);
    d[1] = SixteenTo8(p.G);
    d[kRed] = SixteenTo8(p.R);
    d[3] = SixteenTo8(p.A);
  }
  static void GetFlt(const uint8_t* s, FltPixel& p) {
    p.B = s[kBlue] / 255.0f;
    p.G = s[1] / 255.0f;
    p.R = s[kRed] / 255.0f;
    p.A = s[3] / 255.0f;
  }
  static void PutFlt(uint8_t* d, const FltPixel& p) {
    d[kBlue] = FloatTo8(p.B);
    d[1] = FloatTo8(p.G);
    d[kRed] = FloatTo8(p.R);
    d[3] = FloatTo8(p.A);
  }
};

template <int kBlue, int kRed>
struct Words4 {
  static constexpr bool kRgba = kBlue == 2;
  static constexpr uint32_t kStorage = kRgba ? StorageRgba16 : StorageBgra16;
  static constexpr uint32_t kDepth = Depth16;
  static constexpr uint32_t kBytes = 8;
  static void Get(const uint8_t* a, Pixel& p) {
    uint16_t s[4];
    std::memcpy(s, a, sizeof s);
    p.B = s[kBlue];
    p.G = s[1];
    p.R = s[kRed];
    p.A = s[3];
  }
  static void Put(uint8_t* a, const Pixel& p) {
    uint16_t d[4];
    d[kBlue] = uint16_t(Sat16(p.B));
    d[1] = uint16_t(Sat16(p.G));
    d[kRed] = uint16_t(Sat16(p.R));
    d[3] = uint16_t(Sat16(p.A));
    std::memcpy(a, d, sizeof d);
  }
  static void GetFlt(const uint8_t* a, FltPixel& p) {
    uint16_t s[4];
    std::memcpy(s, a, sizeof s);
    p.B = s[kBlue] / 65535.0f;
    p.G = s[1] / 65535.0f;
    p.R = s[kRed] / 65535.0f;
    p.A = s[3] / 65535.0f;
  }
  static void PutFlt(uint8_t* a, const FltPixel& p) {
    uint16_t d[4];
    d[kBlue] = uint16_t(FloatTo16(p.B));
    d[1] = uint16_t(FloatTo16(p.G));
    d[kRed] = uint16_t(FloatTo16(p.R));
    d[3] = uint16_t(FloatTo16(p.A));
    std::memcpy(a, d, sizeof d);
  }
};

template <int kBlue, int kRed>
struct Floats4 {
  static constexpr bool kRgba = kBlue == 2;
  static constexpr uint32_t kStorage = kRgba ? StorageRgbaFloat : StorageBgraFloat;
  static constexpr uint32_t kDepth = DepthFloat;
  static constexpr uint32_t kBytes = 16;
  static void Get(const uint8_t* a, Pixel& p) {
    float s[4];
    std::memcpy(s, a, sizeof s);
    p.B = FloatTo16(s[kBlue]);
    p.G = FloatTo16(s[1]);
    p.R = FloatTo16(s[kRed]);
    p.A = FloatTo16(s[3]);
  }
  static void Put(uint8_t* a, const Pixel& p) {
    float d[4];
    d[kBlue] = Sat16(p.B) / 65535.0f;
    d[1] = Sat16(p.G) / 65535.0f;
    d[kRed] = Sat16(p.R) / 65535.0f;
    d[3] = Sat16(p.A) / 65535.0f;
    std::memcpy(a, d, sizeof d);
  }
  static void GetFlt(const uint8_t* a, FltPixel& p) {
    if constexpr (kBlue == 0) {
      std::memcpy(&p, a, sizeof p);
    } else {
      float s[4];
      std::memcpy(s, a, sizeof s);
      p = FltPixel{s[kBlue], s[1], s[kRed], s[3]};
    }
  }
  static void PutFlt(uint8_t* a, const FltPixel& p) {
    if constexpr (kBlue == 0) {
      std::memcpy(a, &p, sizeof p);
    } else {
      const float d[4] = {p.R, p.G, p.B, p.A};
      std::memcpy(a, d, sizeof d);
    }
  }
};

using Bgra8 = Bytes4<0, 2>;
using Bgra16 = Words4<0, 2>;
using BgraFloat = Floats4<0, 2>;
using Rgba8 = Bytes4<2, 0>;
using Rgba16 = Words4<2, 0>;
using RgbaFloat = Floats4<2, 0>;

}  // namespace orvanta::formats
