#include "declarations_text.h"

#include <charconv>
#include <cstdio>

namespace orvanta::testing {
namespace {

std::string Hex(uint64_t w) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(w));
  return buf;
}

std::string Number(double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : "?";
}

std::string Quoted(const char* s) { return s ? "\"" + std::string(s) + "\"" : "null"; }

// Registry tags whose value is a routine: its address changes from load to load.
bool IsRoutine(uint32_t tag) { return tag == RegCreate || tag == RegInitHook || tag == RegCleanupHook; }

std::string RegistryValue(const host::RegistryTag& t) {
  if (IsRoutine(t.tag)) return "routine";
  if (IsRegistryText(t.tag)) return "\"" + t.text + "\"";
  if (t.kind == TagKind::Double) return Number(t.number);
  return Hex(t.word);
}

// Input tags whose word slot holds a text.
std::string InputValue(const Tag& t) {
  if (t.tag == InGroupLabel || t.kind() == TagKind::Text) return Quoted(t.text);
  if (t.kind() == TagKind::Double) return Number(t.number);
  return Hex(uint32_t(t.word));
}

}  // namespace

std::string DeclarationsText(const host::ClassInfo& cls) {
  std::string s = "class " + Quoted(cls.name.c_str()) + "\n";
  for (const host::RegistryTag& t : cls.tags) s += "registry " + Hex(t.tag) + " " + RegistryValue(t) + "\n";
  host::Node node(cls);
  for (const std::string& page : node.Pages()) s += "page " + Quoted(page.c_str()) + "\n";
  for (const Input* in : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    s += "input " + Quoted(d.label.c_str()) + " type " + Hex(d.type) + " id " + Hex(d.id) + " page " +
         Quoted(d.page.c_str()) + "\n";
    for (const Tag& t : d.declaredTags) s += "  " + Hex(t.tag) + " " + InputValue(t) + "\n";
  }
  const Output* out = node.MainOutput();
  s += "output " + (out ? Hex(out->Id()) : std::string("none")) + "\n";
  return s;
}

}  // namespace orvanta::testing
