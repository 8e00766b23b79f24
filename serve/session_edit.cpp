// The browser host's editing beyond values and links: keyframes at a frame, renames, node
// positions, undo and redo, and the pictures kept for the pixel readout.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/sequence.h"
#include "picture.h"
#include "session.h"

namespace orvanta::serve {
using graph::GraphNode;

namespace {

// Pictures kept for the readout: the viewer's A and B and one more.
constexpr size_t kHeldPictures = 3;

std::string TextOf(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_string())
    throw Failure(std::string("the request needs \"") + key + "\" as text");
  return it->get<std::string>();
}

// The frame a request names, else the current one.
int32_t FrameOf(const Json& request, int32_t current) {
  auto it = request.find("frame");
  if (it == request.end()) return current;
  if (!it->is_number_integer() || std::llabs(it->get<int64_t>()) > io::kMaxFrame)
    throw Failure("a frame is a whole number from -9999999 to 9999999");
  return int32_t(it->get<int64_t>());
}

}  // namespace

Session::Recorder::Recorder(Session& session, const Json& request, bool changesPictures)
    : s_(session), before_(session.Snapshot()), pictures_(changesPictures) {
  if (request.is_object())
    if (auto it = request.find("group"); it != request.end() && it->is_string())
      group_ = it->get<std::string>();
}

void Session::Recorder::Record() {
  if (done_) return;
  done_ = true;
  if (s_.Snapshot() == before_) return;
  s_.history_.Changed(std::move(before_), group_);
  if (pictures_) ++s_.revision_;
  s_.UpdateTimeline();
}

Json Session::Recorder::Finish() {
  Record();
  return s_.State();
}

Session::Recorder::~Recorder() {
  try {
    Record();  // a change that failed midway may still have changed something
  } catch (const std::exception&) {
    // Out of memory for the snapshot: the change stands, without an undo step.
  }
}

std::string Session::Snapshot() const { return graph::WriteJsonComposition(graph_); }

void Session::UpdateTimeline() {
  sequences_.Forget();  // frames may have been written since
  if (framesOption_.empty())
    timeline_ = ImpliedTimeline(graph_, files_, sequences_);
  else
    timeline_ = GivenTimeline(framesOption_, graph_, files_, sequences_);
}

void Session::Restore(const std::string& snapshot) {
  graph::Graph g = graph::ReadJsonComposition(snapshot, "the graph as it was");
  g.baseDir = graph_.baseDir;
  graph_ = std::move(g);
  if (!graph_.Find(viewed_)) {
    viewed_.clear();
    if (graph_.Size() > 0) viewed_ = graph_.Find(graph_.output) ? graph_.output : graph_.Nodes().back()->name;
  }
  ++revision_;
  UpdateTimeline();
}

Json Session::Undo(const Json&) {
  std::optional<std::string> back = history_.Undo(Snapshot());
  if (!back) throw Failure("there is nothing to undo");
  Restore(*back);
  return State();
}

Json Session::Redo(const Json&) {
  std::optional<std::string> forward = history_.Redo(Snapshot());
  if (!forward) throw Failure("there is nothing to redo");
  Restore(*forward);
  return State();
}

Json Session::Key(const Json& r) {
  Recorder change(*this, r);
  GraphNode& gn = NodeOf(r);
  Input* in = graph::FindControl(*gn.node, TextOf(r, "control"));
  const std::string label = Quoted(host::Describe(in).label) + " of " + gn.Named();
  const int32_t frame = FrameOf(r, frame_);
  if (gn.expressions.count(in))
    throw Failure(label + " is driven by an expression; clear the expression to key the control");
  auto remove = r.find("remove");
  if (remove != r.end() && !remove->is_boolean()) throw Failure("\"remove\" is true or false");
  const Point at = host::PointAt(in, frame);
  host::Key here{double(frame), host::Describe(in).type == PointDataType ? at.X : host::NumberAt(in, frame),
                 at.Y};
  std::vector<host::Key> keys = host::IsAnimated(in) ? host::Keys(in) : std::vector<host::Key>{};
  auto same = std::find_if(keys.begin(), keys.end(), [&](const host::Key& k) { return k.time == here.time; });
  if (remove != r.end() && remove->get<bool>()) {
    if (same == keys.end()) throw Failure(label + " has no keyframe at frame " + std::to_string(frame));
    keys.erase(same);
    if (keys.empty())
      host::SetKeys(in, {host::Key{0.0, here.x, here.y}}, false);  // the value it had stays
    else
      host::SetKeys(in, std::move(keys), true);
  } else {
    graph::ApplyKeyAt(in, graph::KeyValue{here.time, here.x, here.y}, here.time);
  }
  return change.Finish();
}

Json Session::Rename(const Json& r) {
  Recorder change(*this, r);
  const std::string from = NodeOf(r).name, to = TextOf(r, "name");
  graph_.Rename(from, to);
  if (viewed_ == from) viewed_ = to;
  return change.Finish();
}

Json Session::Move(const Json& r) {
  Recorder change(*this, r, false);
  auto it = r.find("positions");
  if (it == r.end() || !it->is_object())
    throw Failure("the request needs \"positions\": {NODE: [x, y], ...}");
  std::vector<std::pair<GraphNode*, graph::Position>> moves;
  for (auto p = it->begin(); p != it->end(); ++p)
    moves.emplace_back(&graph_.Get(p.key()), PositionFrom(p.value(), p.key()));
  for (auto& [node, at] : moves) node->position = at;  // all checked first: all or none
  return change.Finish();
}

graph::Position Session::PositionFrom(const Json& v, const std::string& node) {
  if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number() ||
      !(std::fabs(v[0].get<double>()) <= graph::kMaxPosition) ||
      !(std::fabs(v[1].get<double>()) <= graph::kMaxPosition))
    throw Failure("the position of node " + Quoted(node) + " must be [x, y], numbers from -1e9 to 1e9");
  return graph::Position{v[0].get<double>(), v[1].get<double>()};
}

const Image& Session::Hold(const std::string& node, int32_t frame, double scale, host::ImagePtr image) {
  Held h{node, frame, scale, revision_, scopeOn_, std::move(image)};
  held_.insert(held_.begin(), std::move(h));
  if (held_.size() > kHeldPictures) held_.pop_back();
  return *held_.front().image;
}

Json Session::Pixel(const std::string& node, int32_t frame, double scale, int32_t x, int32_t y) {
  for (const Held& h : held_)
    if (h.node == node && h.frame == frame && h.scale == scale && h.revision == revision_ &&
        h.scope == scopeOn_)
      return PixelJson(*h.image, x, y);
  double ms = 0.0;
  return PixelJson(Hold(node, frame, scale, RenderPicture(node, frame, scale, ms)), x, y);
}

}  // namespace orvanta::serve
