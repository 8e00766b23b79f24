// What `orvanta tools` and `orvanta info` print: the loaded tools and one tool's inputs, as text
// for people or as JSON for scripts.
#pragma once

#include <ostream>
#include <vector>

#include "orvanta/host/host.h"

namespace orvanta::cli {

void PrintTools(std::ostream& os, const std::vector<const host::ClassInfo*>& classes, bool json);
// The tool's help text and its inputs page by page, in declaration order.
void PrintInfo(std::ostream& os, const host::Node& node, bool json);

}  // namespace orvanta::cli
