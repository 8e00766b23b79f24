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
//
// Many tables are a few straight runs: a word kept, a fixed word, a line such as 2v - 32768.
// Seal() looks for at most kMaxRuns runs of word = (q * v + k) mod 65536 matching the 16-bit
// stored table exactly; when every channel's table has them, 16-bit rows are computed from the
// runs eight words at a time instead of looked up (a lookup touches 128 KiB per table, and the
// misses cost more than the arithmetic).
//
// Tables of truncated results often sit on such lines except that some words are one below
// them (a result that lands on a whole number rounds to either side of it). On processors with
// AVX-512 (F and BW), tables whose runs allow that are computed from the runs with the one-below
// words read from a bitmap of 65536 bits per such table by gathers: 32 words at a time.
//
// The rows computed from runs are built per instruction set in files of their own
// (word_rows_*.cpp), each exporting one function; a WordTables chooses them when it is made.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "orvanta/pixel_cursor.h"

namespace orvanta {

inline constexpr int32_t kMaxWordRuns = 6;

// Lane parameters of the SSE2 rows, for eight words (two pixels, channel = lane % 4): the first
// run's q and k, then per later run its start and the xor that turns the previous run's q and k
// into its own. Runs start in increasing order, so the runs a word has reached are a prefix and
// the xors telescope to the parameters of the last one. Channels with fewer runs get starts of 0
// and xors of 0, which change nothing.
struct RunPairs {
  int32_t runs = 0;
  uint16_t q0[8] = {}, k0[8] = {};
  uint16_t start[kMaxWordRuns - 1][8] = {}, dq[kMaxWordRuns - 1][8] = {}, dk[kMaxWordRuns - 1][8] = {};
};

// Lane parameters of the AVX-512 rows, for 32 words (eight pixels, channel = lane % 4): the
// first run's q and k, then per later run its start, q and k (a channel with fewer runs repeats
// its last one from word 65535, which lies in that one anyway). Then where the one-below words
// are: hasBits has bit j set when word j's channel has such words, each within one of the two
// ranges bitsFrom[i] .. bitsFrom[i] + bitsSpan[i] (the words on either side of the widest gap
// between them); they are the set bits of a bitmap, word v of a channel at bit v % 32 of dword
// base + v / 32, base being evenBase[i] for word 2i and oddBase[i] for word 2i + 1 (2048 dwords
// per distinct table).
struct RunLanes {
  int32_t runs = 0;
  uint32_t hasBits = 0;
  uint16_t q0[32], k0[32];
  uint16_t start[kMaxWordRuns - 1][32], q[kMaxWordRuns - 1][32], k[kMaxWordRuns - 1][32];
  uint16_t bitsFrom[2][32], bitsSpan[2][32];
  int32_t evenBase[16], oddBase[16];
};

// Rows of host 16-bit storage computed from runs: each maps whole steps of its instruction set
// (pairs of pixels; groups of sixteen) and returns how many pixels it wrote.
using RunRowFn = int32_t (*)(const RunPairs& lanes, const uint8_t* s, uint8_t* d, int32_t width);
using RunsBelowRowFn = int32_t (*)(const RunLanes& lanes, const uint32_t* bitmap, const uint8_t* s,
                                   uint8_t* d, int32_t width);
int32_t MapRunsSse2(const RunPairs& lanes, const uint8_t* s, uint8_t* d, int32_t width);
int32_t MapRunsBelowAvx512(const RunLanes& lanes, const uint32_t* bitmap, const uint8_t* s, uint8_t* d,
                           int32_t width);

class WordTables {
 public:
  // Chooses the rows this processor runs.
  WordTables();

  // The tables depend only on a request's settings. A tool passes them here first: true when
  // they are bit for bit the settings of the last Seal(), the tables then being kept as they are
  // (a sequence of frames with the same settings builds them once); false otherwise, when the
  // tool builds and seals the tables again.
  bool Reuses(std::initializer_list<double> settings) {
    pending_ = settings.size() <= std::size(pendingSettings_);
    pendingCount_ = pending_ ? settings.size() : 0;
    std::copy_n(settings.begin(), pendingCount_, pendingSettings_);
    const bool same = pending_ && sealed_ && pendingCount_ == sealedCount_ &&
                      std::memcmp(pendingSettings_, sealedSettings_, pendingCount_ * sizeof(double)) == 0;
    if (same)
      pending_ = false;
    else
      sealed_ = false;  // until the next Seal()
    return same;
  }

  // Makes `count` tables (their words unset) and points every channel at table 0.
  void Reset(int32_t count) {
    words_.resize(size_t(count) * 65536);
    for (int32_t& k : index_) k = 0;
    runCount_ = 0;
  }
  // The 65536 result words of table k, for the tool to fill.
  uint32_t* Words(int32_t k) { return words_.data() + size_t(k) * 65536; }
  void Assign(int32_t channel, int32_t k) { index_[channel] = k; }

  // Derives the stored forms; call once the words are filled, before any MapRow.
  void Seal();

