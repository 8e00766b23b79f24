// Word tables: rows mapped through host 16-bit storage (BGRA and RGBA), computed from straight
// runs where the tables have few of them (with words one below them, where the processor can) and
// looked up otherwise, give the stored words of the tables.
#include <cstdint>
#include <functional>

#include "orvanta/word_tables.h"
#include "support.h"

namespace orvanta {
namespace {

// 257 x 256 pixels (an odd width leaves a last pixel outside the pairs): every word in every
// channel, in different orders per channel.
host::ImagePtr EveryWordOddWidth(host::SampleOrder order) {
  auto im = host::MakeImage(257, 256, Depth16, true, order);
  for (uint32_t i = 0; i < 257u * 256u; ++i) {
    const uint32_t w = i & 0xFFFF;
    im->SetPixel(int32_t(i % 257), int32_t(i / 257),
                 Pixel{w, 65535u - w, (i * 7u) & 0xFFFF, (i * 13u) & 0xFFFF});
  }
  return im;
}

using Rule = std::function<uint32_t(uint32_t)>;

// Fills one table per rule, channel c reading table assign[c], maps the picture in either sample
// order and checks every stored word against its channel's rule saturated to 16 bits. Returns
// whether rows were computed.
bool MapsLikeTheTables(const std::vector<Rule>& rules, const int32_t (&assign)[4]) {
  WordTables tables;
  tables.Reset(int32_t(rules.size()));
  for (size_t k = 0; k < rules.size(); ++k) {
    uint32_t* words = tables.Words(int32_t(k));
    for (uint32_t v = 0; v < 65536u; ++v) words[v] = rules[k](v);
  }
  for (int32_t c = 0; c < 4; ++c) tables.Assign(c, assign[c]);
  tables.Seal();
  for (host::SampleOrder order : {host::SampleOrder::kBgra, host::SampleOrder::kRgba}) {
    const bool rgba = order == host::SampleOrder::kRgba;
    auto in = EveryWordOddWidth(order);
    auto out = host::MakeImage(in->Width, in->Height, Depth16, false, order);
    for (int32_t y = 0; y < in->Height; ++y)
      tables.MapRow(in.get(), out.get(), y, in->Width, [](uint32_t&, int32_t) { ADD_FAILURE(); });
    int32_t wrong = 0;
    for (int32_t y = 0; y < in->Height; ++y)
      for (int32_t x = 0; x < in->Width; ++x) {
        const uint16_t* s = reinterpret_cast<const uint16_t*>(in->RowTable[y]) + x * 4;
        const uint16_t* d = reinterpret_cast<const uint16_t*>(out->RowTable[y]) + x * 4;
        for (int32_t place = 0; place < 4; ++place) {
          const int32_t c = ChannelAtPlace(rgba, place);
          const uint32_t want = formats::Sat16(rules[size_t(assign[c])](s[place]));
          if (d[place] != want && ++wrong <= 5)
            ADD_FAILURE() << (rgba ? "RGBA" : "BGRA") << " pixel " << x << "," << y << " channel " << c
                          << ": word " << s[place] << " gave " << d[place] << ", table says " << want;
        }
      }
  }
  return tables.ComputesRuns();
}

TEST(WordTables, StraightRunsAreComputedExactly) {
  const Rule keep = [](uint32_t v) { return v; };
  // Kept below a quarter, doubled from the quarter up to three quarters, saturated above.
  const Rule stretch = [](uint32_t v) { return v < 16384 ? v : v <= 49151 ? 2 * v - 32768 : 70000u; };
  const Rule invertAndCut = [](uint32_t v) { return v < 30000 ? 65535u - v : 7u; };
  const Rule fixed = [](uint32_t) { return 1234u; };
  // Six runs, every channel a different table; a negative slope; words above 65535.
  const Rule steps = [](uint32_t v) {
    return v < 100 ? 0u : v < 200 ? v : v < 300 ? 3 * v : v < 5000 ? 65535u - v : v < 5001 ? 9u : 80000u;
  };
  EXPECT_TRUE(MapsLikeTheTables({keep, stretch, invertAndCut, fixed}, {1, 2, 3, 0}));
  EXPECT_TRUE(MapsLikeTheTables({steps, keep}, {0, 1, 0, 0}));
  EXPECT_TRUE(MapsLikeTheTables({fixed}, {0, 0, 0, 0}));
}

TEST(WordTables, TablesWithManyRunsAreLookedUp) {
  // Seven steps need one run more than the rows compute; a hash needs thousands.
  const Rule sevenSteps = [](uint32_t v) { return (v / 9363u) * 1000u; };
  const Rule hashed = [](uint32_t v) { return (v * 2654435761u) >> 16; };
  const Rule keep = [](uint32_t v) { return v; };
  EXPECT_FALSE(MapsLikeTheTables({sevenSteps, keep}, {1, 1, 0, 1}));
  EXPECT_FALSE(MapsLikeTheTables({keep, hashed}, {0, 0, 0, 1}));
}

uint32_t Coin(uint32_t v) { return ((v * 2654435761u) >> 13) & 1u; }

TEST(WordTables, LinesWithWordsOneBelowAreComputedWhereTheProcessorCan) {
  const bool below = WordTables::ComputesRunsBelow();
  const Rule keep = [](uint32_t v) { return v; };
  // A falling line, words one below it at random in three blocks of 1024 words, then zero.
  const Rule noisyLine = [](uint32_t v) {
    if (v < 20000) return v;
    if (v >= 26000) return 0u;
    return 52000u - 2 * v - (v >= 21000 && v < 23000 ? Coin(v) : 0u);
  };
  // Four lines, each beginning one below itself: each must be seen as one run with one-below
  // words, or they would need more runs than the rows hold.
  const Rule startsBelow = [](uint32_t v) {
    if (v < 1000) return 5u;
    if (v >= 9000) return 9u;
    const uint32_t from = v - (v - 1000) % 2000, slope = 1 + (v - 1000) / 2000;
    return slope * v + 7 - (v == from || (v > from + 1 && Coin(v)) ? 1u : 0u);
  };
  // A truncated double line, as the tone curves make: results on whole numbers fall to either side.
  const Rule truncated = [](uint32_t v) {
    if (v <= 13107 || v > 19660) return v;
    return uint32_t((0.2 + (0.0 - 0.2) * (v / 65535.0 - 0.2) / 0.1) * 65535.0);
  };
  // The other channels read tables without such words, over the same words.
  EXPECT_EQ(MapsLikeTheTables({noisyLine, keep}, {0, 1, 1, 0}), below);
  EXPECT_EQ(MapsLikeTheTables({startsBelow, keep}, {1, 0, 1, 1}), below);
  EXPECT_EQ(MapsLikeTheTables({truncated, keep}, {0, 0, 0, 1}), below);
}

TEST(WordTables, OneBelowWordsInEveryChannelAndAcrossTheRangeAreComputed) {
  const bool below = WordTables::ComputesRunsBelow();
  const Rule noisyA = [](uint32_t v) { return v < 30000 ? v - Coin(v) : 7u; };
  const Rule noisyB = [](uint32_t v) { return v < 5000 ? 2 * v - Coin(v + 1) : 9u; };
  const Rule noisyC = [](uint32_t v) { return v < 3000 ? 3 * v - Coin(v + 7) : 1u; };
  // One-below words up to the last word, and from the first.
  const Rule noisyD = [](uint32_t v) { return v > 60000 ? 65535u - Coin(v + 3) : 2 * v + 1 - Coin(v); };
  // Four distinct tables with such words, each channel reading its own bitmap, in either order.
  EXPECT_EQ(MapsLikeTheTables({noisyA, noisyB, noisyC, noisyD}, {0, 1, 2, 3}), below);
  EXPECT_EQ(MapsLikeTheTables({noisyA, noisyB, noisyC, noisyD}, {3, 2, 1, 0}), below);
  // Two tables shared between channels.
  EXPECT_EQ(MapsLikeTheTables({noisyB, noisyC}, {0, 1, 0, 1}), below);
}

TEST(WordTables, WordsOffTheLinesBeyondWhatTheRowsHoldAreLookedUp) {
  const Rule keep = [](uint32_t v) { return v; };
  // Two below the line; one-below words on more lines than the rows hold.
  EXPECT_FALSE(MapsLikeTheTables({[](uint32_t v) { return 3 * v - 2 * Coin(v); }}, {0, 0, 0, 0}));
  EXPECT_FALSE(
      MapsLikeTheTables({[](uint32_t v) { return (v / 9363u) * 1000u - Coin(v); }, keep}, {0, 1, 1, 1}));
}

}  // namespace
}  // namespace orvanta
