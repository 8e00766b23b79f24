// WordTables: the stored forms of the tables, and the runs that 16-bit rows are computed from.
#include "orvanta/word_tables.h"

#include "orvanta/processor.h"

namespace orvanta {
namespace {

RunRowFn ChosenRunRow() {
#if defined(ORVANTA_WORD_ROWS_X86)
  return MapRunsSse2;  // SSE2 is part of every x86-64 processor
#else
  return nullptr;
#endif
}

RunsBelowRowFn ChosenRunsBelowRow() {
#if defined(ORVANTA_WORD_ROWS_X86)
  const Processor& p = ThisProcessor();
  if (p.avx512f && p.avx512bw && p.bmi2) return MapRunsBelowAvx512;
#endif
  return nullptr;
}

// The channel at place `place` of a pixel in memory, for BGRA storage (order 0) and RGBA storage
// (order 1).
int32_t ChannelAt(int32_t order, int32_t place) { return ChannelAtPlace(order == 1, place); }

}  // namespace

WordTables::WordTables() : runRow_(ChosenRunRow()), runsBelowRow_(ChosenRunsBelowRow()) {}

bool WordTables::ComputesRunsBelow() { return ChosenRunsBelowRow() != nullptr; }

void WordTables::Seal() {
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

// Splits one 16-bit stored table into runs, greedily: each run takes its slope from the next two
// words (or the two after them, when that run would be shorter than three words) and extends as
// far as the table follows it. False when more than kMaxWordRuns would be needed.
bool WordTables::FindRuns(const uint16_t* t, Runs& out) {
  out.count = 0;
  uint32_t v = 0;
  while (v < 65536u) {
    if (out.count == kMaxWordRuns) return false;
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

// Like FindRuns, but a run may also hold words one below its line: each run takes the commonest
// of the next eight steps as its slope, and its line is raised by one when a word lies one above
// it before any lies below.
bool WordTables::FindRunsBelow(const uint16_t* t, Runs& out) {
  out.count = 0;
  uint32_t v = 0;
  while (v < 65536u) {
    if (out.count == kMaxWordRuns) return false;
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

// Runs for every channel's table, for the SSE2 rows when each has at most kMaxWordRuns plain
// runs, else for the AVX-512 rows where this processor has them.
void WordTables::PrepareRuns() {
  runCount_ = 0;
  below_ = false;
  Runs runs[4];
  int32_t most = 1;
  for (int32_t c = 0; c < 4; ++c) {
    const int32_t same = FirstSharing(c);
    if (same < c)
      runs[c] = runs[same];
    else if (!FindRuns(stored16_.data() + size_t(index_[c]) * 65536, runs[c])) {
      if (runsBelowRow_) PrepareRunsBelow();
      return;
    }
    most = std::max(most, runs[c].count);
  }
  for (int32_t order : {0, 1}) FillPairs(runs, most, order);
  runCount_ = most;
}

// The first channel reading the same table as channel c (c itself when none before it does):
// channels reading one table share its runs.
int32_t WordTables::FirstSharing(int32_t c) const {
  int32_t same = 0;
  while (same < c && index_[same] != index_[c]) ++same;
  return same;
}

void WordTables::FillPairs(const Runs (&runs)[4], int32_t most, int32_t order) {
  RunPairs& pairs = pairs_[order];
  for (int32_t lane = 0; lane < 8; ++lane) {
    const Runs& r = runs[ChannelAt(order, lane % 4)];
    pairs.q0[lane] = r.run[0].q;
    pairs.k0[lane] = r.run[0].k;
    for (int32_t i = 1; i < kMaxWordRuns; ++i) {
      const bool has = i < r.count;
      pairs.start[i - 1][lane] = has ? uint16_t(r.run[i].start) : 0;
      pairs.dq[i - 1][lane] = has ? uint16_t(r.run[i].q ^ r.run[i - 1].q) : 0;
      pairs.dk[i - 1][lane] = has ? uint16_t(r.run[i].k ^ r.run[i - 1].k) : 0;
    }
  }
  pairs.runs = most;
}

// The AVX-512 lanes for runs with one-below words, when every channel's table has at most
// kMaxWordRuns of them; otherwise the rows stay looked up. Each distinct table with one-below
// words gets a bitmap of its own.
void WordTables::PrepareRunsBelow() {
  Runs runs[4];
  BelowWords below[4];
  int32_t most = 1, slots = 0;
  bitmap_.clear();
  for (int32_t c = 0; c < 4; ++c) {
    const int32_t same = FirstSharing(c);
    if (same < c) {
      runs[c] = runs[same];
      below[c] = below[same];
      continue;
    }
    const uint16_t* t = stored16_.data() + size_t(index_[c]) * 65536;
    if (!FindRunsBelow(t, runs[c]) || !MarkBelowWords(t, runs[c], below[c], slots)) return;
    most = std::max(most, runs[c].count);
  }
  for (int32_t order : {0, 1}) FillLanes(runs, below, most, order);
  runCount_ = most;
  below_ = true;
}

// Sets the bits of table t's one-below words under runs r in a bitmap of its own (numbered from
// slots on first use) and notes where they lie in b. False for a word neither on its run's line
// nor one below it.
bool WordTables::MarkBelowWords(const uint16_t* t, const Runs& r, BelowWords& b, int32_t& slots) {
  for (int32_t i = 0; i < r.count; ++i) {
    const uint32_t end = i + 1 < r.count ? r.run[i + 1].start : 65536u;
    for (uint32_t v = r.run[i].start; v < end; ++v) {
      const uint16_t line = uint16_t(uint32_t(r.run[i].q) * v + r.run[i].k);
      if (t[v] == line) continue;
      if (t[v] != uint16_t(line - 1)) return false;  // FindRunsBelow allows nothing else
      if (b.slot < 0) {
        b = BelowWords{slots++, v, v, v, v};
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
  return true;
}

void WordTables::FillLanes(const Runs (&runs)[4], const BelowWords (&below)[4], int32_t most, int32_t order) {
  RunLanes& l = lanes_[order];
  l.hasBits = 0;
  for (int32_t lane = 0; lane < 32; ++lane) {
    const int32_t c = ChannelAt(order, lane % 4);
    const Runs& r = runs[c];
    l.q0[lane] = r.run[0].q;
    l.k0[lane] = r.run[0].k;
    for (int32_t i = 1; i < kMaxWordRuns; ++i) {
      const Run& run = r.run[std::min(i, r.count - 1)];
      l.start[i - 1][lane] = i < r.count ? uint16_t(run.start) : 65535;
      l.q[i - 1][lane] = run.q;
      l.k[i - 1][lane] = run.k;
    }
    const BelowWords& b = below[c];
    if (b.slot >= 0) l.hasBits |= 1u << lane;
    l.bitsFrom[0][lane] = uint16_t(b.first);
    l.bitsSpan[0][lane] = uint16_t(b.gapFrom - b.first);
    l.bitsFrom[1][lane] = uint16_t(b.gapTo);
    l.bitsSpan[1][lane] = uint16_t(b.last - b.gapTo);
  }
  for (int32_t i = 0; i < 16; ++i) {
    l.evenBase[i] = std::max(below[ChannelAt(order, (2 * i) % 4)].slot, 0) * 2048;
    l.oddBase[i] = std::max(below[ChannelAt(order, (2 * i + 1) % 4)].slot, 0) * 2048;
  }
  l.runs = most;
}

}  // namespace orvanta
