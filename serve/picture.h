// Pictures as the page takes them: the canvas's bytes for display, and a pixel's exact samples
// for the readout.
#pragma once

#include <cstdint>
#include <vector>

#include "orvanta/graph/describe.h"
#include "orvanta/host/host.h"

namespace orvanta::serve {

// An 8- or 16-bit image as width * height * 4 bytes R, G, B, A, rows top to bottom: 8-bit
// samples as they are, 16-bit ones rounded to the nearest of 256 levels (v / 257). The colour is
// not multiplied by the alpha; the alpha is kept as it is, or set to full (opaque: for a view of
// the colour alone, which the canvas then takes as it comes). Throws Failure for a float image (it
// goes through the view transform first).
std::vector<uint8_t> CanvasBytes(const Image& image, bool opaque = false);

// The 16-bit sample as the nearest 8-bit one: round(v / 257).
inline uint8_t ToByte16(uint32_t v) { return uint8_t((v * 255u + 32767u) / 65535u); }

// {x, y, width, height, depth, rgba}: the samples of pixel (x, y) in the image's own units, 0..255
// for 8-bit, 0..65535 for 16-bit, floats as stored. Throws Failure outside the image.
graph::Json PixelJson(const Image& image, int32_t x, int32_t y);

}  // namespace orvanta::serve
