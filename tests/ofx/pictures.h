// Pictures for the OpenFX tests, and the same renders made by the orvanta command on files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_host.h"

namespace orvanta::ofxtest {

// Samples from a hash of position, channel and seed: every value of the depth, some alpha zero
// and some partial over colour, floats from -0.5 to 1.5.
Picture Pattern(int width, int height, Depth depth, uint32_t seed);
// Every pixel the colour (components 0 to 1, or beyond for float).
Picture Flat(int width, int height, Depth depth, std::vector<double> rgba);
// Transparent black with pixel (x, y) set to colour for each dot.
struct Dot {
  int x, y;
  std::vector<double> rgba;
};
Picture Dots(int width, int height, Depth depth, const std::vector<Dot>& dots);
// Every other row of p, from row `first` (a field), or p halved by taking every other pixel.
Picture Halved(const Picture& p);

// The pixels are the same bytes; the first difference otherwise.
::testing::AssertionResult SamePixels(const Picture& expected, const Picture& actual);

// The command is available in builds that make it (not in the race-checker build).
bool HaveCommand();

struct CommandRender {
  int status = -1;
  std::string error;
  Picture result;
};
// `orvanta render TOOL` on the pictures written to files in folder (8-bit and 16-bit as PNG,
// float as EXR), inputs given as (label, picture) with the main input's label empty, settings
// as "CONTROL=VALUE"; the result read back from its file.
CommandRender RenderWithCommand(const std::string& folder, const std::string& tool,
                                const std::vector<std::pair<std::string, Picture>>& inputs,
                                const std::vector<std::string>& settings);

// A scratch folder for a test, removed by its destructor.
class Scratch {
 public:
  explicit Scratch(const std::string& name);
  ~Scratch();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace orvanta::ofxtest
