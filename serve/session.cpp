#include "session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/sequence.h"
#include "picture.h"

namespace orvanta::serve {
namespace fs = std::filesystem;
using graph::GraphNode;

constexpr const char* kScopeNode = "@scope";

// The pictures of file inputs shrunk for a proxy preview; scale 1 passes them through untouched.
// Shrunk pictures are kept per path until the picture behind them changes.
class Session::ScaledFiles : public graph::FileProvider {
 public:
  ScaledFiles(io::FileCache& base, double scale) : base_(base), scale_(scale) {}
  double Scale() const { return scale_; }
  // Forgets the shrunk pictures of paths not kept or forgotten by the file cache (a picture read
  // again may take the address of the one forgotten).
  void Retain(const std::set<std::string>& keep, const std::vector<std::string>& forgotten) {
    for (const std::string& f : forgotten) shrunk_.erase(f);
    std::erase_if(shrunk_, [&keep](const auto& entry) { return !keep.count(entry.first); });
  }
  graph::FileInfo Info(const std::string& path) override { return base_.Info(path); }
  void Check(const std::string& path, int32_t frame) override { base_.Check(path, frame); }
  Image* Load(const std::string& path, int32_t frame) override {
    Image* full = base_.Load(path, frame);
    if (scale_ >= 1.0) return full;
    Shrunk& s = shrunk_[path];
    if (s.image && s.from == full && s.frame == frame) return s.image.get();
    const int32_t w = std::max(1, int32_t(std::lround(full->Width * scale_)));
    const int32_t h = std::max(1, int32_t(std::lround(full->Height * scale_)));
    s.image.reset(full->ResizeOfImage(w, h));
    s.from = full, s.frame = frame;
    return s.image.get();
  }

 private:
  struct Shrunk {
    const Image* from = nullptr;
    int32_t frame = 0;
    host::ImagePtr image;
  };
  io::FileCache& base_;
  double scale_;
  std::map<std::string, Shrunk> shrunk_;
};

namespace {

std::string Text(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_string())
    throw Failure(std::string("the request needs \"") + key + "\" as text");
  return it->get<std::string>();
}

// A setting without a NODE. prefix in a composition of several nodes.
std::string NamesNoNode(const graph::Graph&, const std::string& option, const std::string& spec) {
  return option + " " + Quoted(spec) + " names no node of the composition; write NODE.CONTROL=VALUE";
}

graph::Graph StartingGraph(const StartOptions& o) {
  if (!o.comp.empty()) {
    if (!o.tool.empty()) throw Failure("serve takes a composition or a tool, not both");
    if (!o.inputs.empty()) throw Failure("-i is for a tool; connect a composition's inputs on the page");
    return io::LoadCompositionFile(o.comp);
  }
  if (o.tool.empty()) throw Failure("serve needs a composition file or a tool name");
  graph::Graph g = graph::ToolGraph(o.tool);
  graph::ConnectInputs(g, o, NamesNoNode);
  return g;
}

// A required image input left unconnected.
std::string MissingInput(const graph::Graph&, const GraphNode& n, const Input* in) {
  return n.Named() + " (" + n.Tool() + ") needs its image input " + Quoted(host::Describe(in).label) +
         "; connect it in the graph";
}

}  // namespace

std::string ValueText(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return v.get<bool>() ? "on" : "off";
  if (v.is_number()) return graph::NumberText(v.get<double>());
  if (v.is_array() && v.size() == 2 && v[0].is_number() && v[1].is_number())
    return graph::NumberText(v[0].get<double>()) + "," + graph::NumberText(v[1].get<double>());
  throw Failure("a control's value is a number, a text, true/false or [x, y], not " + v.dump());
}

namespace {

// The path with symbolic links and dot-dots resolved as far as it exists.
fs::path RealPath(const fs::path& p) {
  std::error_code ec;
  fs::path abs = fs::absolute(p, ec);
  fs::path real = fs::weakly_canonical(abs, ec);
  return ec ? abs.lexically_normal() : real;
}

bool IsUnder(const fs::path& path, const fs::path& folder) {
  auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return f == folder.end() || (std::next(f) == folder.end() && f->empty());  // "dir/" ends in ""
}

// The file paths the graph's inputs read, as the evaluator asks for them.
std::set<std::string> FilesOf(const graph::Graph& g) {
  std::set<std::string> paths;
  for (const auto& n : g.Nodes())
    for (const auto& [in, link] : n->links)
      if (link.kind == graph::Link::Kind::File) paths.insert(g.Resolve(link.target));
  return paths;
}

constexpr size_t kMaxOpenFiles = 64;  // files (movies among them) kept open between previews

}  // namespace

