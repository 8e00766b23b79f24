#include "orvanta/io/files.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "orvanta/graph/composition.h"
#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"
#include "orvanta/io/atomic_file.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/movie.h"
#include "orvanta/io/sequence.h"

namespace orvanta::io {
namespace fs = std::filesystem;

// One file input's source: a still, a numbered sequence or a movie. It keeps the picture of the
// frame last loaded, which the host reads during the render, with the header it came with.
class FileCache::Feed {
 public:
  explicit Feed(std::string path) : path_(std::move(path)), pattern_(HasFramePattern(path_)) {
    if (!pattern_) movie_ = MovieReader::Open(path_);
  }

  graph::FileInfo Info() const {
    if (pattern_) {
      graph::FileInfo info{graph::FileInfo::Kind::Sequence, 0, 0.0, FramesInPattern(path_)};
      if (info.frames.empty()) info.frames = FramesOnDisk(path_);
      return info;
    }
    if (movie_) return {graph::FileInfo::Kind::Movie, movie_->Frames(), movie_->Rate().Value(), {}};
    return {};
  }

  void Check(int32_t frame) const {
    std::error_code ec;
    if (pattern_) {
      std::string file = FramePath(path_, frame);
      if (!fs::exists(file, ec)) throw Failure("cannot read " + file + ": the file does not exist");
    } else if (movie_) {
      if (frame < 1 || frame > movie_->Frames())
        throw Failure("cannot read frame " + std::to_string(frame) + " of " + path_ +
                      ": the movie has frames 1 to " + std::to_string(movie_->Frames()));
    } else if (!fs::exists(path_, ec)) {
      throw Failure("cannot read " + path_ + ": the file does not exist");
    }
  }

  Image* Load(int32_t frame, const ReadOptions& options) {
    // A still serves every frame from one read; movie frames count from 1.
    const int32_t key = pattern_ || movie_ ? frame : 0;
    if (image_ && key == loaded_) return image_.get();
    image_.reset();
    header_.reset();
    if (movie_) {
      image_ = movie_->Read(frame - 1);
    } else {
      Picture p = ReadPicture(pattern_ ? FramePath(path_, frame) : path_, options);
      image_ = std::move(p.image);
      header_ = std::move(p.header);
    }
    loaded_ = key;
    return image_.get();
  }

  const HeaderPtr& Header() const { return header_; }
  size_t Bytes() const { return image_ ? host::ImageBytes(image_.get()) : 0; }
  uint64_t lastLoad = 0;

 private:
  std::string path_;
  bool pattern_;
  std::unique_ptr<MovieReader> movie_;
  int32_t loaded_ = 0;
  host::ImagePtr image_;
  HeaderPtr header_;
};

FileCache::FileCache() = default;
FileCache::~FileCache() = default;

FileCache::Feed& FileCache::FeedOf(const std::string& path) {
  auto& f = feeds_[path];
  if (!f) f = std::make_unique<Feed>(path);
  return *f;
}

graph::FileInfo FileCache::Info(const std::string& path) { return FeedOf(path).Info(); }
void FileCache::Check(const std::string& path, int32_t frame) { FeedOf(path).Check(frame); }
Image* FileCache::Load(const std::string& path, int32_t frame) {
  Feed& f = FeedOf(path);
  f.lastLoad = ++loads_;
  return f.Load(frame, OptionsFor(path));
}

size_t FileCache::Bytes() const {
  size_t total = 0;
  for (const auto& [path, feed] : feeds_) total += feed->Bytes();
  return total;
}

std::vector<std::string> FileCache::Trim(size_t bytes, size_t files, const std::set<std::string>& keep) {
  struct Entry {
    bool kept;
    uint64_t lastLoad;
    const std::string* path;
  };
  std::vector<Entry> order;
  for (const auto& [path, feed] : feeds_) order.push_back({keep.count(path) > 0, feed->lastLoad, &path});
  std::sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) {
    return a.kept != b.kept ? b.kept : a.lastLoad < b.lastLoad;
  });
  size_t total = Bytes();
  std::vector<std::string> forgotten;
  for (const Entry& e : order) {
    if (total <= bytes && feeds_.size() <= files) break;
    auto it = feeds_.find(*e.path);
    total -= it->second->Bytes();
    forgotten.push_back(*e.path);
    feeds_.erase(it);
  }
  return forgotten;
}

HeaderPtr FileCache::Header(const std::string& path) {
  auto it = feeds_.find(path);
  return it == feeds_.end() ? nullptr : it->second->Header();
}

void FileCache::SetColour(std::shared_ptr<const ColourPlan> colour) { colour_ = std::move(colour); }
void FileCache::SetPart(const std::string& path, const std::string& part) { parts_[path] = part; }

ReadOptions FileCache::OptionsFor(const std::string& path) const {
  ReadOptions o;
  o.colour = colour_;
  if (auto it = parts_.find(path); it != parts_.end()) o.part = it->second;
  return o;
}

bool IsJsonPath(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  return strcasecmp(ext.c_str(), ".json") == 0;
}

graph::Graph LoadCompositionFile(const std::string& path) {
  std::error_code ec;
  CheckInputFile(path, "a composition");
  std::ifstream f(path, std::ios::binary);
  if (!f) throw Failure("cannot read " + path + ": " + std::strerror(errno));
  std::stringstream ss;
  ss << f.rdbuf();
  if (f.bad()) throw Failure("cannot read " + path);
  std::string bytes = ss.str();
  if (graph::LooksLikeJson(bytes)) {
    graph::Graph g = graph::ReadJsonComposition(bytes, path);
    fs::path dir = fs::absolute(path, ec).parent_path();
    g.baseDir = ec ? fs::path(path).parent_path().string() : dir.lexically_normal().string();
    return g;
  }
  try {
    return graph::GraphOfNodes(
        host::ReadBinaryCompositionBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()), path));
  } catch (const Failure&) {
    throw;
  } catch (const std::exception& e) {
    throw Failure(e.what());
  }
}

namespace {

std::string Canonical(const fs::path& p) {
  std::error_code ec;
  fs::path c = fs::weakly_canonical(fs::absolute(p, ec), ec);
  return ec ? p.lexically_normal().string() : c.string();
}

}  // namespace

void SaveCompositionFile(graph::Graph& g, const std::string& path) {
  if (!IsJsonPath(path)) {
    std::vector<uint8_t> bytes;
    try {
      bytes = host::BinaryCompositionBytes(path, graph::NodesForBinary(g, path));
    } catch (const Failure&) {
      throw;
    } catch (const std::exception& e) {
      throw Failure(e.what());
    }
    WriteFileAtomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return;
  }
  fs::path saveDir = fs::path(path).parent_path();
  if (saveDir.empty()) saveDir = ".";
  const bool sameFolder =
      Canonical(saveDir) == Canonical(g.baseDir.empty() ? fs::path(".") : fs::path(g.baseDir));
  const std::string text = graph::WriteJsonComposition(g, [&](const std::string& p) {
    if (sameFolder || fs::path(p).is_absolute()) return p;
    std::error_code ec;
    fs::path abs = fs::absolute(g.Resolve(p), ec);
    return ec ? p : abs.lexically_normal().string();
  });
  WriteFileAtomically(path, text);
}

}  // namespace orvanta::io
