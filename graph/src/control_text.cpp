// Controls named by text and values read from text (controls.h): ids, labels, PAGE/LABEL and
// GROUP LABEL/LABEL; numbers, items, checkbox words, points and keyframes, checked against the
// declarations.
#include "orvanta/graph/controls.h"

#include <strings.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "orvanta/host/failure.h"

namespace orvanta::graph {
namespace {

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// A label matches when equal ignoring case, or when equal once a trailing note in parentheses is
// dropped ("Tile 1" names "Tile 1 (required)").
bool LabelMatches(const std::string& label, std::string_view name) {
  if (SameText(label, name)) return true;
  size_t open = label.rfind(" (");
  return open != std::string::npos && !label.empty() && label.back() == ')' &&
         SameText(std::string_view(label).substr(0, open), name);
}

std::optional<uint32_t> ParseId(std::string_view s) {
  if (s.size() == 4) {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= uint32_t(uint8_t(s[size_t(i)])) << (8 * i);
    return w;
  }
  if (s.size() > 2 && s.size() <= 10 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    uint32_t w = 0;
    auto [p, ec] = std::from_chars(s.data() + 2, s.data() + s.size(), w, 16);
    if (ec == std::errc() && p == s.data() + s.size()) return w;
  }
  return std::nullopt;
}

std::optional<double> ParseNumber(std::string_view s) {
  std::string t = Trim(s);
  if (t.empty()) return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

std::string Where(const host::Node& node, const Input* in) {
  const host::ControlDescription& d = host::Describe(in);
  std::string s = IdText(d.id) + " (";
  if (!d.page.empty()) s += "page " + Quoted(d.page) + ", ";
  std::string group = GroupLabelOf(node, in);
  if (!group.empty()) s += "group " + Quoted(group) + ", ";
  return s + KindText(d) + ")";
}

[[noreturn]] void Ambiguous(const host::Node& node, std::string_view name, const std::vector<Input*>& m) {
  std::string list;
  for (size_t i = 0; i < m.size(); ++i) list += (i ? ", " : "") + Where(node, m[i]);
  throw Failure(Quoted(std::string(name)) + " is ambiguous in " + ToolName(node) +
                "; name one of these by its id or as PAGE/LABEL or GROUP LABEL/LABEL: " + list);
}

Input* CheckNotImage(const host::Node& node, Input* in) {
  const host::ControlDescription& d = host::Describe(in);
  if (d.IsImage())
    throw Failure(Quoted(d.label) + " of " + ToolName(node) + " is an image input; connect it with -i " +
                  Quoted(d.label + "=PATH"));
  return in;
}

const char* ControlName(uint32_t c) {
  switch (c) {
    case ComboControl:
      return "combo";
    case ScrollControl:
      return "scroll";
    case CheckboxControl:
      return "checkbox";
    case SliderControl:
      return "slider";
    case RangeControl:
      return "range";
    case ColorControl:
      return "colour";
    case ImageControl:
      return "image control";
    case OffsetControl:
      return "offset";
    default:
      return nullptr;
  }
}

struct Target {
  std::string tool, label;
  const host::ControlDescription* d;
  std::string Of() const { return Quoted(label) + " of " + tool; }
};

double ParseOne(const Target& t, std::string_view text, double* y) {
  const host::ControlDescription& d = *t.d;
  const std::string v = Trim(text);
  if (d.type == PointDataType) {
    size_t comma = v.find(',');
    auto px = comma == std::string::npos ? std::nullopt : ParseNumber(std::string_view(v).substr(0, comma));
    auto py = comma == std::string::npos ? std::nullopt : ParseNumber(std::string_view(v).substr(comma + 1));
    if (!px || !py) throw Failure(Quoted(v) + " is not a point X,Y for " + t.Of());
    *y = *py;
    return *px;
  }
  if (d.control == ComboControl && !d.items.empty()) {
    for (size_t i = 0; i < d.items.size(); ++i)
      if (SameText(d.items[i], v)) return double(i);
    auto n = ParseNumber(v);
    if (n && *n == std::floor(*n) && *n >= 0 && *n < double(d.items.size())) return *n;
    std::string items;
    for (size_t i = 0; i < d.items.size(); ++i)
      items += (i ? ", " : "") + Quoted(d.items[i]) + " (" + std::to_string(i) + ")";
    throw Failure(Quoted(v) + " is not an item of " + t.Of() + "; its items are " + items);
  }
  if (d.control == CheckboxControl) {
    if (v == "1" || SameText(v, "on") || SameText(v, "true") || SameText(v, "yes")) return 1.0;
    if (v == "0" || SameText(v, "off") || SameText(v, "false") || SameText(v, "no")) return 0.0;
    throw Failure(Quoted(v) + " is not a checkbox value for " + t.Of() + "; give 0, 1, on or off");
  }
  auto n = ParseNumber(v);
  if (!n) throw Failure(Quoted(v) + " is not a number for " + t.Of());
  double lo = d.rangeLow.value_or(-INFINITY), hi = d.rangeHigh.value_or(INFINITY);
  if (*n < lo || *n > hi)
    throw Failure(Num(*n) + " is outside the range of " + t.Of() + " (" + Num(lo) + " to " + Num(hi) + ")");
  if (d.wholeNumbers && *n != std::floor(*n))
    throw Failure(t.Of() + " takes whole numbers only, not " + Num(*n));
  return *n;
}

}  // namespace

std::string ToolName(const host::ClassInfo& c) { return c.displayName.empty() ? c.name : c.displayName; }
std::string ToolName(const host::Node& node) { return ToolName(node.Class()); }

std::string ImageInputList(const host::Node& node) {
  std::string list;
  for (Input* in : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (d.IsImage()) list += (list.empty() ? "" : ", ") + Quoted(d.label);
  }
  return list.empty() ? "none" : list;
}

std::string NumberText(double v) {
  char buf[32];  // the longest double takes 24
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, p) : "nan";
}

std::string IdText(uint32_t id) {
  char c[5];
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    c[i] = char((id >> (8 * i)) & 0xFF);
    if (!std::isprint(static_cast<unsigned char>(c[i])) || c[i] == ' ') printable = false;
  }
  c[4] = '\0';
  if (printable) return c;
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", id);
  return buf;
}

