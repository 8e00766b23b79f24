#include "render.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/graph/edits.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/colour.h"
#include "orvanta/io/files.h"
#include "orvanta/io/movie.h"
#include "orvanta/io/pipeline.h"
#include "orvanta/io/sequence.h"

namespace orvanta::cli {
using graph::Graph;
using graph::GraphNode;

namespace {

bool g_progressOpen = false;

// A setting without a NODE. prefix in a composition of several nodes.
std::string NamesNoNode(const Graph& g, const std::string& option, const std::string& spec) {
  std::string list;
  for (auto& n : g.Nodes()) list += (list.empty() ? "" : ", ") + Quoted(n->name);
  return option + " " + Quoted(spec) + " names no node; write it as " + option +
         " NODE.CONTROL=VALUE with one of the composition's nodes " + list;
}

Graph StartingGraph(const RenderOptions& o) {
  if (!o.comp.empty()) {
    Graph g = io::LoadCompositionFile(o.comp);
    if (!o.tool.empty()) {
      if (g.Size() != 1)
        throw Failure(o.comp + " holds " + std::to_string(g.Size()) +
                      " nodes; name the one to render with --node, not a tool");
      if (host::FindClass(o.tool) != &g.Nodes().front()->node->Class())
        throw Failure(o.comp + " holds a node of " + g.Nodes().front()->Tool() + ", not of " + o.tool);
    }
    return g;
  }
  if (o.tool.empty()) throw Failure("render needs a tool name, or a composition with --comp");
  return graph::ToolGraph(o.tool);
}

// A required image input left unconnected; said the way the user can mend it.
std::string MissingInput(const Graph& g, const GraphNode& n, const Input* in) {
  const host::ControlDescription& d = host::Describe(in);
  const bool main = in == graph::MainImageInput(*n.node);
  if (g.Size() == 1)
    return n.Tool() + " needs its image input " + Quoted(d.label) + "; give it with -i " +
           (main ? std::string("PATH") : Quoted(d.label + "=PATH"));
  return n.Named() + " (" + n.Tool() + ") needs its image input " + Quoted(d.label) +
         "; connect it in the composition or give it with -i " + Quoted(n.name + "." + d.label + "=PATH");
}

// "frame F (I of N), R fps, M:SS left", rewritten in place after every frame.
void Progress(const RenderOptions& o, int32_t frame, size_t done, size_t total,
              std::chrono::steady_clock::time_point start) {
  if (o.quiet || o.verbose || total < 2 || !::isatty(STDERR_FILENO)) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double fps = seconds > 0 ? double(done) / seconds : 0.0;
  const long left = fps > 0 ? std::lround(double(total - done) / fps) : 0;
  std::fprintf(stderr, "\rorvanta: frame %d (%zu of %zu), %.1f fps, %ld:%02ld left ", frame, done, total, fps,
               left / 60, left % 60);
  std::fflush(stderr);
  g_progressOpen = true;
  if (done == total) EndProgressLine();
}

// The resolved paths of the file inputs the targets need.
std::vector<std::string> FileInputs(const Graph& g, const std::vector<GraphNode*>& targets) {
  std::vector<std::string> paths;
  for (GraphNode* n : g.Upstream(targets))
    for (auto& [in, link] : n->links)
      if (link.kind == graph::Link::Kind::File) paths.push_back(g.Resolve(link.target));
  return paths;
}

// A movie output takes its rate, pixel aspect and audio from the first movie input; the audio is
// copied when the frames are one run, so that it stays in time with the pictures.
io::MovieSettings MovieSettingsFor(const Graph& g, const std::vector<GraphNode*>& targets,
                                   const std::vector<int32_t>& frames, const RenderOptions& o) {
  io::MovieSettings m;
  m.codec = io::MovieCodecFor(o.output, o.codec);
  std::unique_ptr<io::MovieReader> source;
  std::string sourcePath;
  for (const std::string& p : FileInputs(g, targets))
    if ((source = io::MovieReader::Open(p))) {
      sourcePath = p;
      break;
    }
  if (!o.fps.empty())
    m.rate = io::ParseRate(o.fps, "--fps");
  else if (source)
    m.rate = source->Rate();
  if (source) m.pixelAspect = source->PixelAspect();
  bool oneRun = !frames.empty();
  for (size_t i = 1; i < frames.size() && oneRun; ++i) oneRun = frames[i] == frames[i - 1] + 1;
  if (source) {  // its tags, and its timecode moved on to the first frame rendered
    m.tags = source->Tags();
    if (oneRun) m.timecode = io::TimecodeAfter(source->Timecode(), frames.front() - 1, source->Rate());
  }
  if (source && source->HasAudio() && oneRun && !o.noAudio) {
    m.audioFrom = sourcePath;
    m.audioStart = double(frames.front() - 1) / source->Rate().Value();
    // The whole movie keeps all its audio, however much longer than the pictures it runs.
    const bool whole = frames.front() == 1 && frames.back() == source->Frames();
    m.audioSeconds = whole ? -1.0 : double(frames.size()) / source->Rate().Value();
  }
  return m;
}

// The file the target's picture comes from through the main inputs of the nodes on the way (the
// one whose header the output keeps); "" when that chain ends elsewhere.
std::string MainFile(const Graph& g, GraphNode& target) {
  const GraphNode* n = &target;
  for (size_t steps = 0; n && steps <= g.Size(); ++steps) {
    const Input* main = graph::MainImageInput(*n->node);
    auto it = main ? n->links.find(main) : n->links.end();
    if (it == n->links.end()) return "";
    if (it->second.kind == graph::Link::Kind::File) return g.Resolve(it->second.target);
    n = g.Find(it->second.target);
  }
  return "";
}

// Whether a node the target takes its picture from makes an alpha of its own.
bool MakesAlpha(const Graph& g, GraphNode& target) {
  for (GraphNode* n : g.Upstream({&target}))
    if (io::ToolMakesAlpha(n->Tool())) return true;
  return false;
}

// The colour plan of the options and the composition's working space; none when nothing is named.
std::shared_ptr<const io::ColourPlan> ColourPlanFor(const Graph& g, const RenderOptions& o) {
  const std::string working = !o.workingSpace.empty() ? o.workingSpace : g.workingSpace;
  if (o.colorspace.empty() && working.empty() && o.outColorspace.empty()) {
    if (!o.ocioConfig.empty()) io::ColourConfig::Load(o.ocioConfig);  // still checked
    return nullptr;
  }
  return std::make_shared<const io::ColourPlan>(io::ColourConfig::Load(o.ocioConfig), o.colorspace, working,
                                                o.outColorspace);
}

// How the -o files are written.
io::WriteOptions WriteOptionsFor(const Graph& g, GraphNode& target, const RenderOptions& o,
                                 std::shared_ptr<const io::ColourPlan> colour) {
  io::WriteOptions write;
  write.bits = o.bits;
  write.compression = o.compression;
  write.channels = o.channels;
  write.alpha = o.alpha;
  write.resultMakesAlpha = MakesAlpha(g, target);
  write.colour = std::move(colour);
  return write;
}

// Says each note of the writers once, however many frames give it.
class Notes {
 public:
  void Say(const std::vector<std::string>& notes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& n : notes)
      if (said_.insert(n).second) {
        EndProgressLine();
        std::fprintf(stderr, "orvanta: note: %s\n", n.c_str());
      }
  }

