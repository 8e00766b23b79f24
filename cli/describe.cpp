#include "describe.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "orvanta/graph/controls.h"
#include "orvanta/graph/describe.h"
#include "orvanta/host/failure.h"

namespace orvanta::cli {
namespace {

// Shortest text that reads back as the same double.
std::string Num(double v) {
  char buf[32];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, p) : "0";
}

std::string Joined(const std::vector<std::string>& v, const char* sep) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) out += (i ? sep : "") + v[i];
  return out;
}

// The help text indented under a heading; its line breaks kept.
void Indented(std::ostream& os, const std::string& text, const char* indent) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    size_t b = line.find_first_not_of(' ');
    os << indent << (b == std::string::npos ? "" : line.substr(b)) << "\n";
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
}

void InputText(std::ostream& os, const host::Node& node, const Input* in) {
  const host::ControlDescription& d = host::Describe(in);
  os << "  " << Quoted(d.label) << "\n    id " << graph::IdText(d.id);
  if (graph::IdText(d.id) != graph::HexWord(d.id)) os << " (" << graph::HexWord(d.id) << ")";
  os << ", " << graph::KindText(d);
  if (d.IsImage()) os << (d.IsRequired() ? ", required" : ", optional");
  if (d.wholeNumbers) os << ", whole numbers";
  os << (d.shown ? ", shown" : ", hidden") << "\n";
  if (d.rangeLow || d.rangeHigh)
    os << "    range " << Num(d.rangeLow.value_or(0)) << " to " << Num(d.rangeHigh.value_or(0)) << "\n";
  if (d.limitLow || d.limitHigh)
    os << "    limits " << Num(d.limitLow.value_or(0)) << " to " << Num(d.limitHigh.value_or(0)) << "\n";
  if (d.defaultValue) os << "    default " << Num(*d.defaultValue) << "\n";
  if (!d.items.empty()) {
    os << "    items";
    for (size_t i = 0; i < d.items.size(); ++i) os << (i ? ", " : " ") << i << " " << Quoted(d.items[i]);
    os << "\n";
  }
  if (d.group >= 0) {
    os << "    group " << d.group;
    std::string label = graph::GroupLabelOf(node, in);
    if (!label.empty()) os << " " << Quoted(label);
    if (d.groupIndex >= 0) os << ", member " << d.groupIndex;
    os << "\n";
  }
}

}  // namespace

void PrintTools(std::ostream& os, const std::vector<const host::ClassInfo*>& classes, bool json) {
  if (json) {
    os << graph::DescribeClasses(classes).dump(2) << "\n";
    return;
  }
  // Aligned columns: display name, identifier, caption, class word, version texts.
  size_t w[3] = {0, 0, 0};
  for (const auto* c : classes) {
    w[0] = std::max(w[0], graph::ToolName(*c).size());
    w[1] = std::max(w[1], c->identifier.size());
    w[2] = std::max(w[2], c->caption.size());
  }
  auto pad = [](const std::string& s, size_t width) { return s + std::string(width - s.size() + 2, ' '); };
  for (const auto* c : classes)
    os << pad(graph::ToolName(*c), w[0]) << pad(c->identifier, w[1]) << pad(c->caption, w[2])
       << graph::HexWord(c->classWord) << "  " << Joined(c->versionTexts, " / ") << "\n";
}

void PrintInfo(std::ostream& os, const host::Node& node, bool json) {
  const host::ClassInfo& c = node.Class();
  const std::vector<Input*>& inputs = node.Inputs();
  if (json) {
    os << graph::DescribeNode(node).dump(2) << "\n";
    return;
  }
  os << graph::ToolName(c) << " (identifier " << c.identifier << ", caption " << c.caption << ", class word "
     << graph::HexWord(c.classWord) << ")\n";
  Indented(os, c.helpText, "  ");
  std::string page;
  bool started = false;
  for (const Input* in : inputs) {
    const std::string& p = host::Describe(in).page;
    if (!started || p != page) {
      os << "\n" << (p.empty() ? std::string("Inputs") : "Page " + Quoted(p)) << "\n";
      page = p;
      started = true;
    }
    InputText(os, node, in);
  }
}

}  // namespace orvanta::cli
