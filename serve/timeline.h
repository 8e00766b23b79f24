// The frames a graph spans when none are given: what its movies, sequences on disk, keyframes and
// expressions imply, and the rate to play them at.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "orvanta/graph/evaluate.h"
#include "orvanta/graph/graph.h"

namespace orvanta::serve {

// The timeline when a graph's expressions read the frame but nothing else gives frames.
inline constexpr int32_t kDefaultFirstFrame = 1, kDefaultLastFrame = 100;
// The rate when no movie gives one.
inline constexpr double kDefaultFps = 24.0;

struct Timeline {
  int32_t first = 1, last = 1;
  double fps = kDefaultFps;
  // What gave the frames: "--frames", "footage" (movies, sequences on disk), "expressions" (the
  // default span), "keyframes", or "" (one frame).
  std::string source;
};

// The frames of the numbered sequences on disk, read once per pattern until Forget.
class SequenceFrames {
 public:
  const std::vector<int32_t>& Of(const std::string& pattern);
  void Forget() { frames_.clear(); }

 private:
  std::map<std::string, std::vector<int32_t>> frames_;
};

// The span of every movie's frames and every sequence's frames on disk, else the default span when
// an expression reads the frame, either widened to hold every keyframe; else frame 1. The rate is
// the first movie's that gives one. A file that cannot be read adds nothing (its render says why).
Timeline ImpliedTimeline(const graph::Graph& graph, graph::FileProvider& files, SequenceFrames& sequences);
// The frames given as a range text ("1-50"), at the rate the graph implies. Throws Failure for a
// malformed range.
Timeline GivenTimeline(const std::string& frames, const graph::Graph& graph, graph::FileProvider& files,
                       SequenceFrames& sequences);

}  // namespace orvanta::serve
