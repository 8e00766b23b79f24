#include "plugins.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "orvanta/io/plugins.h"

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

}  // namespace

std::vector<std::string> PluginDirs() {
  const fs::path here = ModuleDir();
  // Installed: the plug-in folder relative to the package; build tree: build/python/orvanta
  // next to build/lib.
  return io::PluginDirs("", (here / ORVANTA_PYTHON_PLUGIN_SUBDIR).string(),
                        (here / ".." / ".." / "lib").string());
}

std::vector<std::string> LoadPlugins(const std::vector<std::string>& dirs) { return io::LoadPlugins(dirs); }

}  // namespace orvanta::python
