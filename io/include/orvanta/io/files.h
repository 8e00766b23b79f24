// Files behind a graph: the pictures of its file inputs (stills read once, numbered sequences
// and movies frame by frame), and composition files in either format.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "orvanta/graph/evaluate.h"
#include "orvanta/graph/graph.h"

namespace orvanta::io {

class FileCache : public graph::FileProvider {
 public:
  FileCache();
  ~FileCache() override;
  graph::FileInfo Info(const std::string& path) override;
  void Check(const std::string& path, int32_t frame) override;
  Image* Load(const std::string& path, int32_t frame) override;

 private:
  class Feed;
  Feed& FeedOf(const std::string& path);
  std::map<std::string, std::unique_ptr<Feed>> feeds_;
};

// Reads a composition file as a graph: JSON (relative file paths then read from the file's folder)
// or the host's binary format. Throws Failure naming the file.
graph::Graph LoadCompositionFile(const std::string& path);

// Writes the graph to path through a temporary file and a rename: JSON when the path ends in
// .json, else the binary format. Relative file paths are written as they are when the file goes
// into the folder they are read from, else as absolute paths. Throws Failure.
void SaveCompositionFile(graph::Graph& graph, const std::string& path);

// True when the path names a JSON composition (by its extension).
bool IsJsonPath(const std::string& path);

}  // namespace orvanta::io
