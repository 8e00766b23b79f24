#include "png.h"

#include <algorithm>
#include <array>
#include <string>

namespace orvanta::ofx {
namespace {

uint32_t Le(const std::vector<uint8_t>& b, size_t at, size_t n) {
  if (at + n > b.size()) throw std::runtime_error("the bitmap ends inside its header");
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t(b[at + i]) << (8 * i);
  return v;
}

void Be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void Chunk(std::vector<uint8_t>& png, const char (&type)[5], const std::vector<uint8_t>& data) {
  Be32(png, uint32_t(data.size()));
  const size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  Be32(png, Crc32(png.data() + start, png.size() - start));
}

// A zlib stream of stored blocks holding raw.
std::vector<uint8_t> Stored(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> z = {0x78, 0x01};
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    const bool last = at + n == raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(uint8_t(n));
    z.push_back(uint8_t(n >> 8));
    z.push_back(uint8_t(~n));
    z.push_back(uint8_t(~n >> 8));
    z.insert(z.end(), raw.begin() + std::ptrdiff_t(at), raw.begin() + std::ptrdiff_t(at + n));
    at += n;
  } while (at < raw.size());
  uint32_t a = 1, b = 0;
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  Be32(z, b << 16 | a);
  return z;
}

}  // namespace

Rgba8Picture DecodeBmp(const std::vector<uint8_t>& b) {
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') throw std::runtime_error("the bitmap is not a BMP file");
  const uint32_t offset = Le(b, 10, 4);
  const int32_t width = int32_t(Le(b, 18, 4)), rawHeight = int32_t(Le(b, 22, 4));
  const uint32_t bits = Le(b, 28, 2), compression = Le(b, 30, 4);
  if ((bits != 24 && bits != 32) || compression != 0)
    throw std::runtime_error("the bitmap is not an uncompressed 24-bit or 32-bit BMP");
  const int32_t height = rawHeight < 0 ? -rawHeight : rawHeight;
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535)
    throw std::runtime_error("the bitmap has a size of " + std::to_string(width) + " x " +
                             std::to_string(rawHeight));
  const size_t bytes = bits / 8, rowBytes = (size_t(width) * bytes + 3) & ~size_t(3);
  if (offset + rowBytes * size_t(height) > b.size())
    throw std::runtime_error("the bitmap ends inside its pixels");
  Rgba8Picture pic{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4)};
  for (int32_t y = 0; y < height; ++y) {
    const int32_t stored = rawHeight < 0 ? y : height - 1 - y;  // BMP rows are bottom-up unless negative
    const uint8_t* s = b.data() + offset + size_t(stored) * rowBytes;
    uint8_t* d = pic.rgba.data() + size_t(y) * size_t(width) * 4;
    for (int32_t x = 0; x < width; ++x, s += bytes, d += 4) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
      d[3] = bytes == 4 ? s[3] : 255;
    }
  }
  return pic;
}

std::vector<uint8_t> EncodePng(const Rgba8Picture& pic) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  Be32(header, uint32_t(pic.width));
  Be32(header, uint32_t(pic.height));
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, adaptive filters, no interlace
  Chunk(png, "IHDR", header);
  std::vector<uint8_t> raw;
  const size_t row = size_t(pic.width) * 4;
  for (int32_t y = 0; y < pic.height; ++y) {
    raw.push_back(0);  // no filter
    raw.insert(raw.end(), pic.rgba.begin() + std::ptrdiff_t(size_t(y) * row),
               pic.rgba.begin() + std::ptrdiff_t(size_t(y + 1) * row));
  }
  Chunk(png, "IDAT", Stored(raw));
  Chunk(png, "IEND", {});
  return png;
}

}  // namespace orvanta::ofx