 private:
  std::mutex mutex_;
  std::set<std::string> said_;
};

// The frame number in the -o name of frame f.
int32_t OutputFrame(const RenderOptions& o, int32_t f) {
  const int64_t out = int64_t(f) + o.frameOffset;
  if (out < 0 || out > io::kMaxFrame)
    throw Failure("--frame-offset " + std::to_string(o.frameOffset) + " makes frame " + std::to_string(f) +
                  " the file number " + std::to_string(out) + ", outside 0 to " +
                  std::to_string(io::kMaxFrame));
  return int32_t(out);
}

// --skip-existing: the frames still to render. A frame whose file reads back whole is kept as it is;
// a damaged one is rendered again, the rename replacing it whole. -v says which is which.
std::vector<int32_t> FramesStillToRender(const RenderOptions& o, const std::vector<int32_t>& frames) {
  if (o.output.empty()) throw Failure("--skip-existing keeps frames already in the -o files; give -o PATH");
  std::vector<int32_t> todo;
  for (int32_t f : frames) {
    const std::string path = io::FramePath(o.output, OutputFrame(o, f));
    std::string why;
    const io::FileState state = io::CheckImageFile(path, &why);
    if (state != io::FileState::Complete) todo.push_back(f);
    if (!o.verbose || state == io::FileState::Missing) continue;
    if (state == io::FileState::Complete)
      std::printf("orvanta: frame %d kept: %s is complete\n", f, path.c_str());
    else
      std::printf("orvanta: frame %d is damaged, rendering it again: %s\n", f, why.c_str());
  }
  std::fflush(stdout);
  return todo;
}

}  // namespace

