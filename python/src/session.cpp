#include "session.h"

#include <cmath>

#include "arrays.h"
#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/graph/describe.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/sequence.h"

namespace orvanta::python {
using graph::GraphNode;

namespace {

bool IsNumber(const py::handle& v) {
  return py::isinstance<py::int_>(v) || py::isinstance<py::float_>(v) ||
         (py::hasattr(v, "__float__") && !py::isinstance<py::str>(v) && !py::isinstance<py::array>(v));
}

// One value as the text the command takes: a number, a combo item, a checkbox word, or X,Y.
std::string ValueText(const py::handle& v, const std::string& control) {
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>() ? "1" : "0";
  if (py::isinstance<py::str>(v)) return v.cast<std::string>();
  if ((py::isinstance<py::tuple>(v) || py::isinstance<py::list>(v)) && py::len(v) == 2) {
    py::sequence s = py::reinterpret_borrow<py::sequence>(v);
    if (IsNumber(s[0]) && IsNumber(s[1]))
      return graph::NumberText(s[0].cast<double>()) + "," + graph::NumberText(s[1].cast<double>());
  }
  if (IsNumber(v)) return graph::NumberText(v.cast<double>());
  throw py::type_error("the value for " + Quoted(control) + " is a " +
                       py::str(py::type::of(v).attr("__name__")).cast<std::string>() +
                       "; give a number, a bool, an item's text, an (x, y) pair or a {frame: value} dict");
}

void DropPicture(GraphState& s, const Input* in) { s.pictures.erase(in); }

// A required image input left without a picture.
std::string MissingInput(const graph::Graph& g, const GraphNode& n, const Input* in) {
  const std::string& label = host::Describe(in).label;
  return g.Mention(n) + " needs its image input " + Quoted(label) +
         "; give it an array or a file with connect(" + Quoted(label) + ", ...)";
}

}  // namespace

GraphLock::GraphLock(GraphState& s) : lock_(s.mutex, std::defer_lock) {
  if (lock_.try_lock()) return;
  py::gil_scoped_release release;
  lock_.lock();
}

// ---- rendering ------------------------------------------------------------------------------

py::array RenderTarget(GraphState& s, const std::function<GraphNode&()>& find, int32_t frame) {
  if (frame < 0 || frame > io::kMaxFrame)
    throw Failure("frame " + std::to_string(frame) + " is not a frame number from 0 to " +
                  std::to_string(io::kMaxFrame));
  host::ImagePtr image;
  {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(s.mutex);
    graph::Graph& g = s.graph;
    GraphNode& target = find();
    std::vector<GraphNode*> targets{&target};
    graph::CheckRenderable(g, targets, MissingInput,
                           [&s](const Input* in) { return s.pictures.count(in) > 0; });
    graph::Evaluator eval(g, s.files);
    eval.CheckFrames(targets, {frame});
    image = eval.Render(target, frame);
  }
  return ArrayFromImage(*image);
}

// ---- graphs ---------------------------------------------------------------------------------

GraphHandle::GraphHandle() : state_(std::make_shared<GraphState>()) {}

GraphHandle GraphHandle::Load(const std::string& path) {
  auto s = std::make_shared<GraphState>();
  {
    py::gil_scoped_release release;
    s->graph = io::LoadCompositionFile(path);
  }
  return GraphHandle(std::move(s));
}

GraphHandle GraphHandle::FromJson(const std::string& text, const std::string& name) {
  auto s = std::make_shared<GraphState>();
  s->graph = graph::ReadJsonComposition(text, name);
  return GraphHandle(std::move(s));
}

NodeHandle GraphHandle::Add(const std::string& tool, const std::optional<std::string>& name) {
  const host::ClassInfo* cls = host::FindClass(tool);
  if (!cls) throw Failure("no installed tool is named " + Quoted(tool) + "; orvanta.tools() lists them");
  GraphLock lock(*state_);
  graph::Graph& g = state_->graph;
  GraphNode& n = g.Add(name ? *name : g.UniqueName(graph::NodeNameFor(*cls)), *cls);
  return NodeHandle(state_, n);
}

void GraphHandle::Remove(const std::string& name) {
  GraphLock lock(*state_);
  GraphNode& n = state_->graph.Get(name);
  for (Input* in : n.node->Inputs()) DropPicture(*state_, in);
  state_->graph.Remove(name);
}

NodeHandle GraphHandle::Get(const std::string& name) const {
  GraphLock lock(*state_);
  return NodeHandle(state_, state_->graph.Get(name));
}

std::vector<NodeHandle> GraphHandle::Nodes() const {
  GraphLock lock(*state_);
  std::vector<NodeHandle> out;
  for (auto& n : state_->graph.Nodes()) out.emplace_back(state_, *n);
  return out;
}

size_t GraphHandle::Size() const {
  GraphLock lock(*state_);
  return state_->graph.Size();
}

std::string GraphHandle::Output() const {
  GraphLock lock(*state_);
  return state_->graph.output;
}

void GraphHandle::SetOutput(const std::string& name) {
  GraphLock lock(*state_);
  if (!name.empty()) state_->graph.Get(name);  // must exist
  state_->graph.output = name;
}

py::array GraphHandle::Render(const std::optional<std::string>& node, int32_t frame) {
  const std::string name = node.value_or("");
  graph::Graph& g = state_->graph;
  return RenderTarget(
      *state_, [&]() -> GraphNode& { return g.Target(name); }, frame);
}

void GraphHandle::RefuseArrays(const std::string& what) const {
  for (auto& n : state_->graph.Nodes())
    for (Input* in : n->node->Inputs())
      if (state_->pictures.count(in))
        throw Failure("cannot " + what + ": " + Quoted(host::Describe(in).label) + " of " + n->Named() +
                      " holds an array, which a composition cannot keep; connect a file there instead");
}

void GraphHandle::Save(const std::string& path) {
  GraphLock lock(*state_);
  RefuseArrays("save " + path);
  py::gil_scoped_release release;
  io::SaveCompositionFile(state_->graph, path);
}

std::string GraphHandle::Json() {
  GraphLock lock(*state_);
  RefuseArrays("write the composition");
  return graph::WriteJsonComposition(state_->graph);
}

// ---- nodes ----------------------------------------------------------------------------------

NodeHandle::NodeHandle(const std::string& tool) {
  GraphHandle g;
  NodeHandle n = g.Add(tool, std::nullopt);
  state_ = g.State();
  node_ = n.node_;
  name_ = n.name_;
}

GraphNode& NodeHandle::Live() const {
  GraphNode* n = state_->graph.Find(name_);
  if (n != node_) throw Failure("the node " + Quoted(name_) + " was removed from its graph");
  return *n;
}

std::string NodeHandle::Tool() const { return graph::ToolName(node_->node->Class()); }

Input* NodeHandle::Control(const std::string& name) const {
  const host::Node& node = *Live().node;
  try {
    return graph::FindControl(node, name);
  } catch (const Failure& e) {
    if (Input* in = graph::FindImageInput(node, name))
      throw Failure(Quoted(host::Describe(in).label) + " of " + graph::ToolName(node) +
                    " is an image input, not a control; give it a picture with connect(" + Quoted(name) +
                    ", ...)");
    // The command's hint, said the Python way.
    std::string why = e.what();
    const std::string hint = "'orvanta info " + graph::ToolName(node) + "' lists";
    if (size_t at = why.find(hint); at != std::string::npos)
      why.replace(at, hint.size(), "orvanta.info(" + Quoted(graph::ToolName(node)) + ") lists");
    throw Failure(why);
  }
}

Input* NodeHandle::ImageInput(const std::optional<std::string>& name) const {
  const host::Node& node = *Live().node;
  Input* in = name ? graph::FindImageInput(node, *name) : graph::MainImageInput(node);
  if (in) return in;
  if (!name) throw Failure(graph::ToolName(node) + " has no image input");
  throw Failure(graph::ToolName(node) + " has no image input " + Quoted(*name) + "; its image inputs are " +
                graph::ImageInputList(node));
}

void NodeHandle::Set(const std::string& control, const py::handle& value) {
  // Converted to the command's texts first, so that ranges, items and checkbox words are checked
  // exactly as there.
  bool animated = false;
  std::vector<std::pair<double, std::string>> keys;
  if (py::isinstance<py::dict>(value)) {
    animated = true;
    for (auto [frame, v] : py::reinterpret_borrow<py::dict>(value)) {
      if (!IsNumber(frame) || py::isinstance<py::bool_>(frame))
        throw py::type_error("the keyframes for " + Quoted(control) + " need numbers as frames, not " +
                             py::repr(frame).cast<std::string>());
      keys.emplace_back(frame.cast<double>(), ValueText(v, control));
    }
    if (keys.empty()) throw py::value_error("the keyframes for " + Quoted(control) + " are empty");
  } else {
    keys.emplace_back(0.0, ValueText(value, control));
  }
  GraphLock lock(*state_);
  GraphNode& n = Live();
  Input* in = Control(control);
  graph::ParsedValue parsed;
  if (!animated) {
    parsed = graph::ParseValue(*n.node, in, keys.front().second);  // a text may hold keyframes
  } else {
    parsed.animated = true;
    for (auto& [frame, text] : keys) {
      if (!std::isfinite(frame))
        throw Failure(graph::NumberText(frame) + " is not a frame number for " + Quoted(control));
      graph::KeyValue k = graph::ParseSingleValue(*n.node, in, text);
      k.frame = frame;
      parsed.keys.push_back(k);
    }
  }
  graph::ApplyValue(in, parsed);
  state_->graph.ClearExpression(n, in);  // a value given replaces an expression
}

py::object NodeHandle::Get(const std::string& control, double frame) {
  GraphLock lock(*state_);
  GraphNode& n = Live();
  Input* in = Control(control);
  if (host::Describe(in).type == PointDataType) {
    Point p = host::PointAt(in, frame);
    return py::make_tuple(p.X, p.Y);
  }
  graph::Evaluator eval(state_->graph, state_->files);
  return py::float_(eval.ValueAt(n, in, frame));
}

void NodeHandle::SetExpression(const std::string& control, const std::string& text) {
  GraphLock lock(*state_);
  GraphNode& n = Live();
  state_->graph.SetExpression(n, Control(control), text);
}

std::optional<std::string> NodeHandle::Expression(const std::string& control) {
  GraphLock lock(*state_);
  GraphNode& n = Live();
  auto it = n.expressions.find(Control(control));
  if (it == n.expressions.end()) return std::nullopt;
  return it->second.Text();
}

void NodeHandle::ClearExpression(const std::string& control) {
  GraphLock lock(*state_);
  GraphNode& n = Live();
  state_->graph.ClearExpression(n, Control(control));
}

void NodeHandle::Connect(const std::optional<std::string>& input, const py::handle& source) {
  host::ImagePtr picture;
  std::string path, nodeName;
  if (py::isinstance<py::array>(source)) {
    std::string what = input ? "the array for " + Quoted(*input) : "the image";
    picture = ImageFromArray(py::reinterpret_borrow<py::array>(source), what);
  } else if (py::isinstance<NodeHandle>(source)) {
    const NodeHandle& other = source.cast<const NodeHandle&>();
    if (other.state_ != state_)
      throw Failure("the node " + Quoted(other.name_) +
                    " is in another graph; add both nodes to one graph to link them");
    nodeName = other.name_;
  } else if (py::isinstance<py::str>(source) || py::hasattr(source, "__fspath__")) {
    path = py::module_::import("os").attr("fspath")(source).cast<std::string>();
    if (path.empty()) throw py::value_error("the file path for the image input is empty");
  } else if (!source.is_none()) {
    throw py::type_error("an image input takes a numpy array, a file path, another node or None, not a " +
                         py::str(py::type::of(source).attr("__name__")).cast<std::string>());
  }
  GraphLock lock(*state_);
  GraphNode& n = Live();
  Input* in = ImageInput(input);
  graph::Graph& g = state_->graph;
  if (picture) {
    g.Disconnect(n, in);
    host::Connect(in, picture.get(), "");
    state_->pictures[in] = std::move(picture);
  } else if (!nodeName.empty()) {
    g.ConnectNode(n, in, nodeName);
    DropPicture(*state_, in);
  } else if (!path.empty()) {
    g.ConnectFile(n, in, g.CallerPath(path));
    DropPicture(*state_, in);
  } else {
    g.Disconnect(n, in);
    DropPicture(*state_, in);
  }
}

std::vector<std::string> NodeHandle::ImageInputs() const {
  GraphLock lock(*state_);
  std::vector<std::string> out;
  for (Input* in : Live().node->Inputs())
    if (host::Describe(in).IsImage()) out.push_back(host::Describe(in).label);
  return out;
}

py::array NodeHandle::Render(int32_t frame) {
  return RenderTarget(
      *state_, [this]() -> GraphNode& { return Live(); }, frame);
}

std::string NodeHandle::Describe() {
  GraphLock lock(*state_);
  return graph::DescribeNode(*Live().node).dump();
}

}  // namespace orvanta::python
