// Frame ranges and frame patterns in file names: the lists a range text gives, the texts refused,
// and the paths a pattern gives for a frame.
#include <stdexcept>

#include "orvanta/io/sequence.h"
#include "support.h"

namespace orvanta {
namespace {

TEST(FrameRanges, ListsAndPatterns) {
  using V = std::vector<int32_t>;
  EXPECT_EQ(io::ParseFrames("1-5"), (V{1, 2, 3, 4, 5}));
  EXPECT_EQ(io::ParseFrames("1-10x3"), (V{1, 4, 7, 10}));
  EXPECT_EQ(io::ParseFrames("1,5,9"), (V{1, 5, 9}));
  EXPECT_EQ(io::ParseFrames("3,1-2,7-8x5"), (V{3, 1, 2, 7}));
  EXPECT_EQ(io::ParseFrames("0"), (V{0}));
  EXPECT_EQ(io::ParseFrames("9999999"), (V{9999999}));
  for (const char* bad : {"", "5-1", "1-10x0", "1-10x", "x2", "1,", ",1", "1,,2", "a", "-3", "1-", "1.5",
                          "10000000", "4x2", "1-2-3", "0-9999999"})
    EXPECT_THROW(io::ParseFrames(bad), std::runtime_error) << bad;

  EXPECT_EQ(io::FramePath("shot.#.exr", 7), "shot.0007.exr");
  EXPECT_EQ(io::FramePath("shot.##.exr", 7), "shot.07.exr");
  EXPECT_EQ(io::FramePath("shot_%04d.png", 12), "shot_0012.png");
  EXPECT_EQ(io::FramePath("shot_%d.png", 12345), "shot_12345.png");
  EXPECT_EQ(io::FramePath("shot.#.exr", 123456), "shot.123456.exr");
  EXPECT_EQ(io::FramePath("100%.png", 3), "100%.png");
  EXPECT_FALSE(io::HasFramePattern("plain.png"));
  EXPECT_FALSE(io::HasFramePattern("50%_off.png"));
  EXPECT_TRUE(io::HasFramePattern("dir/f%03d.tif"));
  // '@' marks a digit each; a range before the marks names the frames and leaves the name.
  EXPECT_EQ(io::FramePath("shot.@@@.exr", 7), "shot.007.exr");
  EXPECT_EQ(io::FramePath("shot.@.exr", 1234), "shot.1234.exr");
  EXPECT_EQ(io::FramePath("shot.1-50#.exr", 7), "shot.0007.exr");
  EXPECT_EQ(io::FramePath("take-2.10-20x5@@.dpx", 15), "take-2.15.dpx");
  EXPECT_EQ(io::FramesInPattern("shot.1-3#.exr"), (V{1, 2, 3}));
  EXPECT_EQ(io::FramesInPattern("take-2.10-20x5@@.dpx"), (V{10, 15, 20}));
  EXPECT_EQ(io::FramesInPattern("v2.#.exr"), V{});  // a version number is no range
  EXPECT_EQ(io::FramesInPattern("dir-1-3/f.#.exr"), V{});
  EXPECT_THROW(io::FramesInPattern("shot.5-1#.exr"), std::runtime_error);
}

}  // namespace
}  // namespace orvanta
