// Frame ranges ("1-100", "1-100x2", "1,5,9") and frame patterns in file names ("#", "@", "%04d",
// and a range written before the marks: "shot.1-50#.exr").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::io {

inline constexpr int32_t kMaxFrame = 9999999;
inline constexpr size_t kMaxFrameCount = 1000000;

// The frames of a range text, in the order given; throws Failure for a malformed range.
std::vector<int32_t> ParseFrames(std::string_view text);

// True when the path holds a frame pattern: a run of '#' (one '#' stands for four digits, n >= 2
// of them for n digits), a run of n '@' (n digits), or a printf-style %d / %0Nd.
bool HasFramePattern(std::string_view path);

// The path with its first frame pattern (and a range written before it) replaced by the frame
// number, zero-padded to the pattern's width; a path without a pattern is returned unchanged.
std::string FramePath(std::string_view path, int32_t frame);

// The frames of a range written before the pattern ("shot.1-50#.exr": 1 to 50), sorted; empty
// when there is none. Throws Failure for a range that does not parse.
std::vector<int32_t> FramesInPattern(std::string_view path);

// The frames whose files exist under the pattern's name in its folder, sorted (files numbered
// with more digits than the pattern's width count, as FramePath writes them). Empty when the file
// name holds no pattern or the folder cannot be read; never throws for the folder.
std::vector<int32_t> FramesOnDisk(const std::string& path);

}  // namespace orvanta::io
