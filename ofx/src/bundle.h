// The tools of the bundle: the plug-ins beside the bundle's binary, loaded into the runtime that
// lives there too, each announced to the host as one image effect.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvanta/host/host.h"
#include "orvanta/ofx/ofx_api.h"
#include "plan.h"

namespace orvanta::ofx {

struct Tool {
  const host::ClassInfo* cls = nullptr;
  std::string name;        // the tool's display name, for messages
  std::string identifier;  // reverse-domain, see identity.h
  std::string versionLabel;
  OfxPlugin plugin{};
  ToolPlan plan;
};

// Most tools one bundle announces (the entry points are made for this many).
inline constexpr size_t kMaxTools = 32;

// The tools, loaded on the first call (from any thread; later calls return the same list). A
// plug-in that fails to load is reported on stderr and left out. Tools stay loaded as long as
// the process: the bundle's binary is never unloaded (it runs threads and keeps the runtime).
const std::vector<std::unique_ptr<Tool>>& Tools();

// The folder of the bundle's binary (Contents/Linux-x86-64).
std::string BinaryFolder();

// Entry points of tool i, for its OfxPlugin record.
OfxPluginEntryPoint* MainEntryOf(size_t i);
void (*SetHostOf(size_t i))(OfxHost*);

}  // namespace orvanta::ofx
