// A tool's declarations as the host parsed them, as text: every registry tag, the control pages,
// every input with each tag it declared (in order) and the output. Kept as golden files beside
// the info files, for what `orvanta info --json` does not show (link options, row counts, list
// options, preview controls, the member that carries a group's heading).
#pragma once

#include <string>

#include "orvanta/host/host.h"

namespace orvanta::testing {

// Text of a node of the class; one line per tag, in declaration order.
std::string DeclarationsText(const host::ClassInfo& cls);

}  // namespace orvanta::testing
