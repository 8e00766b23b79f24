// `orvanta demo`: footage made on the spot (colour bars, ramps, a dot map with figures, tiles),
// every installed tool rendered on it with settings that show what it does, and an HTML contact
// sheet of inputs and results.
#pragma once

#include <string>

namespace orvanta::cli {

// Writes footage, results and index.html into dir; returns the number of tools that failed.
// Throws Failure when dir cannot be made.
int RunDemo(const std::string& dir);

}  // namespace orvanta::cli
