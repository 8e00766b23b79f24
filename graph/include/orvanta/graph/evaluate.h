// Rendering a graph frame by frame: every node after the nodes it takes pictures from, each once
// per frame however many nodes use it, pictures passed in memory, expressions evaluated for the
// frame and delivered to the tools as values driven from elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "orvanta/graph/graph.h"

namespace orvanta::graph {

// What a file input's path holds.
struct FileInfo {
  enum class Kind { Still, Sequence, Movie };
  Kind kind = Kind::Still;
  int32_t movieFrames = 0;      // for a movie: its frames, numbered from 1
  double movieRate = 0.0;       // for a movie: its frames per second (0 when it does not say)
  std::vector<int32_t> frames;  // for a sequence: the frames it holds (found on disk), in order
};

// A number control's value at frame: its expression's when it has one (reading the controls it
// names the same way, each once), else its keys'. Throws Failure when an expression gives NaN or an
// infinity or when expressions read each other in a cycle. Not for two threads at once on one graph.
double ControlValueAt(const Graph& graph, const GraphNode& node, const Input* in, double frame);

// The pictures of file inputs, supplied by the front-end (the image reader of io/). Paths are
// given as resolved by the graph.
class FileProvider {
 public:
  virtual ~FileProvider() = default;
  virtual FileInfo Info(const std::string& path) = 0;
  // Throws Failure when the frame of path cannot be read (a missing file, a frame beyond a movie).
  virtual void Check(const std::string& path, int32_t frame) = 0;
  // The picture; it stays valid until the next Load of that path. Throws Failure.
  virtual Image* Load(const std::string& path, int32_t frame) = 0;
};

// The sentence for a required image input left unconnected, said the way the front-end's user
// can mend it.
using MissingInput = std::function<std::string(const Graph& graph, const GraphNode& node, const Input* in)>;
// Whether the front-end gave the input a picture of its own (an array in memory).
using GivenPicture = std::function<bool(const Input* in)>;

// The checks before rendering the targets that need no files: every required image input of the
// nodes they take pictures from is linked or given (missing says it otherwise), then Graph::Check.
// A cycle is refused first. Throws Failure.
void CheckRenderable(const Graph& graph, const std::vector<GraphNode*>& targets, const MissingInput& missing,
                     const GivenPicture& given = {});

// Each call below evaluates every driven control it needs once per frame, however many
// expressions read it (a chain of nodes each reading two controls of the one before costs one
// evaluation per control, not two to the power of its length). The graph may change between calls,
// not during one. One thread at a time.
class Evaluator {
 public:
  Evaluator(Graph& graph, FileProvider& files) : graph_(graph), files_(files) {}

  // Renders the targets at frame; the images are the caller's. Throws Failure naming the node
  // that failed.
  std::vector<host::ImagePtr> Render(const std::vector<GraphNode*>& targets, int32_t frame);
  host::ImagePtr Render(GraphNode& target, int32_t frame);

  // A number control's value at frame: its expression's when it has one, else its keys'. Throws
  // Failure when an expression gives NaN or an infinity, or when expressions read each other in a
  // cycle.
  double ValueAt(const GraphNode& node, const Input* in, double frame);

  // The frames the file inputs of these nodes suggest when none are asked for: the frames every
  // sequence holds (the first of them only, unless manyFrames), else all frames of the shortest
  // movie, else frame 1. Throws Failure when a sequence holds no frames.
  std::vector<int32_t> DefaultFrames(const std::vector<GraphNode*>& targets, bool manyFrames);
  // Fails before any rendering when a file of these nodes cannot be read at one of the frames.
  void CheckFiles(const std::vector<GraphNode*>& targets, const std::vector<int32_t>& frames);

  // Evaluates every expression the targets need at every frame, so that one giving NaN or an
  // infinity fails before anything is rendered.
  void CheckExpressions(const std::vector<GraphNode*>& targets, const std::vector<int32_t>& frames);
  // CheckFiles, then CheckExpressions: the last checks before rendering these frames.
  void CheckFrames(const std::vector<GraphNode*>& targets, const std::vector<int32_t>& frames);

  // Node renders so far, and the time spent in them (seconds).
  int64_t Renders(const GraphNode& node) const;
  double RenderSeconds() const { return renderSeconds_; }
  // Expressions evaluated so far.
  int64_t Evaluations() const { return evaluations_; }

 private:
  // The driven values found so far at one frame; a public call starts with none.
  struct FrameValues {
    double frame = 0.0;
    std::map<std::pair<const GraphNode*, const Input*>, double> values;
  };
  double ValueAt(const GraphNode& node, const Input* in, FrameValues& known);
  Graph& graph_;
  FileProvider& files_;
  std::map<const GraphNode*, int64_t> renders_;
  double renderSeconds_ = 0.0;
  int64_t evaluations_ = 0;
};

}  // namespace orvanta::graph