Session::Session(const StartOptions& o)
    : graph_(StartingGraph(o)),
      fileCacheBytes_(o.fileCacheBytes),
      view_(io::ViewTransform::FromEnvironment()) {
  graph::SetControls(graph_, o, NamesNoNode);
  savePath_ = !o.save.empty() ? o.save : !o.comp.empty() ? o.comp : "composition.json";
  if (!o.comp.empty() && o.save.empty() && !io::IsJsonPath(o.comp))
    savePath_ = fs::path(o.comp).replace_extension(".json").string();  // the page saves JSON
  fileFolders_ = {RealPath("."), RealPath(fs::absolute(savePath_).parent_path())};
  if (!graph_.baseDir.empty()) fileFolders_.push_back(RealPath(graph_.baseDir));
  for (const std::string& f : FilesOf(graph_))
    fileFolders_.push_back(RealPath(fs::absolute(f).parent_path()));

  framesOption_ = o.frames;
  UpdateTimeline();
  frame_ = timeline_.first;
  if (const host::ClassInfo* cls = host::FindClass("OrvantaScope"))
    scope_ = std::make_unique<host::Node>(*cls);
  if (graph_.Size() > 0) {
    try {
      viewed_ = graph_.Target().name;
    } catch (const Failure&) {
      viewed_ = graph_.Nodes().back()->name;
    }
  }
}

Session::~Session() = default;

GraphNode& Session::NodeOf(const Json& request, const char* key) const {
  return graph_.Get(Text(request, key));
}

Json Session::DescribeWithValues(const GraphNode* gn, const host::Node& node) const {
  Json d = graph::DescribeNode(node);
  const std::vector<Input*>& inputs = node.Inputs();
  size_t i = 0;
  for (Json& page : d["pages"])
    for (Json& j : page["inputs"]) {
      const Input* in = inputs.at(i++);
      const host::ControlDescription& c = host::Describe(in);
      if (c.IsImage()) {
        if (gn) {
          auto it = gn->links.find(in);
          if (it != gn->links.end())
            j["link"] = Json{{"kind", it->second.kind == graph::Link::Kind::File ? "file" : "node"},
                             {"target", it->second.target}};
        }
        continue;
      }
      if (c.type == PointDataType) {
        const Point p = host::PointAt(in, frame_);
        j["value"] = Json::array({p.X, p.Y});
      } else {
        j["value"] = host::NumberAt(in, frame_);
      }
      j["animated"] = host::IsAnimated(in);
      if (host::IsAnimated(in)) {
        Json keys = Json::array();
        for (const host::Key& k : host::Keys(in)) keys.push_back(k.time);
        j["keys"] = std::move(keys);
      }
      if (gn) {
        auto it = gn->expressions.find(in);
        if (it != gn->expressions.end()) {
          j["expression"] = it->second.Text();
          try {  // the value it drives the control with at this frame
            j["value"] = graph::ControlValueAt(graph_, *gn, in, frame_);
          } catch (const Failure& e) {
            j["valueError"] = e.what();
          }
        }
      }
    }
  return d;
}

Json Session::State() const {
  Json tools = Json::array();
  for (const host::ClassInfo* c : host::Classes()) tools.push_back(graph::ToolName(*c));
  Json nodes = Json::array();
  for (auto& n : graph_.Nodes()) {
    Json j = DescribeWithValues(n.get(), *n->node);
    j["node"] = n->name;
    if (n->position) j["position"] = Json::array({n->position->x, n->position->y});
    nodes.push_back(std::move(j));
  }
  Json s{{"tools", tools},
         {"nodes", nodes},
         {"viewed", viewed_},
         {"output", graph_.output},
         {"frame", frame_},
         {"firstFrame", timeline_.first},
         {"lastFrame", timeline_.last},
         {"fps", timeline_.fps},
         {"framesFrom", timeline_.source},
         {"savePath", savePath_},
         {"view", view_->Name()},
         {"scopeOn", scopeOn_},
         {"revision", revision_},
         {"canUndo", history_.CanUndo()},
         {"canRedo", history_.CanRedo()}};
  if (scope_) s["scope"] = DescribeWithValues(nullptr, *scope_);
  return s;
}

