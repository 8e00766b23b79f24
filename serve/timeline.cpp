#include "timeline.h"

#include <algorithm>
#include <cmath>

#include "orvanta/host/failure.h"
#include "orvanta/io/sequence.h"

namespace orvanta::serve {

const std::vector<int32_t>& SequenceFrames::Of(const std::string& pattern) {
  auto it = frames_.find(pattern);
  if (it == frames_.end()) it = frames_.emplace(pattern, io::FramesOnDisk(pattern)).first;
  return it->second;
}

namespace {

// A span that grows to hold what is added.
struct Span {
  bool any = false;
  int32_t first = 0, last = 0;
  void Add(int32_t a, int32_t b) {
    first = any ? std::min(first, a) : a;
    last = any ? std::max(last, b) : b;
    any = true;
  }
};

}  // namespace

Timeline ImpliedTimeline(const graph::Graph& g, graph::FileProvider& files, SequenceFrames& sequences) {
  Timeline t;
  Span footage, keys;
  bool rated = false, readsFrame = false;
  for (const auto& n : g.Nodes()) {
    for (const auto& [in, link] : n->links) {
      if (link.kind != graph::Link::Kind::File) continue;
      const std::string path = g.Resolve(link.target);
      if (io::HasFramePattern(path)) {
        const std::vector<int32_t>& frames = sequences.Of(path);
        if (!frames.empty()) footage.Add(frames.front(), frames.back());
        continue;
      }
      try {
        const graph::FileInfo info = files.Info(path);
        if (info.kind != graph::FileInfo::Kind::Movie || info.movieFrames <= 0) continue;
        footage.Add(1, info.movieFrames);
        if (!rated && info.movieRate > 0) t.fps = info.movieRate, rated = true;
      } catch (const Failure&) {
      }  // an unreadable file is reported when rendered
    }
    for (Input* in : n->node->Inputs())
      if (host::IsAnimated(in))
        for (const host::Key& k : host::Keys(in))
          keys.Add(int32_t(std::max(-double(io::kMaxFrame), std::floor(k.time))),
                   int32_t(std::min(double(io::kMaxFrame), std::ceil(k.time))));
    for (const auto& [in, e] : n->expressions) readsFrame = readsFrame || e.UsesFrame();
  }
  // Footage gives the frames there are; otherwise an expression of the frame implies the default
  // span. Keyframes widen either.
  Span all = footage;
  if (!footage.any && readsFrame) all.Add(kDefaultFirstFrame, kDefaultLastFrame);
  if (keys.any) all.Add(keys.first, keys.last);
  if (all.any) {
    t.first = all.first, t.last = all.last;
    t.source = footage.any ? "footage" : readsFrame ? "expressions" : "keyframes";
  }
  return t;
}

Timeline GivenTimeline(const std::string& text, const graph::Graph& g, graph::FileProvider& files,
                       SequenceFrames& sequences) {
  const std::vector<int32_t> frames = io::ParseFrames(text);
  Timeline t = ImpliedTimeline(g, files, sequences);
  t.first = *std::min_element(frames.begin(), frames.end());
  t.last = *std::max_element(frames.begin(), frames.end());
  t.source = "--frames";
  return t;
}

}  // namespace orvanta::serve
