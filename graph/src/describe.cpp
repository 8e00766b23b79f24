#include "orvanta/graph/describe.h"

#include <cstdio>

#include "orvanta/graph/controls.h"

namespace orvanta::graph {

std::string HexWord(uint32_t w) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", w);
  return buf;
}

Json DescribeClass(const host::ClassInfo& c) {
  return Json{{"name", ToolName(c)},
              {"registryName", c.name},
              {"identifier", c.identifier},
              {"caption", c.caption},
              {"classWord", HexWord(c.classWord)},
              {"versions", c.versionTexts},
              {"library", c.library}};
}

Json DescribeClasses(const std::vector<const host::ClassInfo*>& classes) {
  Json list = Json::array();
  for (const host::ClassInfo* c : classes) list.push_back(DescribeClass(*c));
  return list;
}

Json DescribeInput(const host::Node& node, const Input* in) {
  const host::ControlDescription& d = host::Describe(in);
  Json j{{"label", d.label}, {"id", IdText(d.id)}, {"idWord", d.id}, {"kind", KindText(d)}};
  if (d.IsImage()) j["required"] = d.IsRequired();
  j["shown"] = d.shown;
  j["wholeNumbers"] = d.wholeNumbers;
  auto opt = [&](const char* key, const std::optional<double>& v) {
    if (v) j[key] = *v;
  };
  opt("rangeLow", d.rangeLow);
  opt("rangeHigh", d.rangeHigh);
  opt("limitLow", d.limitLow);
  opt("limitHigh", d.limitHigh);
  opt("default", d.defaultValue);
  if (!d.items.empty()) j["items"] = d.items;
  if (d.group >= 0) {
    j["group"] = d.group;
    j["groupLabel"] = GroupLabelOf(node, in);
    if (d.groupIndex >= 0) j["groupIndex"] = d.groupIndex;
  }
  return j;
}

Json DescribeNode(const host::Node& node) {
  const host::ClassInfo& c = node.Class();
  Json j{{"name", ToolName(c)},        {"identifier", c.identifier},
         {"caption", c.caption},       {"classWord", HexWord(c.classWord)},
         {"versions", c.versionTexts}, {"help", c.helpText}};
  Json pages = Json::array();
  bool open = false;
  std::string page;
  for (const Input* in : node.Inputs()) {
    const std::string& p = host::Describe(in).page;
    if (!open || p != page) {
      pages.push_back(Json{{"page", p}, {"inputs", Json::array()}});
      open = true;
      page = p;
    }
    pages.back()["inputs"].push_back(DescribeInput(node, in));
  }
  j["pages"] = std::move(pages);
  return j;
}

}  // namespace orvanta::graph
