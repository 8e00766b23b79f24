// What every program of the command (orvanta, orvanta-serve) does before its own words: the
// global options (--plugins, --threads, --memory-budget, -q) read wherever they stand, and the
// host started with them: the plug-ins loaded, the workers and the image budget set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvanta/graph/edits.h"

namespace orvanta::io {

struct ProgramOptions {
  std::string plugins;        // --plugins DIR, as given ("" when not)
  int32_t threads = 0;        // --threads N, 0 when not given (all cores)
  uint64_t memoryBudget = 0;  // bytes: --memory-budget MIB, else $ORVANTA_MEMORY_BUDGET; 0 when neither
  bool quiet = false;         // -q, --quiet: no progress line
};

// The options with the memory budget of $ORVANTA_MEMORY_BUDGET. Throws Failure for a bad value.
ProgramOptions ProgramOptionsFromEnvironment();

// When the word args.Next() gave is a global option: its value read into options, and true.
// Throws Failure for a bad value (through args' refusal for a missing one).
bool TakeProgramOption(graph::ArgReader& args, ProgramOptions& options);

// The value of a whole-number option from lowest to highest; throws Failure "OPTION takes a whole
// number from LOWEST to HIGHEST, not "TEXT"" otherwise.
int32_t WholeNumberOption(const std::string& option, const std::string& text, int32_t lowest,
                          int32_t highest);

// The folder of the running program's file ("." when it cannot be found).
std::string ProgramDir();

// Loads the plug-ins (from --plugins, else $ORVANTA_PLUGIN_PATH, else the install folder
// <program dir>/../installSubdir when it holds plug-ins, else the build tree's <program dir>/../lib)
// and sets the host's workers and image budget. Returns one sentence per plug-in that did not
// load; throws Failure when --plugins names no folder. Call once, from the main thread, first.
std::vector<std::string> StartHost(const ProgramOptions& options, const std::string& installSubdir);

}  // namespace orvanta::io
