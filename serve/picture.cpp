#include "picture.h"

#include <cstring>

#include "orvanta/host/failure.h"

namespace orvanta::serve {

namespace {

// One row of 8-bit pixels: B, G, R, A words to R, G, B, A words (little-endian memory), a word at a
// time so that the compiler can run it on vector registers.
void SwapRow8(const uint8_t* from, uint8_t* to, size_t pixels, uint32_t alpha) {
  for (size_t i = 0; i < pixels; ++i) {
    uint32_t v;
    std::memcpy(&v, from + 4 * i, 4);
    v = (v & 0xFF00FF00u) | ((v & 0xFFu) << 16) | ((v >> 16) & 0xFFu) | alpha;
    std::memcpy(to + 4 * i, &v, 4);
  }
}

void RoundRow16(const uint16_t* s, uint8_t* d, size_t pixels, bool opaque) {
  for (size_t i = 0; i < pixels * 4; i += 4, d += 4) {
    d[0] = ToByte16(s[i + 2]), d[1] = ToByte16(s[i + 1]), d[2] = ToByte16(s[i]);
    d[3] = opaque ? 255 : ToByte16(s[i + 3]);
  }
}

}  // namespace

std::vector<uint8_t> CanvasBytes(const Image& im, bool opaque) {
  if (im.Depth != Depth8 && im.Depth != Depth16)
    throw Failure("only 8- and 16-bit pictures are sent as they are; float ones go through the view");
  const size_t w = size_t(im.Width);
  std::vector<uint8_t> out(w * size_t(im.Height) * 4);
  for (int32_t y = 0; y < im.Height; ++y) {
    uint8_t* d = out.data() + w * 4 * size_t(y);
    if (im.Depth == Depth8)
      SwapRow8(host::RowBytes(&im, y), d, w, opaque ? 0xFF000000u : 0u);
    else
      RoundRow16(reinterpret_cast<const uint16_t*>(host::RowBytes(&im, y)), d, w, opaque);
  }
  return out;
}

graph::Json PixelJson(const Image& im, int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= im.Width || y >= im.Height)
    throw Failure("the pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is outside the " +
                  std::to_string(im.Width) + " x " + std::to_string(im.Height) + " picture");
  graph::Json rgba = graph::Json::array();
  const char* depth = "float";
  const uint8_t* row = host::RowBytes(&im, y);
  if (im.Depth == Depth8) {
    const uint8_t* p = row + 4 * size_t(x);
    rgba = {p[2], p[1], p[0], p[3]};
    depth = "8-bit";
  } else if (im.Depth == Depth16) {
    const uint16_t* p = reinterpret_cast<const uint16_t*>(row) + 4 * size_t(x);
    rgba = {p[2], p[1], p[0], p[3]};
    depth = "16-bit";
  } else {
    const float* p = reinterpret_cast<const float*>(row) + 4 * size_t(x);
    rgba = {p[2], p[1], p[0], p[3]};
  }
  return graph::Json{{"x", x},
                     {"y", y},
                     {"width", im.Width},
                     {"height", im.Height},
                     {"depth", depth},
                     {"rgba", std::move(rgba)}};
}

}  // namespace orvanta::serve
