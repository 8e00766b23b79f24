#include "render.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include "controls.h"
#include "failure.h"
#include "sequence.h"

namespace orvanta::cli {
namespace fs = std::filesystem;

namespace {

bool g_progressOpen = false;

std::string ToolName(const host::ClassInfo& c) { return c.displayName.empty() ? c.name : c.displayName; }

// The image source behind one image input: a still file, a numbered sequence or a movie. It
// keeps the picture of the frame last loaded, which the host reads during the render.
class FileFeed {
 public:
  explicit FileFeed(std::string path) : path_(std::move(path)), pattern_(HasFramePattern(path_)) {
    if (!pattern_) movie_ = MovieReader::Open(path_);
  }

  const std::string& Path() const { return path_; }
  bool IsSequence() const { return pattern_; }
  int32_t MovieFrames() const { return movie_ ? movie_->Frames() : 0; }

  // Fails early, before any rendering, when a frame's file or picture is missing.
  void Check(int32_t frame) const {
    std::error_code ec;
    if (pattern_) {
      std::string file = FramePath(path_, frame);
      if (!fs::exists(file, ec)) throw Failure("cannot read " + file + ": the file does not exist");
    } else if (movie_) {
      if (frame < 1 || frame > movie_->Frames())
        throw Failure("cannot read frame " + std::to_string(frame) + " of " + path_ + ": the movie has frames 1 to " +
                      std::to_string(movie_->Frames()));
    } else if (!fs::exists(path_, ec)) {
      throw Failure("cannot read " + path_ + ": the file does not exist");
    }
  }

  void Load(int32_t frame) {
    // A still serves every frame from one read; movie frames count from 1.
    int32_t key = pattern_ || movie_ ? frame : 0;
    if (image_ && key == loaded_) return;
    image_.reset();
    if (pattern_) image_ = ReadImage(FramePath(path_, frame));
    else if (movie_) image_ = movie_->Read(frame - 1);
    else image_ = ReadImage(path_);
    loaded_ = key;
  }

  Image* At(double time) {
    Load(int32_t(std::lround(time)));
    return image_.get();
  }

 private:
  std::string path_;
  bool pattern_;
  std::unique_ptr<MovieReader> movie_;
  int32_t loaded_ = 0;
  host::ImagePtr image_;
};

struct Session {
  std::map<Input*, std::unique_ptr<FileFeed>> feeds;  // declared first: they outlive the node
  std::unique_ptr<host::Node> node;

