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
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "orvanta/pixel_cursor.h"

namespace orvanta {

// Lane parameters of the AVX-512 rows, for 32 words (eight pixels, channel = lane % 4): the
// first run's q and k, then per later run its start, q and k (a channel with fewer runs repeats
// its last one from word 65535, which lies in that one anyway). Then where the one-below words
// are: hasBits has bit j set when word j's channel has such words, each within one of the two
// ranges bitsFrom[i] .. bitsFrom[i] + bitsSpan[i] (the words on either side of the widest gap
// between them); they are the set bits of a bitmap, word v of a channel at bit v % 32 of dword
// base + v / 32, base being evenBase[i] for word 2i and oddBase[i] for word 2i + 1 (2048 dwords
// per distinct table).
struct RunLanes {
  static constexpr int32_t kMaxRuns = 6;
  int32_t runs = 0;
  uint32_t hasBits = 0;
  uint16_t q0[32], k0[32];
  uint16_t start[kMaxRuns - 1][32], q[kMaxRuns - 1][32], k[kMaxRuns - 1][32];
  uint16_t bitsFrom[2][32], bitsSpan[2][32];
  int32_t evenBase[16], oddBase[16];
};

#if defined(ORVANTA_WORD_ROWS_AVX512)
// Maps whole groups of sixteen pixels of host 16-bit storage; returns how many pixels it wrote.
int32_t MapRunsBelowAvx512(const RunLanes& lanes, const uint32_t* bitmap, const uint8_t* s, uint8_t* d,
                           int32_t width);
#endif

class WordTables {
 public:
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
  void Seal() {
    const size_t count = words_.size() / 65536;
    stored16_.resize(words_.size());
    stored8_.resize(count * 256);
    for (size_t i = 0; i < words_.size(); ++i) stored16_[i] = uint16_t(formats::Sat16(words_[i]));
    // An 8-bit byte b reads as the word 257 * b and its result word is stored back as a byte.
    for (size_t k = 0; k < count; ++k)
      for (uint32_t b = 0; b < 256u; ++b)
        stored8_[k * 256 + b] = formats::SixteenTo8(words_[k * 65536 + b * 257u]);
    PrepareRuns();
    // Tables sealed without settings given first are never reused.
    std::copy_n(pendingSettings_, pendingCount_, sealedSettings_);
    sealedCount_ = pendingCount_;
    sealed_ = pending_;
    pending_ = false;
  }

  // True when 16-bit rows are computed from runs rather than looked up (for tests).
  bool ComputesRuns() const { return runCount_ > 0; }
  // True when this processor computes tables with one-below words from runs (for tests).
  static bool ComputesRunsBelow() {
#if defined(ORVANTA_WORD_ROWS_AVX512)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
    return false;
#endif
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
      int32_t x = 0;
#if defined(ORVANTA_WORD_ROWS_AVX512)
      if (below_) {
        x = MapRunsBelowAvx512(lanes_, bitmap_.data(), s, d, width);
        s += size_t(x) * 8;
        d += size_t(x) * 8;
      }
#endif
#if defined(__SSE2__)
      if (runCount_ > 0 && !below_) {
        x = RunRow(s, d, width);
        s += size_t(x) * 8;
        d += size_t(x) * 8;
      }
#endif
      for (; x < width; ++x, s += 8, d += 8) {
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
      if (w <= 65535u)
        w = table[channel][w];
      else
        wide(w, channel);
    });
  }

 private:
  static constexpr int32_t kMaxRuns = RunLanes::kMaxRuns;
  struct Run {
    uint32_t start;  // first word of the run
    uint16_t q, k;   // word = (q * v + k) mod 65536
  };
  struct Runs {
    int32_t count = 0;
    Run run[kMaxRuns];
  };

  // Splits one 16-bit stored table into runs, greedily: each run takes its slope from the next
  // two words (or the two after them, when that run would be shorter than three words) and
  // extends as far as the table follows it. False when more than kMaxRuns would be needed.
  static bool FindRuns(const uint16_t* t, Runs& out) {
    out.count = 0;
    uint32_t v = 0;
    while (v < 65536u) {
      if (out.count == kMaxRuns) return false;
      Run best{v, 0, t[v]};
      uint32_t bestEnd = v + 1;
      for (uint32_t from = v; from <= v + 1 && from + 1 < 65536u; ++from) {
        const uint16_t q = uint16_t(t[from + 1] - t[from]);
        const uint16_t k = uint16_t(t[v] - uint32_t(q) * v);
        uint32_t e = v;
        while (e < 65536u && uint16_t(uint32_t(q) * e + k) == t[e]) ++e;
        if (e > bestEnd) {
          bestEnd = e;
          best = Run{v, q, k};
        }
        if (bestEnd - v >= 3) break;
      }
      out.run[out.count++] = best;
      v = bestEnd;
    }
    return true;
  }