void Session::SetOne(GraphNode* gn, host::Node& node, const std::string& control, const Json& value) {
  Input* in = graph::FindControl(node, control);
  const graph::ParsedValue v = graph::ParseValue(node, in, ValueText(value));
  if (host::IsAnimated(in) && !v.animated)
    graph::ApplyKeyAt(in, v.keys.front(), frame_);  // an animated control takes a key at this frame
  else
    graph::ApplyValue(in, v);
  if (gn) graph_.ClearExpression(*gn, in);  // a value given replaces an expression
}

Json Session::Set(const Json& r) {
  if (!r.is_object()) throw Failure("the request is not a JSON object");
  Recorder change(*this, r);
  if (auto it = r.find("node"); it != r.end() && *it == kScopeNode) ++revision_;  // the viewer, not the graph
  const std::string name = Text(r, "node");
  GraphNode* gn = nullptr;
  host::Node* node = nullptr;
  if (name == kScopeNode) {
    if (!scope_) throw Failure("the scope tool is not installed");
    node = scope_.get();
  } else {
    gn = &graph_.Get(name);
    node = gn->node.get();
  }
  if (auto it = r.find("settings"); it != r.end()) {
    if (!it->is_array()) throw Failure("\"settings\" is a list of {control, value}");
    for (const Json& s : *it) {
      if (!s.is_object() || !s.contains("value")) throw Failure("each setting needs a control and a value");
      SetOne(gn, *node, Text(s, "control"), s["value"]);
    }
    return change.Finish();
  }
  const std::string control = Text(r, "control");
  if (auto it = r.find("expression"); it != r.end()) {
    if (!gn) throw Failure("the viewer scope takes values, not expressions");
    if (!it->is_string()) throw Failure("an expression is text");
    Input* in = graph::FindControl(*node, control);
    if (it->get<std::string>().empty())
      graph_.ClearExpression(*gn, in);
    else
      graph_.SetExpression(*gn, in, it->get<std::string>());
    return change.Finish();
  }
  if (!r.contains("value")) throw Failure("the request needs a \"value\" or an \"expression\"");
  SetOne(gn, *node, control, r["value"]);
  return change.Finish();
}

Json Session::AddNode(const Json& r) {
  Recorder change(*this, r);
  const std::string tool = Text(r, "tool");
  const host::ClassInfo* cls = host::FindClass(tool);
  if (!cls) throw Failure("no installed tool is named " + Quoted(tool));
  std::string name = r.contains("name") ? Text(r, "name") : graph_.UniqueName(graph::NodeNameFor(*cls));
  std::optional<graph::Position> at;
  if (auto it = r.find("position"); it != r.end()) at = PositionFrom(*it, name);
  graph_.Add(name, *cls).position = at;
  viewed_ = name;
  return change.Finish();
}

Json Session::RemoveNode(const Json& r) {
  Recorder change(*this, r);
  const std::string name = NodeOf(r).name;
  graph_.Remove(name);
  if (graph_.output == name) graph_.output.clear();
  if (viewed_ == name) viewed_ = graph_.Size() ? graph_.Nodes().back()->name : "";
  return change.Finish();
}

namespace {
Input* ImageInputOf(const GraphNode& n, const std::string& name) {
  Input* in = graph::FindImageInput(*n.node, name);
  if (!in) throw Failure(n.Named() + " (" + n.Tool() + ") has no image input " + Quoted(name));
  return in;
}
}  // namespace

Json Session::Connect(const Json& r) {
  Recorder change(*this, r);
  GraphNode& n = NodeOf(r);
  Input* in = ImageInputOf(n, Text(r, "input"));
  if (r.contains("file")) {
    const std::string path = Text(r, "file");
    if (path.empty()) throw Failure("a file input needs a path");
    CheckConnectable(path);
    graph_.ConnectFile(n, in, path);
  } else {
    const std::string source = Text(r, "source");
    std::optional<graph::Link> before;
    if (auto it = n.links.find(in); it != n.links.end()) before = it->second;
    graph_.ConnectNode(n, in, source);
    try {
      (void)graph_.Upstream({&n});  // refuse a cycle now rather than at the next render
    } catch (const Failure&) {
      if (!before)
        graph_.Disconnect(n, in);  // the input as it was
      else if (before->kind == graph::Link::Kind::File)
        graph_.ConnectFile(n, in, before->target);
      else
        graph_.ConnectNode(n, in, before->target);
      throw;
    }
  }
  return change.Finish();
}

