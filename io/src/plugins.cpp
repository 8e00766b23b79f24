#include "orvanta/io/plugins.h"

#include <cstdlib>
#include <filesystem>

#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"

namespace orvanta::io {
namespace fs = std::filesystem;
namespace {

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
    const size_t colon = list.find(':', pos);
    std::string d = list.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    if (!d.empty()) out.push_back(std::move(d));
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  return out;
}

}  // namespace

std::vector<std::string> PluginDirs(const std::string& option, const std::string& installed,
                                    const std::string& buildTree) {
  if (!option.empty()) {
    std::error_code ec;
    if (!fs::is_directory(option, ec)) throw Failure("the plug-in folder " + option + " does not exist");
    return {option};
  }
  if (const char* env = std::getenv("ORVANTA_PLUGIN_PATH"); env && *env) return SplitList(env);
  if (HasPlugins(installed)) return {fs::path(installed).lexically_normal().string()};
  return {fs::path(buildTree).lexically_normal().string()};
}

std::vector<std::string> LoadPlugins(const std::vector<std::string>& dirs) {
  std::vector<std::string> failures;
  for (const std::string& dir : dirs)
    for (const host::PluginLoad& load : host::LoadPluginDirectory(dir))
      if (!load.ok)
        failures.push_back("the plug-in " + fs::path(load.path).filename().string() +
                           " did not load: " + load.error);
  return failures;
}

}  // namespace orvanta::io