  // Like FindRuns, but a run may also hold words one below its line: each run takes the
  // commonest of the next eight steps as its slope, and its line is raised by one when a word
  // lies one above it before any lies below.
  static bool FindRunsBelow(const uint16_t* t, Runs& out) {
    out.count = 0;
    uint32_t v = 0;
    while (v < 65536u) {
      if (out.count == kMaxRuns) return false;
      uint16_t steps[8];
      int32_t n = 0;
      for (uint32_t e = v; e + 1 < 65536u && n < 8; ++e) steps[n++] = uint16_t(t[e + 1] - t[e]);
      uint16_t q = 0;
      int32_t most = 0;
      for (int32_t i = 0; i < n; ++i) {
        const int32_t count = int32_t(std::count(steps, steps + n, steps[i]));
        if (count > most) {
          most = count;
          q = steps[i];
        }
      }
      uint16_t k = uint16_t(t[v] - uint32_t(q) * v);
      bool below = false;
      uint32_t e = v + 1;
      for (; e < 65536u; ++e) {
        const uint16_t diff = uint16_t(t[e] - uint16_t(uint32_t(q) * e + k));
        if (diff == 0) continue;
        if (diff == 0xFFFF)
          below = true;
        else if (diff == 1 && !below) {
          ++k;
          below = true;
        } else
          break;
      }
      out.run[out.count++] = Run{v, q, k};
      v = e;
    }
    return true;
  }

  // Lane parameters for eight words (two pixels, channel = lane % 4): the first run's q and k,
  // then per later run its start and the xor that turns the previous run's q and k into its own.
  // Runs start in increasing order, so the runs a word has reached are a prefix and the xors
  // telescope to the parameters of the last one. Channels with fewer runs get starts of 0 and
  // xors of 0, which change nothing.
  void PrepareRuns() {
    runCount_ = 0;
    below_ = false;
    Runs runs[4];
    int32_t most = 1;
    for (int32_t c = 0; c < 4; ++c) {
      const int32_t same = FirstSharing(c);
      if (same < c)
        runs[c] = runs[same];
      else if (!FindRuns(stored16_.data() + size_t(index_[c]) * 65536, runs[c])) {
        if (ComputesRunsBelow()) PrepareRunsBelow();
        return;
      }
      most = std::max(most, runs[c].count);
    }
    FillLanes(runs);
    runCount_ = most;
  }

  // The first channel reading the same table as channel c (c itself when none before it does):
  // channels reading one table share its runs.
  int32_t FirstSharing(int32_t c) const {
    int32_t same = 0;
    while (same < c && index_[same] != index_[c]) ++same;
    return same;
  }

  // The eight-word lane parameters (channel = lane % 4) from each channel's runs.
  void FillLanes(const Runs (&runs)[4]) {
    for (int32_t lane = 0; lane < 8; ++lane) {
      const Runs& r = runs[lane % 4];
      q0_[lane] = r.run[0].q;
      k0_[lane] = r.run[0].k;
      for (int32_t i = 1; i < kMaxRuns; ++i) {
        const bool has = i < r.count;
        start_[i - 1][lane] = has ? uint16_t(r.run[i].start) : 0;
        dq_[i - 1][lane] = has ? uint16_t(r.run[i].q ^ r.run[i - 1].q) : 0;
        dk_[i - 1][lane] = has ? uint16_t(r.run[i].k ^ r.run[i - 1].k) : 0;
      }
    }
  }

