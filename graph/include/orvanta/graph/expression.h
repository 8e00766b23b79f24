// Expressions that drive number controls: arithmetic of `frame` and of other nodes' number
// controls, named NODE.CONTROL (CONTROL as its id, e.g. remap.SORL or raster.0x48536100).
// Parsed and evaluated by muparser.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::graph {

class Expression {
 public:
  struct Reference {
    std::string node, control;
    std::string Name() const { return node + "." + control; }
  };

  // Parses text; throws Failure naming the expression when it does not parse or names a
  // variable that is neither frame nor NODE.CONTROL.
  explicit Expression(std::string text);
  ~Expression();
  Expression(Expression&&) noexcept;
  Expression& operator=(Expression&&) noexcept;

  const std::string& Text() const { return text_; }
  // The other nodes' controls it reads, in order of first use.
  const std::vector<Reference>& References() const;
  // Whether it reads the frame number (so its value changes along the timeline by itself).
  bool UsesFrame() const;
  // The text with every NODE.CONTROL of the node from read as of the node to instead.
  std::string WithNodeRenamed(std::string_view from, std::string_view to) const;
  // The value at frame, with refs[i] the value of References()[i]; may be NaN or infinite (the
  // caller decides what that means). Not for use by two threads at once.
  double Evaluate(double frame, const std::vector<double>& refs);

 private:
  struct State;  // the parser and the variables it points to, kept at one address
  std::string text_;
  std::unique_ptr<State> state_;
};

}  // namespace orvanta::graph
