// The bitmap resource every tool library carries (id 100): a 116 x 87, 24-bit BMP of a ring on a
// dark gradient, built once on first use.
#include <cmath>
#include <cstring>
#include <vector>

#include "orvanta/skeleton.h"

namespace orvanta {
namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> MakeBitmap() {
  constexpr int32_t w = kBitmapWidth, h = kBitmapHeight;
  constexpr uint32_t rowBytes = (w * 3 + 3) & ~3u;
  std::vector<uint8_t> b(54 + size_t(rowBytes) * h, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, uint32_t(b.size()));
  Put32(b, 10, 54);
  Put32(b, 14, 40);
  Put32(b, 18, uint32_t(w));
  Put32(b, 22, uint32_t(h));
  Put16(b, 26, 1);
  Put16(b, 28, 24);
  Put32(b, 34, rowBytes * h);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = &b[54 + size_t(y) * rowBytes];  // bottom-up rows
    for (int32_t x = 0; x < w; ++x) {
      double dx = x - w / 2.0, dy = y - h / 2.0;
      double r = std::sqrt(dx * dx + dy * dy);
      bool ring = r > 24 && r < 34;
      row[x * 3 + 0] = ring ? 40 : uint8_t(60 + y);       // blue
      row[x * 3 + 1] = ring ? 170 : uint8_t(20 + x / 4);  // green
      row[x * 3 + 2] = ring ? 250 : 24;                   // red
    }
  }
  return b;
}

}  // namespace

const uint8_t* BitmapResource(int32_t id, size_t* size) {
  static const std::vector<uint8_t> bitmap = MakeBitmap();
  if (id != kBitmapId) {
    if (size) *size = 0;
    return nullptr;
  }
  if (size) *size = bitmap.size();
  return bitmap.data();
}

}  // namespace orvanta
