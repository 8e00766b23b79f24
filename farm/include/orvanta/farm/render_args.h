// The arguments of `orvanta render` as a farm job keeps them: relative paths made absolute, since
// tasks may start in any folder, and the values each task gets its own (--frames) taken out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvanta::farm {

// A path made absolute against cwd and normalised; "" stays "".
std::string Absolute(const std::string& path, const std::string& cwd);
// The value of -i: PATH, or LABEL=PATH (the path after the first '=' unless the whole value
// names an existing file), its path made absolute.
std::string AbsoluteInput(const std::string& spec, const std::string& cwd);

// True for the options of render that take a value (-i, -s, -x, -o, --frames, ...).
bool RenderTakesValue(const std::string& option);

// Throws Failure "farm jobs take WHAT of one line, ..." when value holds a line feed or carriage
// return: every value of a job goes into a script or the command list, one line per command.
void RefuseLineBreaks(const std::string& value, const std::string& what);

// The --frame-offset of render arguments (0 when none): the frames on disk are numbered by it.
int64_t FrameOffsetOf(const std::vector<std::string>& renderArgs);

// RENDER-ARGS taken apart: the arguments tasks run render with (relative -i, -o, --comp and
// --ocio-config paths made absolute against cwd; --frames, --skip-existing and -v taken out, since
// each task gets its own), and the -o and --frames values. Refuses --save (every task would write it) and
// arguments holding a line break; throws Failure.
struct RenderArgs {
  std::vector<std::string> args;
  std::string output;  // absolute
  std::string frames;  // "" when not given
};
RenderArgs TakeRenderArgs(const std::vector<std::string>& args, const std::string& cwd);

// True when the arguments name what render renders: a TOOL, or --comp.
bool NamesWhatToRender(const std::vector<std::string>& args);

}  // namespace orvanta::farm
