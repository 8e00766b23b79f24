// Frame ranges ("1-100", "1-100x2", "1,5,9") and frame patterns in file names ("#", "%04d").
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
// of them for n digits) or a printf-style %d / %0Nd.
bool HasFramePattern(std::string_view path);

// The path with its first frame pattern replaced by the frame number, zero-padded to the
// pattern's width; a path without a pattern is returned unchanged.
std::string FramePath(std::string_view path, int32_t frame);

// The frames of a numbered sequence that are on disk: every file of the pattern's folder whose
// name is FramePath(pattern, frame) for some frame, in increasing order. Empty when the path has
// no pattern in its file name or the folder cannot be read. Never throws for the folder.
std::vector<int32_t> FramesOnDisk(const std::string& pattern);

}  // namespace orvanta::io
