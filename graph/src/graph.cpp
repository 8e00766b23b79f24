#include "orvanta/graph/graph.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "orvanta/graph/controls.h"
#include "orvanta/host/failure.h"

namespace orvanta::graph {
namespace {

// The node's own handle of in; throws when in is not one of its inputs.
Input* Own(const GraphNode& n, const Input* in) {
  for (Input* i : n.node->Inputs())
    if (i == in) return i;
  throw Failure("the input does not belong to " + n.Named());
}

// Between renders an image input is marked connected with a source that gives nothing, so the
// host's own checks (required inputs, saving the file name) see the link; the evaluator puts the
// real picture in for each render.
void MarkConnected(Input* in, const std::string& name) {
  host::Connect(in, host::ImageSource([](double) -> Image* { return nullptr; }), name);
}

std::string Label(const Input* in) { return Quoted(host::Describe(in).label); }

}  // namespace

std::string GraphNode::Tool() const { return ToolName(*node); }

Graph::Graph() = default;
Graph::~Graph() = default;
Graph::Graph(Graph&&) noexcept = default;
Graph& Graph::operator=(Graph&&) noexcept = default;

bool Graph::ValidName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0])) && name[0] != '_') return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return name != "frame";
}

std::string Graph::UniqueName(std::string_view base) const {
  std::string name;
  for (char c : base) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_')
      name += char(std::tolower(static_cast<unsigned char>(c)));
    else if (!name.empty() && name.back() != '_')
      name += '_';  // "Multitude Generator" -> multitude_generator
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) name = "node" + name;
  if (name.size() > 56) name.resize(56);
  if (name == "frame") name = "frame_node";
  if (!Find(name)) return name;
  for (int i = 2;; ++i)
    if (!Find(name + std::to_string(i))) return name + std::to_string(i);
}

void Graph::CheckNewName(const std::string& name) const {
  if (!ValidName(name))
    throw Failure(Quoted(name) +
                  " is not a valid node name: use letters, digits and '_', starting with a letter");
  if (Find(name)) throw Failure("the composition already has a node named " + Quoted(name));
}

GraphNode& Graph::Add(const std::string& name, const host::ClassInfo& cls) {
  CheckNewName(name);
  return Add(name, std::make_unique<host::Node>(cls));
}

GraphNode& Graph::Add(const std::string& name, std::unique_ptr<host::Node> node) {
  CheckNewName(name);
  if (!node) throw Failure("no node was given for " + Quoted(name));
  auto n = std::make_unique<GraphNode>();
  n->name = name;
  n->node = std::move(node);
  byName_.emplace(name, n.get());
  nodes_.push_back(std::move(n));
  return *nodes_.back();
}

