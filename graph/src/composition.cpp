#include "orvanta/graph/composition.h"

#include <strings.h>

#include <cmath>
#include <filesystem>
#include <tuple>

#include "orvanta/graph/controls.h"
#include "orvanta/graph/json.h"
#include "orvanta/host/failure.h"

namespace orvanta::graph {
namespace {

// Whole values as JSON integers, so that files read as people write them.
Json NumberJson(double v) {
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 9007199254740992.0) return Json(int64_t(v));
  return Json(v);
}

class Reader {
 public:
  explicit Reader(const std::string& file) : file_(file) {}

  [[noreturn]] void Fail(const std::string& what) const { throw Failure(file_ + ": " + what); }

  // Runs fn, prefixing the failure it throws with the file and where.
  template <class F>
  auto In(const std::string& where, F fn) const {
    try {
      return fn();
    } catch (const Failure& e) {
      throw Failure(file_ + ": " + where + ": " + e.what());
    }
  }

  void OnlyKeys(const Json& obj, std::initializer_list<const char*> allowed, const std::string& where) const {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      bool known = false;
      for (const char* a : allowed) known = known || it.key() == a;
      if (!known) {
        std::string list;
        for (const char* a : allowed) list += (list.empty() ? "" : ", ") + Quoted(a);
        Fail(where + " has the field " + Quoted(it.key()) + ", which is not one of " + list);
      }
    }
  }

  const Json& Need(const Json& obj, const char* key, Json::value_t type, const std::string& where) const {
    auto it = obj.find(key);
    if (it == obj.end()) Fail(where + " has no " + Quoted(key));
    if (!(it->type() == type || (type == Json::value_t::number_float && it->is_number())))
      Fail(Quoted(key) + " of " + where + " must be " + TypeWord(type) + ", not " + TypeWord(it->type()));
    return *it;
  }

  static std::string TypeWord(Json::value_t t) {
    switch (t) {
      case Json::value_t::object:
        return "an object";
      case Json::value_t::array:
        return "a list";
      case Json::value_t::string:
        return "a text";
      case Json::value_t::boolean:
        return "true or false";
      case Json::value_t::null:
        return "null";
      default:
        return "a number";
    }
  }

 private:
  const std::string& file_;
};

// One value (not keyframes) of a control as the file gives it.
KeyValue SingleValue(const host::Node& node, const Input* in, const Json& v) {
  const host::ControlDescription& d = host::Describe(in);
  const bool point = d.type == PointDataType;
  if (point) {
    if (v.is_array() && v.size() == 2 && v[0].is_number() && v[1].is_number()) {
      KeyValue k;
      k.x = v[0].get<double>();
      k.y = v[1].get<double>();
      return k;
    }
    if (!v.is_string()) throw Failure(Quoted(d.label) + " is a point: give it as [X, Y]");
    return ParseSingleValue(node, in, v.get<std::string>());
  }
  if (v.is_number()) return ParseSingleValue(node, in, NumberText(v.get<double>()));
  if (v.is_boolean()) return ParseSingleValue(node, in, v.get<bool>() ? "on" : "off");
  if (v.is_string()) return ParseSingleValue(node, in, v.get<std::string>());
  throw Failure(Quoted(d.label) + " takes a number, a text or {\"keys\": ...} or {\"expr\": ...}, not " +
                Reader::TypeWord(v.type()));
}

ParsedValue ControlValue(const host::Node& node, const Input* in, const Json& v) {
  const host::ControlDescription& d = host::Describe(in);
  if (v.is_string() && d.type != PointDataType) return ParseValue(node, in, v.get<std::string>());
  ParsedValue out;
  if (!v.is_object()) {
    out.keys.push_back(SingleValue(node, in, v));
    return out;
  }
  if (v.size() != 1 || !v.contains("keys"))
    throw Failure(Quoted(d.label) + " takes {\"keys\": [[FRAME, VALUE], ...]} or {\"expr\": \"...\"}");
  const Json& keys = v["keys"];
  if (!keys.is_array() || keys.empty())
    throw Failure("the keys of " + Quoted(d.label) + " must be a list of [FRAME, VALUE]");
  out.animated = true;
  const bool point = d.type == PointDataType;
  for (const Json& k : keys) {
    const size_t n = point ? 3 : 2;
    if (!k.is_array() || k.size() != n || !k[0].is_number())
      throw Failure("each key of " + Quoted(d.label) + " must be " +
                    (point ? "[FRAME, X, Y]" : "[FRAME, VALUE]"));
    KeyValue kv = point ? SingleValue(node, in, Json::array({k[1], k[2]})) : SingleValue(node, in, k[1]);
    kv.frame = k[0].get<double>();
    if (!std::isfinite(kv.frame)) throw Failure("a key of " + Quoted(d.label) + " has no finite frame");
    out.keys.push_back(kv);
  }
  return out;
}

