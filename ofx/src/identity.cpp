#include "identity.h"

#include <cctype>
#include <vector>

namespace orvanta::ofx {

std::string IdentifierOf(const host::ClassInfo& cls) {
  // "https://www.maker.example/path" -> "www.maker.example" -> labels, reversed, "www" dropped.
  std::string host = cls.webAddress;
  if (const size_t scheme = host.find("://"); scheme != std::string::npos) host.erase(0, scheme + 3);
  if (const size_t path = host.find('/'); path != std::string::npos) host.erase(path);
  std::vector<std::string> labels;
  std::string label;
  for (size_t i = 0; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '.') {
      if (!label.empty() && label != "www") labels.push_back(label);
      label.clear();
    } else if (std::isalnum(static_cast<unsigned char>(host[i]))) {
      label += char(std::tolower(static_cast<unsigned char>(host[i])));
    }
  }
  std::string id;
  for (auto it = labels.rbegin(); it != labels.rend(); ++it) id += *it + ".";
  if (id.empty()) id = "orvanta.";
  for (char c : cls.name)
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') id += c;
  return id;
}

ToolVersion VersionOf(const host::ClassInfo& cls) {
  for (const std::string& text : cls.versionTexts) {
    const size_t v = text.find('V');
    if (v == std::string::npos || v + 1 >= text.size() ||
        !std::isdigit(static_cast<unsigned char>(text[v + 1])))
      continue;
    ToolVersion version;
    size_t i = v + 1;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
      version.major = version.major * 10 + unsigned(text[i++] - '0');
    if (i + 1 < text.size() && text[i] == '.' && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      ++i;
      while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        version.minor = version.minor * 10 + unsigned(text[i++] - '0');
    }
    version.label = text;
    return version;
  }
  return ToolVersion{};
}

}  // namespace orvanta::ofx
