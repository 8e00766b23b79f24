// A graph as Python holds it: the node graph, the pictures its file inputs read, the arrays given
// to its image inputs, and one mutex, so that a graph is used by one thread at a time while other
// graphs render at once. Every Python Graph and Node shares its graph's state.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/graph/graph.h"
#include "orvanta/io/files.h"

namespace orvanta::python {

namespace py = pybind11;

struct GraphState {
  // Declared before the graph, so the nodes go first and never point at a freed picture.
  std::map<const Input*, host::ImagePtr> pictures;  // image inputs given an array
  io::FileCache files;
  graph::Graph graph;
  std::mutex mutex;
};

// Takes the graph's mutex; while another thread holds it, waits without the GIL, so that a
// render elsewhere never waits for this thread's GIL.
class GraphLock {
 public:
  explicit GraphLock(GraphState& s);

 private:
  std::unique_lock<std::mutex> lock_;
};

class NodeHandle;

class GraphHandle {
 public:
  GraphHandle();
  explicit GraphHandle(std::shared_ptr<GraphState> state) : state_(std::move(state)) {}
  static GraphHandle Load(const std::string& path);
  static GraphHandle FromJson(const std::string& text, const std::string& name);

  NodeHandle Add(const std::string& tool, const std::optional<std::string>& name);
  void Remove(const std::string& name);
  NodeHandle Get(const std::string& name) const;
  std::vector<NodeHandle> Nodes() const;
  size_t Size() const;
  std::string Output() const;
  void SetOutput(const std::string& name);

  // The node named, else the graph's output or its one end node, at frame.
  py::array Render(const std::optional<std::string>& node, int32_t frame);
  void Save(const std::string& path);
  std::string Json();

  const std::shared_ptr<GraphState>& State() const { return state_; }

 private:
  void RefuseArrays(const std::string& what) const;
  std::shared_ptr<GraphState> state_;
};

class NodeHandle {
 public:
  // A node of the tool in a graph of its own.
  explicit NodeHandle(const std::string& tool);
  NodeHandle(std::shared_ptr<GraphState> state, graph::GraphNode& node)
      : state_(std::move(state)), node_(&node), name_(node.name) {}

  const std::string& Name() const { return name_; }
  std::string Tool() const;
  GraphHandle Graph() const { return GraphHandle(state_); }

  // Controls by id, label, PAGE/LABEL or GROUP LABEL/LABEL.
  void Set(const std::string& control, const py::handle& value);
  py::object Get(const std::string& control, double frame);
  void SetExpression(const std::string& control, const std::string& text);
  std::optional<std::string> Expression(const std::string& control);
  void ClearExpression(const std::string& control);

  // An image input by label or id (none: the main input) takes an array, a file path or another
  // node's picture; None disconnects it.
  void Connect(const std::optional<std::string>& input, const py::handle& source);
  std::vector<std::string> ImageInputs() const;

  py::array Render(int32_t frame);
  std::string Describe();

 private:
  graph::GraphNode& Live() const;  // the node, if still in its graph; the caller holds the lock
  Input* Control(const std::string& name) const;
  Input* ImageInput(const std::optional<std::string>& name) const;
  std::shared_ptr<GraphState> state_;
  graph::GraphNode* node_;
  std::string name_;
};

// Renders the node find gives (called under the graph's lock) at frame, as the command does: the
// graph checked, every file and expression checked at the frame, then rendered. Runs without the
// GIL.
py::array RenderTarget(GraphState& s, const std::function<graph::GraphNode&()>& find, int32_t frame);

}  // namespace orvanta::python