Json ControlJson(const GraphNode& n, const Input* in) {
  auto e = n.expressions.find(in);
  if (e != n.expressions.end()) return Json{{"expr", e->second.Text()}};
  const host::ControlDescription& d = host::Describe(in);
  const std::vector<host::Key> keys = host::Keys(in);
  if (keys.empty()) return Json();
  const bool point = d.type == PointDataType;
  if (host::IsAnimated(in)) {
    Json list = Json::array();
    for (const host::Key& k : keys) {
      if (point)
        list.push_back(Json::array({NumberJson(k.time), NumberJson(k.x), NumberJson(k.y)}));
      else
        list.push_back(Json::array({NumberJson(k.time), NumberJson(k.x)}));
    }
    return Json{{"keys", list}};
  }
  const host::Key& k = keys.front();
  if (point) return Json::array({NumberJson(k.x), NumberJson(k.y)});
  if (d.control == ComboControl && k.x == std::floor(k.x) && k.x >= 0 && k.x < double(d.items.size())) {
    // The item's text, unless another item has the same text ignoring case (then the index).
    const std::string& item = d.items[size_t(k.x)];
    size_t same = 0;
    for (const std::string& other : d.items) same += strcasecmp(other.c_str(), item.c_str()) == 0;
    if (same == 1) return Json(item);
  }
  return NumberJson(k.x);
}

// [X, Y], two finite numbers.
Position PositionOf(const Reader& r, const Json& v, const std::string& where) {
  if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number())
    r.Fail("the position of " + where + " must be [X, Y], two numbers");
  Position p{v[0].get<double>(), v[1].get<double>()};
  if (!(std::fabs(p.x) <= kMaxPosition && std::fabs(p.y) <= kMaxPosition))  // NaN fails too
    r.Fail("the position of " + where + " must be two numbers from -1e9 to 1e9");
  return p;
}

struct PendingControl {
  GraphNode* node;
  Input* in;
  ParsedValue value;
};

using PendingExpression = std::tuple<GraphNode*, Input*, std::string>;

// The composition's version, when it gives one, must be the one this program reads.
void CheckVersion(const Reader& r, const Json& doc) {
  if (!doc.contains("version")) return;
  const Json& v = doc["version"];
  // Only a number is quoted back: a list or a text may be as long as the file.
  if (!v.is_number()) r.Fail("its version must be a number, not " + Reader::TypeWord(v.type()));
  if (!v.is_number_integer() || v.get<int64_t>() != kCompositionVersion)
    r.Fail("its version " + v.dump() + " is not known (this orvanta reads version " +
           std::to_string(kCompositionVersion) + ")");
}

// Every node of the list, with its name, tool and position; nothing connected or set yet.
void AddNodes(const Reader& r, const Json& nodes, Graph& g) {
  for (size_t i = 0; i < nodes.size(); ++i) {
    const Json& n = nodes[i];
    const std::string where = "node " + std::to_string(i + 1);
    if (!n.is_object()) r.Fail(where + " must be an object, not " + Reader::TypeWord(n.type()));
    r.OnlyKeys(n, {"name", "tool", "inputs", "controls", "position"}, where);
    const std::string nodeName = r.Need(n, "name", Json::value_t::string, where).get<std::string>();
    const std::string tool =
        r.Need(n, "tool", Json::value_t::string, "node " + Quoted(nodeName)).get<std::string>();
    const host::ClassInfo* cls = host::FindClass(tool);
    if (!cls)
      r.Fail("node " + Quoted(nodeName) + " is of the tool " + Quoted(tool) + ", which is not installed");
    GraphNode* added = r.In("node " + std::to_string(i + 1), [&] { return &g.Add(nodeName, *cls); });
    if (n.contains("position")) added->position = PositionOf(r, n["position"], "node " + Quoted(nodeName));
  }
}

