#include "plugins.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "orvanta/host/host.h"

namespace orvanta::python {
namespace fs = std::filesystem;
namespace {

// The folder of this extension module's own file.
fs::path ModuleDir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&PluginDirs), &info) == 0 || !info.dli_fname) return ".";
  std::error_code ec;
  fs::path p = fs::canonical(info.dli_fname, ec);
  return (ec ? fs::path(info.dli_fname) : p).parent_path();
}

bool HasPlugins(const fs::path& dir) {
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec))
    if (e.path().extension() == ".so" && e.path().filename().string().rfind("Orvanta", 0) == 0) return true;
  return false;
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t colon = list.find(':', pos);
    std::string d = list.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    if (!d.empty()) out.push_back(d);
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  return out;
}

}  // namespace

std::vector<std::string> PluginDirs() {
  if (const char* env = std::getenv("ORVANTA_PLUGIN_PATH"); env && *env) return SplitList(env);
  const fs::path here = ModuleDir();
  const fs::path installed = (here / ORVANTA_PYTHON_PLUGIN_SUBDIR).lexically_normal();
  if (HasPlugins(installed)) return {installed.string()};
  // Build tree: build/python/orvanta next to build/lib.
  return {(here / ".." / ".." / "lib").lexically_normal().string()};
}

std::vector<std::string> LoadPlugins(const std::vector<std::string>& dirs) {
  std::vector<std::string> failures;
  for (const std::string& dir : dirs)
    for (const host::PluginLoad& load : host::LoadPluginDirectory(dir))
      if (!load.ok) failures.push_back("the plug-in " + fs::path(load.path).filename().string() + " did not load: " + load.error);
  return failures;
}

}  // namespace orvanta::python