void Session::CheckConnectable(const std::string& path) const {
  const fs::path real = RealPath(graph_.Resolve(path));
  for (const fs::path& folder : fileFolders_)
    if (IsUnder(real, folder)) return;
  throw Failure(
      "files are connected only from the composition's folder, the folders its files use and the "
      "working folder; " +
      Quoted(path) + " is not in them");
}

void Session::TrimFiles() {
  const std::set<std::string> connected = FilesOf(graph_);
  const std::vector<std::string> forgotten = files_.Trim(fileCacheBytes_, kMaxOpenFiles, connected);
  if (proxy_) proxy_->Retain(connected, forgotten);
}

Json Session::Disconnect(const Json& r) {
  Recorder change(*this, r);
  GraphNode& n = NodeOf(r);
  graph_.Disconnect(n, ImageInputOf(n, Text(r, "input")));
  return change.Finish();
}

Json Session::View(const Json& r) {
  Recorder change(*this, r);  // the output is the graph's
  if (r.contains("node")) viewed_ = NodeOf(r).name;
  if (auto it = r.find("frame"); it != r.end()) {
    if (!it->is_number_integer()) throw Failure("a frame is a whole number");
    const int64_t f = it->get<int64_t>();
    if (f < -io::kMaxFrame || f > io::kMaxFrame)
      throw Failure("frame " + std::to_string(f) + " is out of range");
    frame_ = int32_t(f);
  }
  if (auto it = r.find("scope"); it != r.end()) {
    if (!it->is_boolean()) throw Failure("\"scope\" is true or false");
    if (it->get<bool>() && !scope_) throw Failure("the scope tool is not installed");
    if (scopeOn_ != it->get<bool>()) ++revision_;
    scopeOn_ = it->get<bool>();
  }
  if (auto it = r.find("output"); it != r.end()) {
    if (!it->is_string()) throw Failure("\"output\" is a node's name");
    if (!it->get<std::string>().empty()) (void)graph_.Get(it->get<std::string>());
    graph_.output = it->get<std::string>();
  }
  return change.Finish();
}

Json Session::Save() {
  io::SaveCompositionFile(graph_, savePath_);
  return Json{{"saved", savePath_}};
}

host::ImagePtr Session::RenderPicture(const std::string& name, int32_t frame, double scale,
                                      double& renderMs) {
  if (!(scale > 0.0 && scale <= 1.0)) throw Failure("the preview scale is from 0 (not included) to 1");
  GraphNode& target = graph_.Get(name);
  std::vector<GraphNode*> targets{&target};
  graph::CheckRenderable(graph_, targets, MissingInput);
  TrimFiles();
  graph::FileProvider* files = &files_;
  if (scale < 1.0) {  // shrunk pictures are kept while the scale stays
    if (!proxy_ || proxy_->Scale() != scale) proxy_ = std::make_unique<ScaledFiles>(files_, scale);
    files = proxy_.get();
  }
  graph::Evaluator eval(graph_, *files);
  eval.CheckFrames(targets, {frame});
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  host::ImagePtr image = eval.Render(target, frame);
  if (scopeOn_ && scope_) {
    Input* in = graph::MainImageInput(*scope_);
    host::Connect(in, image.get(), name);
    host::RenderResult r = scope_->Render(frame);
    host::Disconnect(in);
    if (!r.ok()) throw Failure("the scope of " + target.Named() + " failed: " + r.error);
    image = std::move(r.image);
  }
  renderMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return image;
}

Preview Session::Render(const std::string& name, int32_t frame, double scale, const PreviewOptions& options) {
  Preview p;
  const Image& image = Hold(name, frame, scale, RenderPicture(name, frame, scale, p.renderMs));
  p.width = image.Width, p.height = image.Height, p.depth = image.Depth;
  p.revision = revision_;
  const auto encoding = std::chrono::steady_clock::now();
  host::ImagePtr viewed;
  if (image.Depth == DepthFloat) {
    viewed = view_->Apply(image, options.view);
    p.viewTransformed = true;
  }
  const Image& shown = viewed ? *viewed : image;
  if (options.format == PreviewFormat::Rgba8) {
    p.bytes = CanvasBytes(shown, options.opaque);
  } else {
    // Only the full-scale picture of integer footage must be the command's bytes; the rest are
    // only looked at, and encode several times faster with the least compression.
    const bool exact = !viewed && scale >= 1.0;
    p.bytes = io::EncodePng(shown, exact ? io::PngSpeed::Exact : io::PngSpeed::Fast);
  }
  p.encodeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - encoding).count();
  return p;
}

}  // namespace orvanta::serve
