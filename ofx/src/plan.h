// How a tool's declarations become OpenFX clips and parameters, worked out once per tool from a
// node of it (the declarations are what `orvanta info --json` prints): image inputs become clips,
// number and point controls parameters named by their ids, colour groups one colour parameter,
// pages page parameters and labelled groups group parameters.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/host/host.h"

namespace orvanta::ofx {

enum class ParamKind {
  Double,   // a number control
  Integer,  // a number control of whole numbers
  Boolean,  // a checkbox
  Choice,   // a combo: the item index
  Rgb,      // a colour group of three number controls (red, green, blue)
  Rgba,     // a colour group of four (red, green, blue, alpha)
  Point     // a point control: x and y
};

struct ParamPlan {
  ParamKind kind = ParamKind::Double;
  std::string name;   // the id of its (first) control, as `orvanta info` prints it
  std::string label;  // the control's label, or the colour group's
  std::string hint;
  std::vector<size_t> members;  // the node inputs it stands for, by index; colours in R, G, B, A order
  std::string parent;           // the group parameter it sits in ("" for none)
};

struct ClipPlan {
  std::string name;  // "Source" for the main image input, else its id
  std::string label;
  size_t input = 0;
  bool optional = false;
};

struct PagePlan {
  std::string name, label;
  std::vector<std::string> children;  // parameter names, in order
};

struct GroupPlan {
  std::string name, label;
};

struct ToolPlan {
  std::vector<ClipPlan> clips;  // the main image input first
  std::vector<ParamPlan> params;
  std::vector<PagePlan> pages;
  std::vector<GroupPlan> groups;
  bool filterContext = false;   // the main input and only optional others
  bool generalContext = false;  // more than one image input
};

// Throws std::runtime_error when the tool has no image input to filter.
ToolPlan MakePlan(const host::Node& node);

// A number control's hard limits (its declared limits) and display range (its declared range,
// kept within the limits).
struct Bounds {
  std::optional<double> min, max, displayMin, displayMax;
};
Bounds BoundsOf(const host::ControlDescription& d);

// Values of a parameter's controls at a time: one number, x and y, or three or four colour
// components; value[i] belongs to members[i] (for a point, both to members[0]).
struct ParamValue {
  double v[4] = {0, 0, 0, 0};
  bool operator==(const ParamValue&) const = default;
};
ParamValue NodeValue(const ParamPlan& p, const host::Node& node, double time);

}  // namespace orvanta::ofx
