// The float rows of OrvantaRemap on the host's float storage (four floats a pixel, blue, green,
// red, alpha), shared by the tool and its AVX-512 build.
#pragma once

#include <cstdint>

namespace orvanta {
inline namespace remap {

// Per request: the map of the input region [inStart, inEnd] to outStart + (t - inStart) * slope,
// and per channel whether it is ticked, whether values outside the region are kept, and the
// fixed result for those that are not.
struct FloatMap {
  double inStart = 0, inEnd = 1, outStart = 0, slope = 1;
  bool on[4] = {}, keep[4] = {};
  float fixed[4] = {};
};

// Maps whole groups of four pixels of a row; returns how many pixels it wrote. Built for AVX-512
// F in a file of its own: the caller checks that the processor has it.
int32_t FloatRowAvx512(const FloatMap& map, const float* src, float* dst, int32_t width);

}  // namespace remap
}  // namespace orvanta
