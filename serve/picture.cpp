#include "picture.h"

#include "orvanta/host/failure.h"

namespace orvanta::serve {

std::vector<uint8_t> CanvasBytes(const Image& im) {
  if (im.Depth != Depth8 && im.Depth != Depth16)
    throw Failure("only 8- and 16-bit pictures are sent as they are; float ones go through the view");
  const size_t w = size_t(im.Width);
  std::vector<uint8_t> out(w * size_t(im.Height) * 4);
  uint8_t* d = out.data();
  for (int32_t y = 0; y < im.Height; ++y) {
    if (im.Depth == Depth8) {
      const uint8_t* s = host::RowBytes(&im, y);  // B, G, R, A
      for (size_t i = 0; i < w * 4; i += 4, d += 4) d[0] = s[i + 2], d[1] = s[i + 1], d[2] = s[i], d[3] = s[i + 3];
    } else {
      const uint16_t* s = reinterpret_cast<const uint16_t*>(host::RowBytes(&im, y));
      for (size_t i = 0; i < w * 4; i += 4, d += 4) {
        d[0] = ToByte16(s[i + 2]), d[1] = ToByte16(s[i + 1]);
        d[2] = ToByte16(s[i]), d[3] = ToByte16(s[i + 3]);
      }
    }
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
  return graph::Json{{"x", x},           {"y", y},         {"width", im.Width},
                     {"height", im.Height}, {"depth", depth}, {"rgba", std::move(rgba)}};
}

}  // namespace orvanta::serve