  // True when 16-bit rows are computed from runs rather than looked up (for tests).
  bool ComputesRuns() const { return runCount_ > 0; }
  // True when this processor computes tables with one-below words from runs (for tests).
  static bool ComputesRunsBelow();

  template <class Wide>
  void MapRow(Image* src, Image* dst, int32_t y, int32_t width, const Wide& wide) const {
    // Tables by the place of their channel in memory: blue, green, red, alpha in BGRA storage,
    // red and blue exchanged in RGBA storage.
    const uint32_t st = src->Storage;
    const int32_t order = IsRgbaStorage(st) ? 1 : 0;
    const int32_t k0 = index_[order ? 2 : 0], k1 = index_[1], k2 = index_[order ? 0 : 2], k3 = index_[3];
    if ((st == StorageBgra16 || st == StorageRgba16) && dst->Storage == st) {
      const uint16_t* t0 = stored16_.data() + size_t(k0) * 65536;
      const uint16_t* t1 = stored16_.data() + size_t(k1) * 65536;
      const uint16_t* t2 = stored16_.data() + size_t(k2) * 65536;
      const uint16_t* t3 = stored16_.data() + size_t(k3) * 65536;
      // A pixel is one 64-bit load and one store, the four words in memory order.
      static_assert(std::endian::native == std::endian::little);
      const uint8_t* s = src->RowTable[y];
      uint8_t* d = dst->RowTable[y];
      int32_t x = 0;
      if (below_)
        x = runsBelowRow_(lanes_[order], bitmap_.data(), s, d, width);
      else if (runCount_ > 0 && runRow_)
        x = runRow_(pairs_[order], s, d, width);
      s += size_t(x) * 8;
      d += size_t(x) * 8;
      for (; x < width; ++x, s += 8, d += 8) {
        uint64_t in;
        std::memcpy(&in, s, 8);
        const uint64_t out = uint64_t(t0[in & 0xFFFF]) | uint64_t(t1[(in >> 16) & 0xFFFF]) << 16 |
                             uint64_t(t2[(in >> 32) & 0xFFFF]) << 32 | uint64_t(t3[in >> 48]) << 48;
        std::memcpy(d, &out, 8);
      }
      return;
    }
    if ((st == StorageBgra8 || st == StorageRgba8) && dst->Storage == st) {
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
    const uint32_t* table[4] = {
        words_.data() + size_t(index_[0]) * 65536, words_.data() + size_t(index_[1]) * 65536,
        words_.data() + size_t(index_[2]) * 65536, words_.data() + size_t(index_[3]) * 65536};
    orvanta::MapRow<Pixel>(src, dst, y, width, [&](uint32_t& w, int32_t channel) {
      if (w <= 65535u)
        w = table[channel][w];
      else
        wide(w, channel);
    });
  }

 private:
  struct Run {
    uint32_t start;  // first word of the run
    uint16_t q, k;   // word = (q * v + k) mod 65536
  };
  struct Runs {
    int32_t count = 0;
    Run run[kMaxWordRuns];
  };
  // Where a channel's one-below words lie: its bitmap (-1 for none), the first and last such
  // word, and the widest gap between two of them.
  struct BelowWords {
    int32_t slot = -1;
    uint32_t first = 0, last = 0, gapFrom = 0, gapTo = 0;
  };

  static bool FindRuns(const uint16_t* t, Runs& out);
  static bool FindRunsBelow(const uint16_t* t, Runs& out);
  void PrepareRuns();
  int32_t FirstSharing(int32_t c) const;
  void FillPairs(const Runs (&runs)[4], int32_t most, int32_t order);
  void PrepareRunsBelow();
  bool MarkBelowWords(const uint16_t* t, const Runs& r, BelowWords& b, int32_t& slots);
  void FillLanes(const Runs (&runs)[4], const BelowWords (&below)[4], int32_t most, int32_t order);

  // The settings given to Reuses() for the tables being built, and those of the last Seal()
  // (at most 32; a tool with more never reuses its tables).
  double pendingSettings_[32] = {}, sealedSettings_[32] = {};
  size_t pendingCount_ = 0, sealedCount_ = 0;
  bool pending_ = false, sealed_ = false;
  int32_t index_[4] = {};
  std::vector<uint32_t> words_;
  std::vector<uint16_t> stored16_;
  std::vector<uint8_t> stored8_;
  // The rows computed from runs that this processor runs (null: looked up instead).
  RunRowFn runRow_ = nullptr;
  RunsBelowRowFn runsBelowRow_ = nullptr;
  int32_t runCount_ = 0;  // 0: 16-bit rows are looked up
  bool below_ = false;    // computed by runsBelowRow_ from lanes_, one-below words included
  // The lanes for BGRA storage [0] and RGBA storage [1].
  RunPairs pairs_[2];  // else computed by runRow_ from these
  RunLanes lanes_[2];
  std::vector<uint32_t> bitmap_;  // the one-below words of lanes_
};

}  // namespace orvanta
