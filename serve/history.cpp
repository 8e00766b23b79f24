#include "history.h"

namespace orvanta::serve {

void History::Changed(std::string before, const std::string& group) {
  redo_.clear();
  if (!group.empty() && group == lastGroup_ && !undo_.empty()) return;  // the step holds the start
  undo_.push_back(std::move(before));
  if (undo_.size() > depth_) undo_.pop_front();
  lastGroup_ = group;
}

std::optional<std::string> History::Undo(std::string now) {
  if (undo_.empty()) return std::nullopt;
  std::string back = std::move(undo_.back());
  undo_.pop_back();
  redo_.push_back(std::move(now));
  lastGroup_.clear();  // a gesture after an undo starts a step of its own
  return back;
}

std::optional<std::string> History::Redo(std::string now) {
  if (redo_.empty()) return std::nullopt;
  std::string forward = std::move(redo_.back());
  redo_.pop_back();
  undo_.push_back(std::move(now));
  if (undo_.size() > depth_) undo_.pop_front();
  lastGroup_.clear();
  return forward;
}

}  // namespace orvanta::serve