  void Feed(Input* in, const std::string& path) {
    // Compositions keep absolute paths, so they render from any folder.
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    std::string name = ec ? path : abs.lexically_normal().string();
    auto feed = std::make_unique<FileFeed>(path);  // messages name the path as the user gave it
    FileFeed* raw = feed.get();
    host::Connect(in, host::ImageSource([raw](double t) { return raw->At(t); }), name);
    feeds[in] = std::move(feed);  // a later -i replaces an earlier one or the composition's
  }
};

std::string ImageInputList(const host::Node& node) {
  std::string list;
  for (Input* in : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (d.IsImage()) list += (list.empty() ? "" : ", ") + Quoted(d.label);
  }
  return list.empty() ? "none" : list;
}

void ConnectInput(Session& s, const std::string& spec) {
  const host::Node& node = *s.node;
  const std::string tool = ToolName(node.Class());
  Input* target = nullptr;
  std::string path = spec;
  size_t eq = spec.find('=');
  if (eq != std::string::npos) {
    if (Input* in = FindImageInput(node, spec.substr(0, eq))) {
      target = in;
      path = spec.substr(eq + 1);
    } else {
      std::error_code ec;
      if (!fs::exists(spec, ec))
        throw Failure(tool + " has no image input " + Quoted(spec.substr(0, eq)) + "; its image inputs are " +
                      ImageInputList(node));
    }
  }
  if (!target) target = MainImageInput(node);
  if (!target) throw Failure(tool + " has no image input to connect " + path + " to");
  if (path.empty()) throw Failure("-i " + Quoted(spec) + " gives no file path");
  s.Feed(target, path);
}

void LoadFromComposition(Session& s, const RenderOptions& o) {
  std::vector<std::unique_ptr<host::Node>> nodes;
  try {
    nodes = host::LoadComposition(o.comp);
  } catch (const std::exception& e) {
    throw Failure(e.what());
  }
  if (nodes.size() != 1)
    throw Failure(o.comp + " holds " + std::to_string(nodes.size()) + " nodes; orvanta renders compositions of one node");
  s.node = std::move(nodes.front());
  if (!o.tool.empty() && host::FindClass(o.tool) != &s.node->Class())
    throw Failure(o.comp + " holds a node of " + ToolName(s.node->Class()) + ", not of " + o.tool);
  for (Input* in : s.node->Inputs())
    if (host::Describe(in).IsImage() && !host::SourceName(in).empty()) s.Feed(in, host::SourceName(in));
}

std::vector<int32_t> FramesToRender(const Session& s, const RenderOptions& o) {
  if (!o.frames.empty()) return ParseFrames(o.frames);
  int32_t movie = 0;
  for (const auto& [in, f] : s.feeds) {
    if (f->IsSequence())
      throw Failure("the input " + f->Path() + " is an image sequence; give the frames with --frames, e.g. --frames 1-100");
    if (f->MovieFrames() > 0) movie = movie == 0 ? f->MovieFrames() : std::min(movie, f->MovieFrames());
  }
  std::vector<int32_t> frames;
  if (movie > 0 && HasFramePattern(o.output))
    for (int32_t f = 1; f <= movie; ++f) frames.push_back(f);
  else
    frames.push_back(1);
  return frames;
}

void Progress(const RenderOptions& o, int32_t frame, size_t done, size_t total) {
  if (o.quiet || total < 2 || !::isatty(STDERR_FILENO)) return;
  std::fprintf(stderr, "\rorvanta: frame %d (%zu of %zu)", frame, done, total);
  std::fflush(stderr);
  g_progressOpen = true;
  if (done == total) EndProgressLine();
}

}  // namespace

void EndProgressLine() {
  if (!g_progressOpen) return;
  std::fputc('\n', stderr);
  g_progressOpen = false;
}

void Render(const RenderOptions& o) {
  Session s;
  if (!o.comp.empty()) {
    LoadFromComposition(s, o);
  } else {
    if (o.tool.empty()) throw Failure("render needs a tool name, or a composition with --comp");
    const host::ClassInfo* cls = host::FindClass(o.tool);
    if (!cls) throw Failure("no installed tool is named " + Quoted(o.tool) + "; 'orvanta tools' lists them");
    s.node = std::make_unique<host::Node>(*cls);
  }
  const std::string tool = ToolName(s.node->Class());
  for (const std::string& spec : o.inputs) ConnectInput(s, spec);
  for (const std::string& setting : o.settings) ApplySetting(*s.node, setting);

  for (Input* in : s.node->Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (d.IsRequired() && !host::IsConnected(in)) {
      bool main = in == MainImageInput(*s.node);
      throw Failure(tool + " needs its image input " + Quoted(d.label) + "; give it with -i " +
                    (main ? std::string("PATH") : Quoted(d.label + "=PATH")));
    }
  }
  if (o.output.empty() && o.save.empty() && !o.stats)
    throw Failure("nothing to do: give -o PATH for the result or --save COMP");

  std::vector<int32_t> frames = FramesToRender(s, o);
  if (!o.output.empty()) {
    if (frames.size() > 1 && !HasFramePattern(o.output))
      throw Failure("rendering " + std::to_string(frames.size()) +
                    " frames needs a frame pattern (# or %04d) in the -o path " + o.output);
    CheckWritable(FramePath(o.output, frames.front()));
  }
  for (int32_t f : frames)
    for (const auto& [in, feed] : s.feeds) feed->Check(f);

  if (!o.save.empty()) {
    SetPendingFile(o.save + ".tmp-" + std::to_string(::getpid()));  // the host's temporary name
    try {
      host::SaveComposition(o.save, {s.node.get()});
    } catch (const std::exception& e) {
      ClearPendingFile();
      throw Failure(e.what());
    }
    ClearPendingFile();
  }
  if (o.output.empty() && !o.stats) return;

  using Clock = std::chrono::steady_clock;
  Clock::duration inTool{0}, total{0};
  for (size_t i = 0; i < frames.size(); ++i) {
    const int32_t f = frames[i];
    const Clock::time_point start = Clock::now();
    for (const auto& [in, feed] : s.feeds) feed->Load(f);
    const Clock::time_point loaded = Clock::now();
    host::RenderResult r = s.node->Render(double(f));
    inTool += Clock::now() - loaded;
    if (!r.ok()) throw Failure(r.error.empty() ? tool + ": the render failed" : r.error);
    if (!o.output.empty()) WriteImage(*r.image, FramePath(o.output, f), o.bits);
    total += Clock::now() - start;
    Progress(o, f, i + 1, frames.size());
  }
  if (o.stats && !frames.empty()) {
    auto ms = [&](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count() / double(frames.size()); };
    std::fprintf(stderr, "%s: %zu frames, %.3f ms per frame in the tool, %.3f ms per frame with reading and writing\n",
                 tool.c_str(), frames.size(), ms(inTool), ms(total));
  }
}

}  // namespace orvanta::cli