std::string KindText(const host::ControlDescription& d) {
  if (const char* n = ControlName(d.control)) return n;
  if (d.type == ImageDataType) return "image";
  if (d.type == PointDataType) return "point";
  return "number";
}

std::string GroupLabelOf(const host::Node& node, const Input* in) {
  const host::ControlDescription& d = host::Describe(in);
  if (!d.groupLabel.empty() || d.group < 0) return d.groupLabel;
  for (const Input* other : node.Inputs()) {
    const host::ControlDescription& o = host::Describe(other);
    if (o.group == d.group && o.page == d.page && !o.groupLabel.empty()) return o.groupLabel;
  }
  return "";
}

Input* FindControl(const host::Node& node, std::string_view rawName) {
  const std::string name = Trim(rawName);
  const std::string tool = ToolName(node);
  if (name.empty()) throw Failure("a control name is missing before '=' in a setting for " + tool);
  if (auto id = ParseId(name))
    for (Input* in : node.Inputs())
      if (host::Describe(in).id == *id) return CheckNotImage(node, in);

  std::vector<Input*> m;
  for (Input* in : node.Inputs())
    if (LabelMatches(host::Describe(in).label, name)) m.push_back(in);
  if (m.size() == 1) return CheckNotImage(node, m[0]);
  if (m.size() > 1) Ambiguous(node, name, m);

  size_t slash = name.rfind('/');
  if (slash != std::string::npos) {
    std::string qual = Trim(std::string_view(name).substr(0, slash));
    std::string label = Trim(std::string_view(name).substr(slash + 1));
    for (Input* in : node.Inputs()) {
      const host::ControlDescription& d = host::Describe(in);
      if (LabelMatches(d.label, label) && (SameText(d.page, qual) || SameText(GroupLabelOf(node, in), qual)))
        m.push_back(in);
    }
    if (m.size() == 1) return CheckNotImage(node, m[0]);
    if (m.size() > 1) Ambiguous(node, name, m);
  }
  throw Failure(tool + " has no control " + Quoted(name) + "; 'orvanta info " + tool +
                "' lists its controls");
}

