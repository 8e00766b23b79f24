#include "describe.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <cstdio>
#include <string>

#include "controls.h"
#include "failure.h"

namespace orvanta::cli {
namespace {

std::string Hex(uint32_t w) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", w);
  return buf;
}

// Shortest text that reads back as the same double.
std::string Num(double v) {
  char buf[32];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, p) : "0";
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + Json(v[i]);
  return out + "]";
}

std::string Name(const host::ClassInfo& c) { return c.displayName.empty() ? c.name : c.displayName; }

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
  os << "  " << Quoted(d.label) << "\n    id " << IdText(d.id);
  if (IdText(d.id) != Hex(d.id)) os << " (" << Hex(d.id) << ")";
  os << ", " << KindText(d);
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
    std::string label = GroupLabelOf(node, in);
    if (!label.empty()) os << " " << Quoted(label);
    if (d.groupIndex >= 0) os << ", member " << d.groupIndex;
    os << "\n";
  }
}

std::string InputJson(const host::Node& node, const Input* in) {
  const host::ControlDescription& d = host::Describe(in);
  std::string s = "{\"label\": " + Json(d.label) + ", \"id\": " + Json(IdText(d.id)) +
                  ", \"idWord\": " + std::to_string(d.id) + ", \"kind\": " + Json(KindText(d));
  if (d.IsImage()) s += std::string(", \"required\": ") + (d.IsRequired() ? "true" : "false");
  s += std::string(", \"shown\": ") + (d.shown ? "true" : "false");
  s += std::string(", \"wholeNumbers\": ") + (d.wholeNumbers ? "true" : "false");
  auto opt = [&](const char* key, const std::optional<double>& v) {
    if (v) s += ", \"" + std::string(key) + "\": " + Num(*v);
  };
  opt("rangeLow", d.rangeLow);
  opt("rangeHigh", d.rangeHigh);
  opt("limitLow", d.limitLow);
  opt("limitHigh", d.limitHigh);
  opt("default", d.defaultValue);
  if (!d.items.empty()) s += ", \"items\": " + JsonList(d.items);
  if (d.group >= 0) {
    s += ", \"group\": " + std::to_string(d.group) + ", \"groupLabel\": " + Json(GroupLabelOf(node, in));
    if (d.groupIndex >= 0) s += ", \"groupIndex\": " + std::to_string(d.groupIndex);
  }
  return s + "}";
}

}  // namespace

void PrintTools(std::ostream& os, const std::vector<const host::ClassInfo*>& classes, bool json) {
  if (json) {
    os << "[";
    for (size_t i = 0; i < classes.size(); ++i) {
      const host::ClassInfo& c = *classes[i];
      os << (i ? ",\n " : "\n ") << "{\"name\": " << Json(Name(c)) << ", \"registryName\": " << Json(c.name)
         << ", \"identifier\": " << Json(c.identifier) << ", \"caption\": " << Json(c.caption)
         << ", \"classWord\": " << Json(Hex(c.classWord)) << ", \"versions\": " << JsonList(c.versionTexts)
         << ", \"library\": " << Json(c.library) << "}";
    }
    os << (classes.empty() ? "]\n" : "\n]\n");
    return;
  }
  // Aligned columns: display name, identifier, caption, class word, version texts.
  size_t w[3] = {0, 0, 0};
  for (const auto* c : classes) {
    w[0] = std::max(w[0], Name(*c).size());
    w[1] = std::max(w[1], c->identifier.size());
    w[2] = std::max(w[2], c->caption.size());
  }
  auto pad = [](const std::string& s, size_t width) { return s + std::string(width - s.size() + 2, ' '); };
  for (const auto* c : classes)
    os << pad(Name(*c), w[0]) << pad(c->identifier, w[1]) << pad(c->caption, w[2]) << Hex(c->classWord) << "  "
       << Joined(c->versionTexts, " / ") << "\n";
}

void PrintInfo(std::ostream& os, const host::Node& node, bool json) {
  const host::ClassInfo& c = node.Class();
  const std::vector<Input*>& inputs = node.Inputs();
  if (json) {
    os << "{\"name\": " << Json(Name(c)) << ", \"identifier\": " << Json(c.identifier)
       << ", \"caption\": " << Json(c.caption) << ", \"classWord\": " << Json(Hex(c.classWord))
       << ", \"versions\": " << JsonList(c.versionTexts) << ", \"help\": " << Json(c.helpText)
       << ",\n \"pages\": [";
    bool firstPage = true, open = false;
    std::string page;
    for (size_t i = 0; i < inputs.size(); ++i) {
      const std::string& p = host::Describe(inputs[i]).page;
      if (!open || p != page) {
        if (open) os << "]}";
        os << (firstPage ? "\n  " : ",\n  ") << "{\"page\": " << Json(p) << ", \"inputs\": [";
        firstPage = false;
        open = true;
        page = p;
        os << "\n   " << InputJson(node, inputs[i]);
      } else {
        os << ",\n   " << InputJson(node, inputs[i]);
      }
    }
    if (open) os << "]}";
    os << "]}\n";
    return;
  }
  os << Name(c) << " (identifier " << c.identifier << ", caption " << c.caption << ", class word "
     << Hex(c.classWord) << ")\n";
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
