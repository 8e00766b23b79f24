// Files behind a graph: the pictures of its file inputs (stills read once, numbered sequences
// and movies frame by frame), and composition files in either format.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "orvanta/graph/evaluate.h"
#include "orvanta/graph/graph.h"
#include "orvanta/io/header.h"
#include "orvanta/io/image_io.h"

namespace orvanta::io {

// The pictures of a graph's file inputs, read on the caller's thread, with their headers. A
// sequence's Info lists the frames its files hold (a range in its name, else those on disk).
class FileCache : public graph::FileProvider {
 public:
  FileCache();
  ~FileCache() override;
  graph::FileInfo Info(const std::string& path) override;
  void Check(const std::string& path, int32_t frame) override;
  Image* Load(const std::string& path, int32_t frame) override;

  // The header of the picture the last Load of path gave (null for a movie, or before a Load).
  HeaderPtr Header(const std::string& path);
  // Every picture read from now on is converted by the plan (none: as stored).
  void SetColour(std::shared_ptr<const ColourPlan> colour);
  // The part of a multi-part file read for path (its name or index).
  void SetPart(const std::string& path, const std::string& part);
  // How the pictures of path are read.
  ReadOptions OptionsFor(const std::string& path) const;

  // Forgets files until the pictures kept take at most `bytes` and at most `files` files are
  // open: first those not in `keep`, then the least recently loaded. A forgotten file is read
  // again when next asked for. Not during a render: it frees the pictures a render reads. Returns
  // the paths forgotten.
  std::vector<std::string> Trim(size_t bytes, size_t files, const std::set<std::string>& keep);
  // The bytes of the pictures kept.
  size_t Bytes() const;

 private:
  class Feed;
  Feed& FeedOf(const std::string& path);
  std::map<std::string, std::unique_ptr<Feed>> feeds_;
  uint64_t loads_ = 0;  // counts Load calls: when each file was last used
  std::shared_ptr<const ColourPlan> colour_;
  std::map<std::string, std::string> parts_;
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