void EndProgressLine() {
  if (!g_progressOpen) return;
  std::fputc('\n', stderr);
  g_progressOpen = false;
}

// The checks of the output before anything is rendered: options that fit its kind, a frame pattern
// for several frames, a first file that can be written. Gives a movie output's settings.
io::MovieSettings CheckOutput(const RenderOptions& o, const Graph& g, const std::vector<GraphNode*>& targets,
                              const std::vector<int32_t>& frames, const io::WriteOptions& write) {
  const bool movieOut = !o.output.empty() && io::IsMoviePath(o.output);
  if ((!o.codec.empty() || !o.fps.empty() || o.noAudio) && !movieOut)
    throw Failure(std::string(o.codec.empty() ? o.fps.empty() ? "--no-audio" : "--fps" : "--codec") +
                  " is for a movie output (-o NAME.mov, .mp4 or .mkv)");
  io::MovieSettings movie;
  if (movieOut) {
    if (o.bits != io::Bits::Keep || !o.compression.empty() || !o.channels.empty() || o.frameOffset != 0)
      throw Failure(std::string(o.bits != io::Bits::Keep ? "--bits"
                                : !o.compression.empty() ? "--compression"
                                : !o.channels.empty()    ? "--channels"
                                                         : "--frame-offset") +
                    " is for image files; a movie's samples come with its --codec");
    if (o.skipExisting)
      throw Failure("--skip-existing keeps the frames of an image sequence; a movie is written whole");
    movie = MovieSettingsFor(g, targets, frames, o);
    io::CheckMovieWritable(o.output, movie);
  } else if (!o.output.empty()) {
    if (frames.size() > 1 && !io::HasFramePattern(o.output))
      throw Failure("rendering " + std::to_string(frames.size()) +
                    " frames needs a frame pattern (# or %04d) in the -o path " + o.output);
    io::CheckWritable(io::FramePath(o.output, OutputFrame(o, frames.front())));
    io::CheckWriteOptions(io::FramePath(o.output, OutputFrame(o, frames.front())), write);
    for (int32_t f : frames) (void)OutputFrame(o, f);
  }
  return movie;
}

