// The float rows of OrvantaRemap on the host's float storage (four floats a pixel, in BGRA or RGBA
// order), one file per instruction set, each compiled for it and exporting one function.
#pragma once

#include <cstdint>

namespace orvanta {
inline namespace remap {

// Per request: the map of the input region [inStart, inEnd] to outStart + (t - inStart) * slope,
// and per place in a pixel (the channel stored there) whether it is ticked, whether values
// outside the region are kept, and the fixed result for those that are not.
struct FloatMap {
  double inStart = 0, inEnd = 1, outStart = 0, slope = 1;
  bool on[4] = {}, keep[4] = {};
  float fixed[4] = {};
};

// Maps a whole row of width pixels from src to dst: inside the region the mapped value, else the
// value kept or the fixed result, and the value itself in channels that are not ticked. The same
// operations in the same order as the tool's scalar map, so the same results.
using FloatRowFn = void (*)(const FloatMap& map, const float* src, float* dst, int32_t width);

void FloatRowSse2(const FloatMap& map, const float* src, float* dst, int32_t width);  // float_row_sse2.cpp
void FloatRowAvx512(const FloatMap& map, const float* src, float* dst,
                    int32_t width);  // float_row_avx512.cpp

}  // namespace remap
}  // namespace orvanta