Input* FindImageInput(const host::Node& node, std::string_view rawName) {
  const std::string name = Trim(rawName);
  std::optional<uint32_t> id = ParseId(name);
  Input* byLabel = nullptr;
  for (Input* in : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (!d.IsImage()) continue;
    if (id && d.id == *id) return in;
    if (!byLabel && LabelMatches(d.label, name)) byLabel = in;
  }
  return byLabel;
}

Input* MainImageInput(const host::Node& node) {
  Input* first = nullptr;
  for (Input* in : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (!d.IsImage()) continue;
    if (d.id == MainImageId) return in;
    if (!first) first = in;
  }
  return first;
}

ParsedValue ParseValue(const host::Node& node, const Input* in, std::string_view text) {
  const host::ControlDescription& d = host::Describe(in);
  Target t{ToolName(node), d.label, &d};
  ParsedValue out;
  if (text.find('@') == std::string_view::npos) {
    KeyValue k;
    k.x = ParseOne(t, text, &k.y);
    out.keys.push_back(k);
    return out;
  }
  // VALUE@FRAME,VALUE@FRAME,...: a value runs to its '@' (a point's own comma included), a frame
  // to the next comma.
  out.animated = true;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t at = text.find('@', pos);
    if (at == std::string_view::npos)
      throw Failure("the keyframes " + Quoted(std::string(text)) + " for " + t.Of() +
                    " need VALUE@FRAME for every key");
    size_t comma = text.find(',', at);
    std::string_view frameText =
        text.substr(at + 1, comma == std::string_view::npos ? std::string_view::npos : comma - at - 1);
    auto frame = ParseNumber(frameText);
    if (!frame)
      throw Failure(Quoted(std::string(frameText)) + " is not a frame number in the keyframes for " + t.Of());
    KeyValue k;
    k.frame = *frame;
    k.x = ParseOne(t, text.substr(pos, at - pos), &k.y);
    out.keys.push_back(k);
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
    if (pos == text.size()) throw Failure("the keyframes for " + t.Of() + " end with a comma");
  }
  return out;
}

KeyValue ParseSingleValue(const host::Node& node, const Input* in, std::string_view text) {
  const host::ControlDescription& d = host::Describe(in);
  Target t{ToolName(node), d.label, &d};
  KeyValue k;
  k.x = ParseOne(t, text, &k.y);
  return k;
}

void ApplySetting(host::Node& node, std::string_view setting) {
  size_t eq = setting.find('=');
  if (eq == std::string_view::npos)
    throw Failure("-s takes CONTROL=VALUE, not " + Quoted(std::string(setting)));
  Input* in = FindControl(node, setting.substr(0, eq));
  ApplyValue(in, ParseValue(node, in, setting.substr(eq + 1)));
}

namespace {

void SetOne(Input* in, const KeyValue& k, double time, uint32_t flag) {
  if (host::Describe(in).type == PointDataType) {
    Point p(k.x, k.y);
    in->SetValue(&p, time, flag);
  } else {
    AutoNumber n(k.x);
    in->SetValue(n.get(), time, flag);
  }
}

}  // namespace

void ApplyValue(Input* in, const ParsedValue& v) {
  host::SetKeys(in, {});  // the new value replaces what the input held
  for (const KeyValue& k : v.keys) SetOne(in, k, v.animated ? k.frame : 0.0, v.animated ? 2u : 1u);
}

void ApplyKeyAt(Input* in, const KeyValue& value, double frame) { SetOne(in, value, frame, 2u); }

}  // namespace orvanta::graph