void Graph::Remove(std::string_view name) {
  GraphNode& gone = Get(name);
  for (auto& n : nodes_) {
    if (n.get() == &gone) continue;
    for (auto it = n->links.begin(); it != n->links.end();) {
      if (it->second.kind == Link::Kind::Node && it->second.target == gone.name) {
        host::Disconnect(Own(*n, it->first));
        it = n->links.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (output == gone.name) output.clear();
  byName_.erase(gone.name);
  nodes_.erase(std::find_if(nodes_.begin(), nodes_.end(), [&](auto& n) { return n.get() == &gone; }));
}

void Graph::Rename(std::string_view from, const std::string& to) {
  GraphNode& renamed = Get(from);
  if (renamed.name == to) return;
  CheckNewName(to);
  const std::string old = renamed.name;
  // The expressions that read the node, rewritten and parsed before anything changes.
  std::vector<std::pair<Expression*, Expression>> rewritten;
  for (auto& n : nodes_)
    for (auto& [in, e] : n->expressions) {
      std::string text = e.WithNodeRenamed(old, to);
      if (text != e.Text()) rewritten.emplace_back(&e, Expression(std::move(text)));
    }
  for (auto& [e, with] : rewritten) *e = std::move(with);
  for (auto& n : nodes_)
    for (auto& [in, link] : n->links)
      if (link.kind == Link::Kind::Node && link.target == old) link.target = to;
  if (output == old) output = to;
  renamed.name = to;
  byName_.erase(old);
  byName_.emplace(to, &renamed);
}

GraphNode* Graph::Find(std::string_view name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
}

GraphNode& Graph::Get(std::string_view name) const {
  if (GraphNode* n = Find(name)) return *n;
  throw Failure("the composition has no node named " + Quoted(std::string(name)));
}

void Graph::ConnectFile(GraphNode& node, const Input* in, std::string path) {
  Input* own = Own(node, in);
  if (!host::Describe(in).IsImage())
    throw Failure(Label(in) + " of " + node.Named() +
                  " is a control, not an image input; it cannot take a file");
  if (path.empty()) throw Failure("the file for " + Label(in) + " of " + node.Named() + " is empty");
  MarkConnected(own, Resolve(path));
  node.links[in] = Link{Link::Kind::File, std::move(path)};
}

void Graph::ConnectNode(GraphNode& node, const Input* in, const std::string& source) {
  Input* own = Own(node, in);
  if (!host::Describe(in).IsImage())
    throw Failure(Label(in) + " of " + node.Named() +
                  " is a control, not an image input; it cannot take the picture of node " + Quoted(source));
  if (!Find(source))
    throw Failure(Label(in) + " of " + node.Named() + " takes the picture of node " + Quoted(source) +
                  ", which the composition does not have");
  if (source == node.name) throw Failure(node.Named() + " takes its own picture into " + Label(in));
  MarkConnected(own, "");
  node.links[in] = Link{Link::Kind::Node, source};
}

void Graph::Disconnect(GraphNode& node, const Input* in) {
  host::Disconnect(Own(node, in));
  node.links.erase(in);
}

void Graph::SetExpression(GraphNode& node, const Input* in, const std::string& text) {
  Own(node, in);
  const host::ControlDescription& d = host::Describe(in);
  if (d.type != NumberDataType)
    throw Failure(Quoted(d.label) + " of " + node.Named() + " is " +
                  (d.IsImage() ? "an image input" : "a point") + "; only number controls take expressions");
  Expression e(text);
  for (const Expression::Reference& r : e.References()) ReferencedControl(r, node);
  node.expressions.insert_or_assign(in, std::move(e));
}

void Graph::ClearExpression(GraphNode& node, const Input* in) { node.expressions.erase(in); }

const Input* Graph::ReferencedControl(const Expression::Reference& r, const GraphNode& from) const {
  const std::string where = "the expression of " + from.Named();
  const GraphNode* n = Find(r.node);
  if (!n)
    throw Failure(where + " reads " + Quoted(r.Name()) + ", but the composition has no node " +
                  Quoted(r.node));
  const Input* in = nullptr;
  try {
    in = FindControl(*n->node, r.control);
  } catch (const Failure&) {
    throw Failure(where + " reads " + Quoted(r.Name()) + ", but " + n->Named() + " (" + n->Tool() +
                  ") has no control " + Quoted(r.control));
  }
  if (host::Describe(in).type != NumberDataType)
    throw Failure(where + " reads " + Quoted(r.Name()) + ", which is a point, not a number");
  return in;
}

std::vector<GraphNode*> Graph::Ends() const {
  std::set<std::string> used;
  for (auto& n : nodes_)
    for (auto& [in, link] : n->links)
      if (link.kind == Link::Kind::Node) used.insert(link.target);
  std::vector<GraphNode*> ends;
  for (auto& n : nodes_)
    if (!used.count(n->name)) ends.push_back(n.get());
  return ends;
}

GraphNode& Graph::Target(std::string_view name) const {
  if (!name.empty()) return Get(name);
  if (!output.empty()) {
    if (GraphNode* n = Find(output)) return *n;
    throw Failure("the composition's output names the node " + Quoted(output) + ", which it does not have");
  }
  if (nodes_.empty()) throw Failure("the composition has no nodes");
  std::vector<GraphNode*> ends = Ends();
  if (ends.size() == 1) return *ends.front();
  std::string list;
  for (GraphNode* n : ends) list += (list.empty() ? "" : ", ") + Quoted(n->name);
  if (ends.empty()) Upstream({nodes_.front().get()});  // every node is in a cycle: name it
  throw Failure("the composition ends in several nodes (" + list + "); choose one with --node");
}

// Both walks below go depth first on a path of their own rather than the thread's stack: a chain
// may be as long as the graph.

std::vector<GraphNode*> Graph::Upstream(const std::vector<GraphNode*>& targets) const {
  std::vector<GraphNode*> order;
  std::map<const GraphNode*, int> state;  // 1 on the path, 2 done
  struct Step {
    GraphNode* node;
    size_t input;  // the next of its inputs to follow
  };
  std::vector<Step> path;
  for (GraphNode* t : targets) {
    if (state[t] == 2) continue;
    state[t] = 1;
    path.push_back({t, 0});
    while (!path.empty()) {
      GraphNode* n = path.back().node;
      const std::vector<Input*>& inputs = n->node->Inputs();
      if (path.back().input == inputs.size()) {
        state[n] = 2;
        order.push_back(n);
        path.pop_back();
        continue;
      }
      Input* in = inputs[path.back().input++];
      auto it = n->links.find(in);
      if (it == n->links.end() || it->second.kind != Link::Kind::Node) continue;
      GraphNode* src = Find(it->second.target);
      if (!src)
        throw Failure(Label(in) + " of " + n->Named() + " takes the picture of node " +
                      Quoted(it->second.target) + ", which the composition does not have");
      int& s = state[src];
      if (s == 2) continue;
      if (s == 1) {
        // Said in the direction the pictures flow: each node's picture goes into the next.
        std::string cycle = Quoted(src->name);
        auto from = std::find_if(path.begin(), path.end(), [&](const Step& p) { return p.node == src; });
        for (auto p = path.end(); p != from;) cycle += " -> " + Quoted((--p)->node->name);
        throw Failure("the composition has a cycle: " + cycle);
      }
      s = 1;
      path.push_back({src, 0});
    }
  }
  return order;
}

void Graph::Check(const std::vector<GraphNode*>& nodes) const {
  const std::vector<GraphNode*> order = Upstream(nodes);
  for (GraphNode* n : order) {
    for (Input* in : n->node->Inputs()) {
      const host::ControlDescription& d = host::Describe(in);
      // A picture a front-end connected itself (an array in memory) counts as connected.
      if (d.IsRequired() && !n->links.count(in) && !host::IsConnected(in))
        throw Failure(n->Named() + " (" + n->Tool() + ") needs its image input " + Quoted(d.label));
    }
  }
  CheckExpressionCycles();
}

void Graph::CheckExpressionCycles() const {
  // Expressions may read controls of any node, so a cycle among them is looked for over all.
  using Key = std::pair<const GraphNode*, const Input*>;
  std::map<Key, int> state;  // 1 on the path, 2 done
  struct Step {
    Key control;
    const Expression* expression;
    size_t ref;  // the next of its references to follow
  };
  std::vector<Step> path;
  auto name = [](const Key& k) { return k.first->name + "." + IdText(host::Describe(k.second).id); };
  // Puts the control on the path when it holds an expression not yet walked; throws on a cycle.
  auto enter = [&](const GraphNode* n, const Input* in) {
    auto e = n->expressions.find(in);
    if (e == n->expressions.end()) return;
    int& s = state[{n, in}];
    if (s == 2) return;
    if (s == 1) {
      std::string cycle;
      auto from = std::find_if(path.begin(), path.end(), [&](const Step& p) {
        return p.control == Key{n, in};
      });
      for (auto p = from; p != path.end(); ++p) cycle += name(p->control) + " -> ";
      throw Failure("the expressions read each other in a cycle: " + cycle + name({n, in}));
    }
    s = 1;
    path.push_back({{n, in}, &e->second, 0});
  };
  for (auto& n : nodes_)
    for (auto& [in, e] : n->expressions) {
      enter(n.get(), in);
      while (!path.empty()) {
        Step& top = path.back();
        const std::vector<Expression::Reference>& refs = top.expression->References();
        if (top.ref == refs.size()) {
          state[top.control] = 2;
          path.pop_back();
          continue;
        }
        const Expression::Reference& r = refs[top.ref++];
        const GraphNode* from = top.control.first;
        enter(&Get(r.node), ReferencedControl(r, *from));
      }
    }
}

std::string Graph::Mention(const GraphNode& node) const {
  return Size() == 1 ? node.Tool() : node.Named() + " (" + node.Tool() + ")";
}

std::string Graph::Resolve(const std::string& path) const {
  if (baseDir.empty() || path.empty() || path[0] == '/') return path;
  return (std::filesystem::path(baseDir) / path).lexically_normal().string();
}

std::string Graph::CallerPath(const std::string& path) const {
  if (baseDir.empty() || std::filesystem::path(path).is_absolute()) return path;
  std::error_code ec;
  const std::filesystem::path abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

}  // namespace orvanta::graph