// The node's "inputs": each image input linked to a file or another node.
void ConnectInputs(const Reader& r, const Json& n, Graph& g, GraphNode& gn) {
  if (!n.contains("inputs")) return;
  const std::string where = gn.Named();
  const Json& inputs = r.Need(n, "inputs", Json::value_t::object, where);
  for (auto it = inputs.begin(); it != inputs.end(); ++it) {
    Input* in = FindImageInput(*gn.node, it.key());
    if (!in) r.Fail(where + " (" + gn.Tool() + ") has no image input " + Quoted(it.key()));
    const std::string inWhere = "the input " + Quoted(it.key()) + " of " + where;
    const Json& v = it.value();
    if (!v.is_object() || v.size() != 1 || !(v.contains("file") || v.contains("node")) ||
        !v.begin().value().is_string())
      r.Fail(inWhere + " must be {\"file\": \"PATH\"} or {\"node\": \"NAME\"}");
    const std::string target = v.begin().value().get<std::string>();
    r.In(where, [&] {
      if (v.contains("file"))
        g.ConnectFile(gn, in, target);
      else
        g.ConnectNode(gn, in, target);
      return 0;
    });
  }
}

// The node's "controls", parsed but not yet set: values into controls, expressions into
// expressions.
void ReadControls(const Reader& r, const Json& n, GraphNode& gn, std::vector<PendingControl>& controls,
                  std::vector<PendingExpression>& expressions) {
  if (!n.contains("controls")) return;
  const std::string where = gn.Named();
  const Json& cs = r.Need(n, "controls", Json::value_t::object, where);
  for (auto it = cs.begin(); it != cs.end(); ++it) {
    Input* in = r.In(where, [&] { return FindControl(*gn.node, it.key()); });
    const Json& v = it.value();
    if (v.is_object() && v.contains("expr")) {
      if (v.size() != 1 || !v["expr"].is_string())
        r.Fail("the control " + Quoted(it.key()) + " of " + where + " must be {\"expr\": \"TEXT\"}");
      expressions.emplace_back(&gn, in, v["expr"].get<std::string>());
      continue;
    }
    controls.push_back({&gn, in, r.In(where, [&] { return ControlValue(*gn.node, in, v); })});
  }
}

// Sets what ReadControls gathered: as a user would set the values (presets run), then each written
// value exactly, then the expressions.
void SetControls(const Reader& r, Graph& g, const std::vector<PendingControl>& controls,
                 const std::vector<PendingExpression>& expressions) {
  for (const PendingControl& c : controls) ApplyValue(c.in, c.value);
  for (const PendingControl& c : controls) {
    std::vector<host::Key> keys;
    for (const KeyValue& k : c.value.keys)
      keys.push_back(host::Key{c.value.animated ? k.frame : 0.0, k.x, k.y});
    host::SetKeys(c.in, std::move(keys), c.value.animated);
  }
  for (const auto& e : expressions)
    r.In(std::get<0>(e)->Named(), [&] {
      g.SetExpression(*std::get<0>(e), std::get<1>(e), std::get<2>(e));
      return 0;
    });
}

}  // namespace

bool LooksLikeJson(std::string_view bytes) {
  size_t i = bytes.find_first_not_of(" \t\r\n");
  if (i != std::string_view::npos && bytes.substr(i, 3) == "\xEF\xBB\xBF")
    i = bytes.find_first_not_of(" \t\r\n", i + 3);
  return i != std::string_view::npos && (bytes[i] == '{' || bytes[i] == '[');
}

