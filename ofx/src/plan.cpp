#include "plan.h"

#include <cctype>
#include <map>
#include <stdexcept>

#include "orvanta/graph/controls.h"

namespace orvanta::ofx {
namespace {

// "page_" and the label's letters and digits, other characters as '_': a name hosts can script.
std::string PageName(const std::string& label) {
  if (label.empty()) return "page_main";
  std::string name = "page_";
  for (char c : label) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

ParamKind KindOf(const host::ControlDescription& d) {
  if (d.type == PointDataType) return ParamKind::Point;
  if (d.control == ComboControl && !d.items.empty()) return ParamKind::Choice;
  if (d.control == CheckboxControl) return ParamKind::Boolean;
  if (d.wholeNumbers) return ParamKind::Integer;
  return ParamKind::Double;
}

using GroupKey = std::pair<std::string, int32_t>;  // page and group number

// The colour groups that become one colour parameter: three or four colour controls of one
// group on one page whose group indices are 0, 1, 2 (and 3). Members by input index, in order.
std::map<GroupKey, std::vector<size_t>> ColourGroups(const std::vector<Input*>& inputs) {
  std::map<GroupKey, std::map<int32_t, size_t>> byIndex;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const host::ControlDescription& d = host::Describe(inputs[i]);
    if (d.type == NumberDataType && d.control == ColorControl && d.group >= 0)
      byIndex[{d.page, d.group}][d.groupIndex] = i;
  }
  std::map<GroupKey, std::vector<size_t>> groups;
  for (auto& [key, members] : byIndex) {
    const size_t n = members.size();
    bool complete = n == 3 || n == 4;
    for (size_t k = 0; complete && k < n; ++k) complete = members.count(int32_t(k)) == 1;
    if (!complete) continue;
    for (auto& [index, input] : members) groups[key].push_back(input);
  }
  return groups;
}

}  // namespace

ToolPlan MakePlan(const host::Node& node) {
  ToolPlan plan;
  const std::vector<Input*>& inputs = node.Inputs();
  const Input* main = graph::MainImageInput(node);
  if (!main) throw std::runtime_error(graph::ToolName(node) + " has no image input");

  // Clips: the main image input as "Source", then the others by id.
  bool othersOptional = true;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const host::ControlDescription& d = host::Describe(inputs[i]);
    if (!d.IsImage()) continue;
    ClipPlan clip{inputs[i] == main ? "Source" : graph::IdText(d.id), d.label, i, !d.IsRequired()};
    if (inputs[i] == main) {
      clip.optional = false;
      plan.clips.insert(plan.clips.begin(), clip);
    } else {
      othersOptional = othersOptional && clip.optional;
      plan.clips.push_back(clip);
    }
  }
  plan.generalContext = plan.clips.size() > 1;
  plan.filterContext = othersOptional;

  // Parameters in declaration order, a colour group at its first member's place.
  const auto colours = ColourGroups(inputs);
  std::map<GroupKey, std::string> groupNames;
  std::map<std::string, size_t> pageOf;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const host::ControlDescription& d = host::Describe(inputs[i]);
    if (d.IsImage()) continue;
    ParamPlan p;
    p.kind = KindOf(d);
    p.name = graph::IdText(d.id);
    p.label = d.label;
    p.members = {i};
    p.hint = d.label + " (" + p.name + ")";
    const GroupKey key{d.page, d.group};
    if (auto c = colours.find(key); d.group >= 0 && c != colours.end()) {
      if (c->second.front() != i) continue;  // a later member of a colour already planned
      p.kind = c->second.size() == 4 ? ParamKind::Rgba : ParamKind::Rgb;
      p.members = c->second;
      p.label = graph::GroupLabelOf(node, inputs[i]);
      if (p.label.empty()) p.label = d.label;
      p.hint = p.label + " (" + p.name;
      for (size_t k = 1; k < p.members.size(); ++k)
        p.hint += ", " + graph::IdText(host::Describe(inputs[p.members[k]]).id);
      p.hint += ")";
    } else if (const std::string group = graph::GroupLabelOf(node, inputs[i]);
               d.group >= 0 && !group.empty()) {
      auto [it, added] = groupNames.try_emplace(key, "group_" + p.name);
      if (added) plan.groups.push_back(GroupPlan{it->second, group});
      p.parent = it->second;
    }
    auto [page, added] = pageOf.try_emplace(d.page, plan.pages.size());
    if (added)
      plan.pages.push_back(PagePlan{PageName(d.page), d.page.empty() ? graph::ToolName(node) : d.page, {}});
    plan.pages[page->second].children.push_back(p.name);
    plan.params.push_back(std::move(p));
  }
  return plan;
}

Bounds BoundsOf(const host::ControlDescription& d) {
  Bounds b{d.limitLow, d.limitHigh, d.rangeLow, d.rangeHigh};
  auto keep = [&](std::optional<double>& v, const std::optional<double>& fallback) {
    if (!v) v = fallback;
    if (v && b.min && *v < *b.min) v = b.min;
    if (v && b.max && *v > *b.max) v = b.max;
  };
  keep(b.displayMin, b.min);
  keep(b.displayMax, b.max);
  return b;
}

ParamValue NodeValue(const ParamPlan& p, const host::Node& node, double time) {
  ParamValue value;
  const std::vector<Input*>& inputs = node.Inputs();
  if (p.kind == ParamKind::Point) {
    const Point pt = host::PointAt(inputs[p.members[0]], time);
    value.v[0] = pt.X;
    value.v[1] = pt.Y;
    return value;
  }
  for (size_t k = 0; k < p.members.size() && k < 4; ++k)
    value.v[k] = host::NumberAt(inputs[p.members[k]], time);
  return value;
}

}  // namespace orvanta::ofx