// Renders the frames of the target and writes them. Reading the next frames, rendering this one
// and writing the last ones overlap; the render itself runs on the host's workers.
void RenderAndWrite(const RenderOptions& o, Graph& g, const std::vector<GraphNode*>& targets,
                    io::FileCache& files, const std::string& mainFile, const std::vector<int32_t>& frames,
                    const io::WriteOptions& write, const io::MovieSettings& movie) {
  GraphNode& target = *targets.front();
  const bool movieOut = !o.output.empty() && io::IsMoviePath(o.output);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const size_t cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 4u));
  if (o.queue > 0 && frames.size() > 1) io::CodeFilesOnCallingThreads();
  io::PrefetchingFiles prefetch(files, FileInputs(g, targets), frames, size_t(o.queue), cores);
  graph::Evaluator run(g, prefetch);
  std::unique_ptr<io::MovieWriter> movieWriter;
  if (movieOut) movieWriter = std::make_unique<io::MovieWriter>(o.output, movie);
  // A movie is one stream, written in order; the frames of a sequence are files of their own,
  // compressed on as many threads as there are cores (with -v one, so the log keeps frame order).
  const size_t writers = movieOut || o.verbose ? 1 : cores;
  io::BackgroundWriter writer(size_t(o.queue), writers);
  Notes notes;
  for (size_t i = 0; i < frames.size(); ++i) {
    const int32_t f = frames[i];
    host::ImagePtr image = run.Render(target, f);
    if (movieWriter) {
      writer.Push(std::move(image), [w = movieWriter.get()](const Image& im) { w->Write(im); });
    } else if (!o.output.empty()) {
      // The header of this frame's main input goes with it: each frame keeps its own attributes.
      io::HeaderPtr header = mainFile.empty() ? nullptr : prefetch.Header(mainFile);
      writer.Push(std::move(image), [path = io::FramePath(o.output, OutputFrame(o, f)), &write, &notes,
                                     header, verbose = o.verbose, f](const Image& im) {
        std::vector<std::string> said;
        io::WritePicture(im, header.get(), path, write, &said);
        notes.Say(said);
        if (verbose) {
          std::printf("orvanta: frame %d written to %s\n", f, path.c_str());
          std::fflush(stdout);
        }
      });
    }
    if (i + 1 < frames.size()) Progress(o, f, i + 1, frames.size(), start);
  }
  writer.Finish();
  if (movieWriter) movieWriter->Finish();
  if (!frames.empty()) Progress(o, frames.back(), frames.size(), frames.size(), start);
  if (o.stats && !frames.empty()) {
    const double n = double(frames.size());
    const double inTools = run.RenderSeconds() * 1000.0 / n;
    const double all = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / n;
    const std::string what = g.Size() == 1 ? target.Tool() : target.Named();
    std::fprintf(
        stderr,
        "%s: %zu frames, %.3f ms per frame in the tool%s, %.3f ms per frame with reading and writing\n",
        what.c_str(), frames.size(), inTools, g.Size() == 1 ? "" : "s", all);
  }
}

void Render(const RenderOptions& o) {
  Graph g = StartingGraph(o);
  graph::ApplyEdits(g, o, NamesNoNode);

  if (o.output.empty() && o.save.empty() && !o.stats)
    throw Failure("nothing to do: give -o PATH for the result or --save COMP");
  // Only saving: every end node must be renderable, though none is rendered.
  const bool rendering = !o.output.empty() || o.stats;
  std::vector<GraphNode*> targets =
      rendering || !o.node.empty() ? std::vector<GraphNode*>{&g.Target(o.node)} : g.Ends();
  if (targets.empty())
    targets.push_back(&g.Target());  // no end node: every node is in a cycle, which this names
  graph::CheckRenderable(g, targets, MissingInput);  // a cycle is refused first
  GraphNode& target = *targets.front();

  io::FileCache files;
  const std::shared_ptr<const io::ColourPlan> colour = ColourPlanFor(g, o);
  files.SetColour(colour);
  const std::string mainFile = MainFile(g, target);
  if (!o.part.empty()) {
    if (mainFile.empty()) throw Failure("--part chooses a part of the main input file; the render has none");
    files.SetPart(mainFile, o.part);
  }
  const io::WriteOptions write = WriteOptionsFor(g, target, o, colour);
  graph::Evaluator eval(g, files);
  if (!rendering && o.frames.empty()) {  // only saving: no frames to check the files at
    io::SaveCompositionFile(g, o.save);
    return;
  }
  std::vector<int32_t> frames =
      o.frames.empty()
          ? eval.DefaultFrames(targets, io::HasFramePattern(o.output) || io::IsMoviePath(o.output))
          : io::ParseFrames(o.frames);
  const io::MovieSettings movie = CheckOutput(o, g, targets, frames, write);
  if (o.skipExisting) frames = FramesStillToRender(o, frames);
  eval.CheckFrames(targets, frames);

  if (!o.save.empty()) io::SaveCompositionFile(g, o.save);
  if (o.output.empty() && !o.stats) return;

  RenderAndWrite(o, g, targets, files, mainFile, frames, write, movie);
}

}  // namespace orvanta::cli
