// Where the module finds the tools: $ORVANTA_PLUGIN_PATH (folders separated by ':'), else the
// installed plug-in folder relative to the module, else the build tree's lib/ folder.
#pragma once

#include <string>
#include <vector>

namespace orvanta::python {

std::vector<std::string> PluginDirs();

// Loads every plug-in of those folders; returns one line per plug-in that did not load.
std::vector<std::string> LoadPlugins(const std::vector<std::string>& dirs);

}  // namespace orvanta::python
