// `orvanta render`: a node of a tool (new, or read from a composition), its image inputs fed
// from files, its controls set from the command line, rendered frame by frame to files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image_io.h"
#include "orvanta/host/host.h"

namespace orvanta::cli {

struct RenderOptions {
  std::string tool;                   // display name, identifier or registry name; may be empty with comp
  std::string comp;                   // composition to start from
  std::string save;                   // composition to write
  std::string output;                 // -o, may hold a frame pattern
  std::vector<std::string> inputs;    // -i PATH or -i LABEL=PATH, in command-line order
  std::vector<std::string> settings;  // -s CONTROL=VALUE, in command-line order
  std::string frames;                 // --frames text, "" when not given
  Bits bits = Bits::Keep;
  bool quiet = false;
  bool stats = false;  // print the tool's own time per frame (reading and writing not counted)
};

// Renders as the options say; throws Failure for every bad input before anything is written.
void Render(const RenderOptions& options);

// Ends a progress line left open on stderr, so an error message starts on its own line.
void EndProgressLine();

}  // namespace orvanta::cli
