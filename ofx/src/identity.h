// What an OpenFX host is told about a tool's identity, derived from its registry record alone, so
// that the bundle and its icon maker agree on it.
#pragma once

#include <string>

#include "orvanta/host/host.h"

namespace orvanta::ofx {

// The tool's reverse-domain identifier: the maker's web domain reversed, letters and digits only,
// then the registry name, e.g. "example.orvantatools.OrvantaLineDrop". Stable as long as the tool
// keeps its registry name and web address.
std::string IdentifierOf(const host::ClassInfo& cls);

struct ToolVersion {
  unsigned major = 0, minor = 0;
  std::string label;  // the version text it was read from ("" when the tool gives none)
};
// From the first version text of the form "V<major>.<minor>...".
ToolVersion VersionOf(const host::ClassInfo& cls);

}  // namespace orvanta::ofx