  // The AVX-512 lanes for runs with one-below words, when every channel's table has at most
  // kMaxRuns of them; otherwise the rows stay looked up. Each distinct table with one-below words
  // gets a bitmap of its own.
  void PrepareRunsBelow() {
    Runs runs[4];
    int32_t most = 1;
    // Each channel's bitmap (-1 for none) and its one-below words: the first, the last, and the
    // widest gap between two of them.
    struct Bits {
      int32_t slot = -1;
      uint32_t first = 0, last = 0, gapFrom = 0, gapTo = 0;
    } bits[4];
    int32_t slots = 0;
    bitmap_.clear();
    for (int32_t c = 0; c < 4; ++c) {
      const int32_t same = FirstSharing(c);
      if (same < c) {
        runs[c] = runs[same];
        bits[c] = bits[same];
        continue;
      }
      const uint16_t* t = stored16_.data() + size_t(index_[c]) * 65536;
      if (!FindRunsBelow(t, runs[c])) return;
      most = std::max(most, runs[c].count);
      const Runs& r = runs[c];
      for (int32_t i = 0; i < r.count; ++i) {
        const uint32_t end = i + 1 < r.count ? r.run[i + 1].start : 65536u;
        for (uint32_t v = r.run[i].start; v < end; ++v) {
          const uint16_t line = uint16_t(uint32_t(r.run[i].q) * v + r.run[i].k);
          if (t[v] == line) continue;
          if (t[v] != uint16_t(line - 1)) return;  // FindRunsBelow allows nothing else
          Bits& b = bits[c];
          if (b.slot < 0) {
            b = Bits{slots++, v, v, v, v};
            bitmap_.resize(size_t(slots) * 2048, 0);
          }
          if (v - b.last > b.gapTo - b.gapFrom) {  // words come in increasing order
            b.gapFrom = b.last;
            b.gapTo = v;
          }
          b.last = v;
          bitmap_[size_t(b.slot) * 2048 + (v >> 5)] |= 1u << (v & 31);
        }
      }
    }
    RunLanes& l = lanes_;
    l.hasBits = 0;
    for (int32_t lane = 0; lane < 32; ++lane) {
      const int32_t c = lane % 4;
      const Runs& r = runs[c];
      l.q0[lane] = r.run[0].q;
      l.k0[lane] = r.run[0].k;
      for (int32_t i = 1; i < kMaxRuns; ++i) {
        const Run& run = r.run[std::min(i, r.count - 1)];
        l.start[i - 1][lane] = i < r.count ? uint16_t(run.start) : 65535;
        l.q[i - 1][lane] = run.q;
        l.k[i - 1][lane] = run.k;
      }
      const Bits& b = bits[c];
      if (b.slot >= 0) l.hasBits |= 1u << lane;
      l.bitsFrom[0][lane] = uint16_t(b.first);
      l.bitsSpan[0][lane] = uint16_t(b.gapFrom - b.first);
      l.bitsFrom[1][lane] = uint16_t(b.gapTo);
      l.bitsSpan[1][lane] = uint16_t(b.last - b.gapTo);
    }
    for (int32_t i = 0; i < 16; ++i) {
      l.evenBase[i] = std::max(bits[(2 * i) % 4].slot, 0) * 2048;
      l.oddBase[i] = std::max(bits[(2 * i + 1) % 4].slot, 0) * 2048;
    }
    l.runs = most;
    runCount_ = most;
    below_ = true;
  }

#if defined(__SSE2__)
  // Computes pairs of pixels from the runs; returns how many pixels it wrote.
  int32_t RunRow(const uint8_t* s, uint8_t* d, int32_t width) const {
    switch (runCount_) {
      case 1:
        return RunRowOf<1>(s, d, width);
      case 2:
        return RunRowOf<2>(s, d, width);
      case 3:
        return RunRowOf<3>(s, d, width);
      case 4:
        return RunRowOf<4>(s, d, width);
      case 5:
        return RunRowOf<5>(s, d, width);
      default:
        return RunRowOf<6>(s, d, width);
    }
  }

  template <int32_t kRuns>
  int32_t RunRowOf(const uint8_t* s, uint8_t* d, int32_t width) const {
    static_assert(kRuns >= 1 && kRuns <= kMaxRuns);
    auto load = [](const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i q0 = load(q0_), k0 = load(k0_), zero = _mm_setzero_si128();
    __m128i start[kMaxRuns - 1], dq[kMaxRuns - 1], dk[kMaxRuns - 1];
    for (int32_t i = 0; i + 1 < kRuns; ++i) {
      start[i] = load(start_[i]);
      dq[i] = load(dq_[i]);
      dk[i] = load(dk_[i]);
    }
    const int32_t pairs = width / 2;
    for (int32_t p = 0; p < pairs; ++p, s += 16, d += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      __m128i q = q0, k = k0;
      for (int32_t i = 0; i + 1 < kRuns; ++i) {
        // v >= start exactly when start - v saturates to 0.
        const __m128i reached = _mm_cmpeq_epi16(_mm_subs_epu16(start[i], v), zero);
        q = _mm_xor_si128(q, _mm_and_si128(reached, dq[i]));
        k = _mm_xor_si128(k, _mm_and_si128(reached, dk[i]));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_add_epi16(_mm_mullo_epi16(v, q), k));
    }
    return pairs * 2;
  }
#endif

  // The settings given to Reuses() for the tables being built, and those of the last Seal()
  // (at most 32; a tool with more never reuses its tables).
  double pendingSettings_[32] = {}, sealedSettings_[32] = {};
  size_t pendingCount_ = 0, sealedCount_ = 0;
  bool pending_ = false, sealed_ = false;
  int32_t index_[4] = {};
  std::vector<uint32_t> words_;
  std::vector<uint16_t> stored16_;
  std::vector<uint8_t> stored8_;
  int32_t runCount_ = 0;  // 0: 16-bit rows are looked up
  bool below_ = false;    // computed by the AVX-512 rows from lanes_, one-below words included
  RunLanes lanes_;
  std::vector<uint32_t> bitmap_;  // the one-below words of lanes_
  uint16_t q0_[8] = {}, k0_[8] = {};
  uint16_t start_[kMaxRuns - 1][8] = {}, dq_[kMaxRuns - 1][8] = {}, dk_[kMaxRuns - 1][8] = {};
};

}  // namespace orvanta
