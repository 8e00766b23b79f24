// The describe actions: what a tool is and does for the host, and its clips and parameters in a
// context. Both throw OfxError.
#pragma once

#include <string>

#include "bundle.h"

namespace orvanta::ofx {

void Describe(const Tool& tool, OfxImageEffectHandle descriptor);
void DescribeInContext(const Tool& tool, OfxImageEffectHandle descriptor, const std::string& context);

}  // namespace orvanta::ofx
