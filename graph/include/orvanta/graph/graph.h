// A composition as a node graph: named nodes of installed tools, each image input taking its
// picture from a file (or sequence, or movie) or from another node's output, and number controls
// optionally driven by expressions. No files are read here: pictures come from a FileProvider
// when the graph is rendered (evaluate.h).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/graph/expression.h"
#include "orvanta/host/host.h"

namespace orvanta::graph {

// Where a connected image input takes its picture from.
struct Link {
  enum class Kind { File, Node };
  Kind kind = Kind::File;
  std::string target;  // the file path as written (it may hold a frame pattern), or a node's name
};

// Where a node sits in a drawing of the graph (a node editor's units); kept in the composition
// when a front-end placed it, absent otherwise.
struct Position {
  double x = 0.0, y = 0.0;
  bool operator==(const Position&) const = default;
};
// Positions are finite and at most this far from the origin either way.
inline constexpr double kMaxPosition = 1e9;

struct GraphNode {
  std::string name;  // set when added, never changed
  std::unique_ptr<host::Node> node;
  std::map<const Input*, Link> links;              // connected image inputs
  std::map<const Input*, Expression> expressions;  // number controls driven by an expression
  std::optional<Position> position;                // unset: a front-end lays it out itself

  std::string Tool() const;
  // "node "name"" for messages.
  std::string Named() const { return "node \"" + name + "\""; }
};

class Graph {
 public:
  Graph();
  ~Graph();
  Graph(Graph&&) noexcept;
  Graph& operator=(Graph&&) noexcept;

  // Node names: a letter or '_' first, then letters, digits and '_' (so that NODE.CONTROL reads
  // as one name in expressions), at most 64 characters.
  static bool ValidName(std::string_view name);
  // base made a valid name (lower case, other characters dropped), numbered when taken.
  std::string UniqueName(std::string_view base) const;

  // Adds a node; throws Failure when the name is not valid or already taken.
  GraphNode& Add(const std::string& name, const host::ClassInfo& cls);
  GraphNode& Add(const std::string& name, std::unique_ptr<host::Node> node);
  // Removes a node; the inputs that took its picture are disconnected.
  void Remove(std::string_view name);
  // Renames a node, and with it the links that take its picture, the expressions that read its
  // controls (NODE.CONTROL) and the output. Throws Failure when the new name is not valid or is
  // taken; nothing changes then.
  void Rename(std::string_view from, const std::string& to);

  // How messages name a node: its tool's name in a graph of one node, else node "NAME" (TOOL).
  std::string Mention(const GraphNode& node) const;

  GraphNode* Find(std::string_view name) const;
  // Throws Failure when there is no such node.
  GraphNode& Get(std::string_view name) const;
  const std::vector<std::unique_ptr<GraphNode>>& Nodes() const { return nodes_; }
  size_t Size() const { return nodes_.size(); }

  // in must be an image input of node. A node link needs an existing node other than node.
  void ConnectFile(GraphNode& node, const Input* in, std::string path);
  void ConnectNode(GraphNode& node, const Input* in, const std::string& source);
  void Disconnect(GraphNode& node, const Input* in);
  // in must be a number control of node; the expression's NODE.CONTROL names must exist.
  void SetExpression(GraphNode& node, const Input* in, const std::string& text);
  void ClearExpression(GraphNode& node, const Input* in);

  // Nodes whose picture no other node takes, in graph order.
  std::vector<GraphNode*> Ends() const;
  // The node a render writes: the one named, else output, else the only end node.
  GraphNode& Target(std::string_view name = {}) const;
  // The nodes the targets need, each once, every node after the nodes it takes pictures from
  // (targets included). Throws Failure naming the nodes of a cycle.
  std::vector<GraphNode*> Upstream(const std::vector<GraphNode*>& targets) const;
  // Everything a render of these nodes needs: links and expression names that resolve, no cycle
  // of links or of expressions, every required image input connected (by a link, or to a picture
  // the front-end gave the host node itself). Throws Failure.
  void Check(const std::vector<GraphNode*>& nodes) const;

  // The number control named CONTROL (id, label, PAGE/LABEL) of a node, for NODE.CONTROL.
  const Input* ReferencedControl(const Expression::Reference& ref, const GraphNode& from) const;

  std::string output;   // the node rendered when none is named ("" = the only end node)
  std::string baseDir;  // relative file paths are read from here ("" = the working folder)
  // The colour space the tools work in, by its name in the colour configuration ("" = pictures
  // as stored); the front-ends convert the file inputs into it.
  std::string workingSpace;
  // path as read: relative paths under baseDir.
  std::string Resolve(const std::string& path) const;
  // A path a caller gives (on the command line, from Python), which is read from the working
  // folder: made absolute when the graph's own relative paths are read from another folder.
  std::string CallerPath(const std::string& path) const;

 private:
  void CheckNewName(const std::string& name) const;
  // Throws Failure naming a cycle of expressions reading each other.
  void CheckExpressionCycles() const;
  std::vector<std::unique_ptr<GraphNode>> nodes_;
  std::map<std::string, GraphNode*, std::less<>> byName_;  // the nodes by name, for Find
};

}  // namespace orvanta::graph
