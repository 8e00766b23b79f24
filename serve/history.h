// The undo history of the browser host: the graph before each change, as composition text.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace orvanta::serve {

class History {
 public:
  // Keeps at most `depth` steps; the oldest are forgotten.
  explicit History(size_t depth = 200) : depth_(depth) {}

  // A change was made: before is the graph as it was. A change of the same non-empty group as
  // the last one kept (a slider being dragged) joins that step. Drops what was undone.
  void Changed(std::string before, const std::string& group);
  // The graph to go back to, given the graph as it is now (kept for Redo); nullopt when there is
  // nothing to undo.
  std::optional<std::string> Undo(std::string now);
  // The graph to go forward to again, given the graph as it is now; nullopt when nothing was
  // undone since the last change.
  std::optional<std::string> Redo(std::string now);

  bool CanUndo() const { return !undo_.empty(); }
  bool CanRedo() const { return !redo_.empty(); }

 private:
  size_t depth_;
  std::deque<std::string> undo_, redo_;
  std::string lastGroup_;  // the group of the newest undo step, "" when it ends no gesture
};

}  // namespace orvanta::serve
