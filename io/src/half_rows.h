// Half-float samples to and from floats, many at a time. Half EXR files are read and written as
// halves and converted here, in vector registers where the processor has the instructions, instead
// of sample by sample inside the image library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvanta::io {

// Whether this processor converts in vector registers; without it the image library converts.
bool HalfRowsFast();

// n halves (their bits) to floats: exact, and NaNs keep their payload bits (shifted up), as the
// image library's own conversion does.
void HalfToFloat(const uint16_t* in, float* out, size_t n);

// n floats to halves, rounded to the nearest (ties to even), beyond the range to infinity; a NaN
// keeps the top bits of its payload (at least one set), as the image library's own conversion.
void FloatToHalf(const float* in, uint16_t* out, size_t n);

// Rows of RGBA halves to BGRA floats, and back: the same conversions with the first and third
// samples of every pixel swapped.
void HalfRgbaToFloatBgra(const uint16_t* in, float* out, size_t pixels);
void FloatBgraToHalfRgba(const float* in, uint16_t* out, size_t pixels);

// The same conversions one value at a time, for the ends of runs and for NaNs.
float HalfBitsToFloat(uint16_t h);
uint16_t FloatToHalfBits(float f);

}  // namespace orvanta::io
