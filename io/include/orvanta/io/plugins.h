// Where a front-end finds the tools' plug-ins, and loading them.
#pragma once

#include <string>
#include <vector>

namespace orvanta::io {

// The plug-in folders: `option` when given (it must exist), else $ORVANTA_PLUGIN_PATH (folders
// separated by ':'), else `installed` when it holds plug-ins, else `buildTree`. Throws Failure.
std::vector<std::string> PluginDirs(const std::string& option, const std::string& installed,
                                    const std::string& buildTree);

// Loads every plug-in of the folders; one sentence per plug-in that did not load.
std::vector<std::string> LoadPlugins(const std::vector<std::string>& dirs);

}  // namespace orvanta::io