Graph ReadJsonComposition(std::string_view text, const std::string& name) {
  const Reader r(name);
  const Json doc = ParseJson(text, name);
  if (!doc.is_object()) r.Fail("a composition is a JSON object, not " + Reader::TypeWord(doc.type()));
  r.OnlyKeys(doc, {"version", "output", "working_space", "nodes"}, "the composition");
  CheckVersion(r, doc);
  const Json& nodes = r.Need(doc, "nodes", Json::value_t::array, "the composition");

  Graph g;
  // First every node, so that links and expressions may name nodes written later.
  AddNodes(r, nodes, g);
  std::vector<PendingControl> controls;
  std::vector<PendingExpression> expressions;
  for (size_t i = 0; i < nodes.size(); ++i) {
    GraphNode& gn = *g.Nodes()[i];
    ConnectInputs(r, nodes[i], g, gn);
    ReadControls(r, nodes[i], gn, controls, expressions);
  }
  SetControls(r, g, controls, expressions);

  if (doc.contains("output")) {
    g.output = r.Need(doc, "output", Json::value_t::string, "the composition").get<std::string>();
    if (!g.Find(g.output))
      r.Fail("its output names the node " + Quoted(g.output) + ", which it does not have");
  }
  if (doc.contains("working_space"))
    g.workingSpace =
        r.Need(doc, "working_space", Json::value_t::string, "the composition").get<std::string>();
  return g;
}

std::string WriteJsonComposition(const Graph& g,
                                 const std::function<std::string(const std::string&)>& pathText) {
  Json doc;
  doc["version"] = kCompositionVersion;
  if (!g.output.empty()) doc["output"] = g.output;
  if (!g.workingSpace.empty()) doc["working_space"] = g.workingSpace;
  Json nodes = Json::array();
  for (const auto& n : g.Nodes()) {
    Json j;
    j["name"] = n->name;
    j["tool"] = n->Tool();
    Json inputs = Json::object(), controls = Json::object();
    for (const Input* in : n->node->Inputs()) {
      const host::ControlDescription& d = host::Describe(in);
      if (d.IsImage()) {
        auto it = n->links.find(in);
        if (it == n->links.end()) continue;
        if (it->second.kind == Link::Kind::Node)
          inputs[d.label] = Json{{"node", it->second.target}};
        else
          inputs[d.label] = Json{{"file", pathText ? pathText(it->second.target) : it->second.target}};
        continue;
      }
      Json v = ControlJson(*n, in);
      if (!v.is_null()) controls[IdText(d.id)] = std::move(v);
    }
    if (!inputs.empty()) j["inputs"] = std::move(inputs);
    if (!controls.empty()) j["controls"] = std::move(controls);
    if (n->position) j["position"] = Json::array({NumberJson(n->position->x), NumberJson(n->position->y)});
    nodes.push_back(std::move(j));
  }
  doc["nodes"] = std::move(nodes);
  return doc.dump(2) + "\n";
}

std::string NodeNameFor(const host::ClassInfo& cls) {
  std::string name = ToolName(cls);
  if (name.size() > 7 && strncasecmp(name.c_str(), "Orvanta", 7) == 0) name = name.substr(7);
  return name;
}

Graph GraphOfNodes(std::vector<std::unique_ptr<host::Node>> nodes) {
  Graph g;
  for (auto& node : nodes) {
    const std::string name = g.UniqueName(NodeNameFor(node->Class()));
    std::vector<std::pair<Input*, std::string>> files;
    for (Input* in : node->Inputs())
      if (host::Describe(in).IsImage() && !host::SourceName(in).empty())
        files.emplace_back(in, host::SourceName(in));
    GraphNode& gn = g.Add(name, std::move(node));
    for (auto& [in, path] : files) g.ConnectFile(gn, in, path);
  }
  return g;
}

std::vector<host::Node*> NodesForBinary(Graph& g, const std::string& path) {
  std::vector<host::Node*> nodes;
  for (const auto& n : g.Nodes()) {
    for (auto& [in, link] : n->links)
      if (link.kind == Link::Kind::Node)
        throw Failure("cannot save " + path +
                      ": the binary format cannot hold links between nodes; save as .json");
    if (!n->expressions.empty())
      throw Failure("cannot save " + path + ": the binary format cannot hold expressions; save as .json");
  }
  for (const auto& n : g.Nodes()) {
    // The binary format keeps absolute paths, so that it renders from any folder.
    std::vector<std::pair<const Input*, std::string>> files;
    for (auto& [in, link] : n->links) {
      std::error_code ec;
      std::filesystem::path abs = std::filesystem::absolute(g.Resolve(link.target), ec);
      files.emplace_back(in, ec ? g.Resolve(link.target) : abs.lexically_normal().string());
    }
    for (auto& [in, file] : files) g.ConnectFile(*n, in, file);
    nodes.push_back(n->node.get());
  }
  return nodes;
}

}  // namespace orvanta::graph
