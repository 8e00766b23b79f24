// `orvanta render`: a graph (one node of a tool, or a composition file), its file inputs, controls
// and expressions set from the command line, rendered frame by frame to files or a movie.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvanta/graph/edits.h"
#include "orvanta/io/image_io.h"

namespace orvanta::cli {

// -i, -s and -x as the graph library reads them (edits.h), and the rest of render's options.
struct RenderOptions : graph::GraphEdits {
  std::string tool;    // display name, identifier or registry name; may be empty with comp
  std::string comp;    // composition to start from (JSON or binary)
  std::string node;    // --node: the node whose picture -o writes
  std::string save;    // composition to write
  std::string output;  // -o, may hold a frame pattern
  std::string frames;  // --frames text, "" when not given
  io::Bits bits = io::Bits::Keep;
  std::string compression;                                          // --compression, "" keeps the input's
  std::vector<std::string> channels;                                // --channels, empty: as the input
  io::AlphaChoice alpha = io::AlphaChoice::Format;                  // --premult / --unpremult
  std::string colorspace, workingSpace, outColorspace, ocioConfig;  // colour management
  std::string part;         // --part: the part of a multi-part main input processed
  int32_t frameOffset = 0;  // --frame-offset: added to the frame numbers of the -o names
  bool noAudio = false;     // --no-audio: a movie output without the movie input's audio
  std::string codec;        // --codec for a movie output, "" for the container's default
  std::string fps;          // --fps for a movie output, "" for the movie input's rate
  int32_t queue = 2;        // --queue: frames read ahead and written behind; 0 one stage at a time
  bool quiet = false;
  bool stats = false;         // print the tools' own time per frame (reading and writing not counted)
  bool skipExisting = false;  // keep the frames whose -o file already reads back whole
  bool verbose = false;       // a line on stdout for every frame written or kept
};

// Renders as the options say; throws Failure for every bad input before anything is written.
void Render(const RenderOptions& options);

// Ends a progress line left open on stderr, so an error message starts on its own line.
void EndProgressLine();

}  // namespace orvanta::cli
