// Per-request lookup tables for tools whose integer result for a channel depends on that
// channel's word alone. Every word the host's images give is 0..65535, so one table of 65536
// result words per distinct channel outcome replaces the per-pixel arithmetic.
//
// The tool fills the result words (the value its rule gives, before any store) and says which
// table each channel reads; Seal() then derives what the host's own storage formats would store
// from them: the word saturated to 16 bits, and for 8-bit storage the byte of each of the 256
// words 257 * k. MapRow runs a row through the stored form when both images use the same host
// format, and through the cursors otherwise, where `wide(word, channel)` handles words above
// 65535 that other image models may give. Every path gives the bytes the cursors would.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orvanta/pixel_cursor.h"

namespace orvanta {

class WordTables {
 public:
  // Makes `count` tables (their words unset) and points every channel at table 0.
  void Reset(int32_t count) {
    words_.resize(size_t(count) * 65536);
    for (int32_t& k : index_) k = 0;
  }
  // The 65536 result words of table k, for the tool to fill.
  uint32_t* Words(int32_t k) { return words_.data() + size_t(k) * 65536; }
  void Assign(int32_t channel, int32_t k) { index_[channel] = k; }

  // Derives the stored forms; call once the words are filled, before any MapRow.
  void Seal() {
    const size_t count = words_.size() / 65536;
    stored16_.resize(words_.size());
    stored8_.resize(count * 256);
    for (size_t i = 0; i < words_.size(); ++i) stored16_[i] = uint16_t(formats::Sat16(words_[i]));
    // An 8-bit byte b reads as the word 257 * b and its result word is stored back as a byte.
    for (size_t k = 0; k < count; ++k)
      for (uint32_t b = 0; b < 256u; ++b)
        stored8_[k * 256 + b] = formats::SixteenTo8(words_[k * 65536 + b * 257u]);
  }

  template <class Wide>
  void MapRow(Image* src, Image* dst, int32_t y, int32_t width, const Wide& wide) const {
    const int32_t k0 = index_[0], k1 = index_[1], k2 = index_[2], k3 = index_[3];
    if (src->Storage == StorageBgra16 && dst->Storage == StorageBgra16) {
      const uint16_t* t0 = stored16_.data() + size_t(k0) * 65536;
      const uint16_t* t1 = stored16_.data() + size_t(k1) * 65536;
      const uint16_t* t2 = stored16_.data() + size_t(k2) * 65536;
      const uint16_t* t3 = stored16_.data() + size_t(k3) * 65536;
      // A pixel is one 64-bit load and one store, the four words in memory order.
      static_assert(std::endian::native == std::endian::little);
      const uint8_t* s = src->RowTable[y];
      uint8_t* d = dst->RowTable[y];
      for (int32_t x = 0; x < width; ++x, s += 8, d += 8) {
        uint64_t in;
        std::memcpy(&in, s, 8);
        const uint64_t out = uint64_t(t0[in & 0xFFFF]) | uint64_t(t1[(in >> 16) & 0xFFFF]) << 16 |
                             uint64_t(t2[(in >> 32) & 0xFFFF]) << 32 | uint64_t(t3[in >> 48]) << 48;
        std::memcpy(d, &out, 8);
      }
      return;
    }
    if (src->Storage == StorageBgra8 && dst->Storage == StorageBgra8) {
      const uint8_t* t0 = stored8_.data() + size_t(k0) * 256;
      const uint8_t* t1 = stored8_.data() + size_t(k1) * 256;
      const uint8_t* t2 = stored8_.data() + size_t(k2) * 256;
      const uint8_t* t3 = stored8_.data() + size_t(k3) * 256;
      const uint8_t* s = src->RowTable[y];
      uint8_t* d = dst->RowTable[y];
      for (int32_t x = 0; x < width; ++x, s += 4, d += 4) {
        const uint8_t b = t0[s[0]], g = t1[s[1]], r = t2[s[2]], a = t3[s[3]];
        d[0] = b;
        d[1] = g;
        d[2] = r;
        d[3] = a;
      }
      return;
    }
    const uint32_t* table[4] = {words_.data() + size_t(k0) * 65536, words_.data() + size_t(k1) * 65536,
                                words_.data() + size_t(k2) * 65536, words_.data() + size_t(k3) * 65536};
    orvanta::MapRow<Pixel>(src, dst, y, width, [&](uint32_t& w, int32_t channel) {
      if (w <= 65535u) w = table[channel][w];
      else wide(w, channel);
    });
  }

 private:
  int32_t index_[4] = {};
  std::vector<uint32_t> words_;
  std::vector<uint16_t> stored16_;
  std::vector<uint8_t> stored8_;
};

}  // namespace orvanta
