// The describe actions: what a tool is and does for the host, and its clips and parameters in a
// context. Both throw OfxError.
#pragma once

#include <string>

#include "bundle.h"
#include "suites.h"

namespace orvanta::ofx {

void Describe(const Tool& tool, OfxImageEffectHandle descriptor);
void DescribeInContext(const Tool& tool, OfxImageEffectHandle descriptor, const std::string& context);

// The parameter's limits and display range where they differ from its properties': ints for
// integer parameters, one value per dimension for colours. Properties the host lacks are skipped.
void SetBounds(Props& props, const ParamPlan& p, const Bounds& b);

}  // namespace orvanta::ofx
