// `orvanta serve`: the browser host. Serves the tools' control pages and a live preview of a
// graph on a local HTTP server until Ctrl-C. The program orvanta-serve (main.cpp) runs it.
#pragma once

#include <string>
#include <vector>

namespace orvanta::serve {

// Runs the server with the words after `serve`; the tools must be loaded already. Returns the
// exit status; throws Failure for bad arguments.
int Main(const std::vector<std::string>& args);

// Throws Failure: why, then the usage of `orvanta serve`.
[[noreturn]] void RefuseArguments(const std::string& why);

}  // namespace orvanta::serve
