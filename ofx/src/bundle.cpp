#include "bundle.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

#include "identity.h"

namespace orvanta::ofx {
namespace {

std::vector<std::unique_ptr<Tool>> LoadTools() {
  std::vector<std::unique_ptr<Tool>> tools;
  const std::string folder = BinaryFolder();
  for (const host::PluginLoad& load : host::LoadPluginDirectory(folder))
    if (!load.ok) std::fprintf(stderr, "Orvanta: %s: %s\n", load.path.c_str(), load.error.c_str());
  // Only the classes of this bundle's own plug-ins: a process may hold other copies of the tools.
  const std::string prefix = std::filesystem::path(folder).lexically_normal().string() + "/";
  for (const host::ClassInfo* cls : host::Classes()) {
    if (cls->library.rfind(prefix, 0) != 0) continue;
    if (tools.size() == kMaxTools) {
      std::fprintf(stderr, "Orvanta: more than %zu tools; %s is left out\n", kMaxTools, cls->name.c_str());
      continue;
    }
    try {
      auto tool = std::make_unique<Tool>();
      tool->cls = cls;
      tool->name = cls->displayName.empty() ? cls->name : cls->displayName;
      tool->identifier = IdentifierOf(*cls);
      const ToolVersion version = VersionOf(*cls);
      tool->versionLabel = version.label;
      host::Node prototype(*cls);
      tool->plan = MakePlan(prototype);
      const size_t i = tools.size();
      tool->plugin = OfxPlugin{kOfxImageEffectPluginApi,
                               kOfxImageEffectPluginApiVersion,
                               tool->identifier.c_str(),
                               version.major,
                               version.minor,
                               SetHostOf(i),
                               MainEntryOf(i)};
      tools.push_back(std::move(tool));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Orvanta: %s is left out: %s\n", cls->name.c_str(), e.what());
    }
  }
  return tools;
}

}  // namespace

std::string BinaryFolder() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<const void*>(&BinaryFolder), &info) || !info.dli_fname) return ".";
  return std::filesystem::absolute(info.dli_fname).parent_path().string();
}

const std::vector<std::unique_ptr<Tool>>& Tools() {
  static std::once_flag once;
  static std::vector<std::unique_ptr<Tool>> tools;
  std::call_once(once, [] { tools = LoadTools(); });
  return tools;
}

}  // namespace orvanta::ofx
