// The tools' bitmap resources (BMP files) as PNG files, for the bundle's icons.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace orvanta::ofx {

struct Rgba8Picture {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;  // rows top first, 4 bytes a pixel
};

// An uncompressed 24-bit or 32-bit BMP (rows bottom-up or top-down); throws std::runtime_error
// for anything else or for bytes that end early.
Rgba8Picture DecodeBmp(const std::vector<uint8_t>& bytes);

// An 8-bit RGBA PNG of the picture, its image data in stored (uncompressed) deflate blocks.
std::vector<uint8_t> EncodePng(const Rgba8Picture& picture);

}  // namespace orvanta::ofx
