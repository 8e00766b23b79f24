#include "orvanta/farm/render_args.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "orvanta/host/failure.h"

namespace orvanta::farm {
namespace fs = std::filesystem;

std::string Absolute(const std::string& path, const std::string& cwd) {
  if (path.empty()) return path;
  fs::path p(path);
  if (p.is_relative()) p = fs::path(cwd) / p;
  return p.lexically_normal().string();
}

std::string AbsoluteInput(const std::string& spec, const std::string& cwd) {
  size_t eq = spec.find('=');
  std::error_code ec;
  if (eq == std::string::npos || fs::exists(fs::path(cwd) / spec, ec) || fs::exists(spec, ec))
    return Absolute(spec, cwd);
  const std::string path = spec.substr(eq + 1);
  return spec.substr(0, eq + 1) + Absolute(path, cwd);
}

bool RenderTakesValue(const std::string& a) {
  return a == "-i" || a == "-s" || a == "-x" || a == "-o" || a == "--frames" || a == "--bits" ||
         a == "--save" || a == "--comp" || a == "--node" || a == "--codec" || a == "--fps" ||
         a == "--compression" || a == "--channels" || a == "--colorspace" || a == "--working-space" ||
         a == "--out-colorspace" || a == "--ocio-config" || a == "--part" || a == "--frame-offset" ||
         a == "--queue";
}

void RefuseLineBreaks(const std::string& value, const std::string& what) {
  const size_t at = value.find_first_of("\r\n");
  if (at != std::string::npos)
    throw Failure("farm jobs take " + what + " of one line, not " + Quoted(value.substr(0, at)) +
                  " followed by a line break");
}

int64_t FrameOffsetOf(const std::vector<std::string>& renderArgs) {
  int64_t offset = 0;
  for (size_t i = 0; i + 1 < renderArgs.size(); ++i)
    if (renderArgs[i] == "--frame-offset")
      offset = std::strtoll(renderArgs[++i].c_str(), nullptr, 10);
    else if (RenderTakesValue(renderArgs[i]))
      ++i;
  return offset;
}

RenderArgs TakeRenderArgs(const std::vector<std::string>& args, const std::string& cwd) {
  RenderArgs r;
  // The arguments go into a script and a command list line by line.
  for (const std::string& a : args) RefuseLineBreaks(a, "render arguments");
  RefuseLineBreaks(cwd, "a working folder");
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--skip-existing" || a == "-v" || a == "--verbose") continue;  // every task gets them
    if (!RenderTakesValue(a)) {
      r.args.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) throw Failure(a + " needs a value; 'orvanta --help' shows the usage");
    const std::string& v = args[++i];
    if (a == "--frames") {
      r.frames = v;
      continue;
    }
    // Every task would write the same composition file again.
    if (a == "--save")
      throw Failure(
          "farm submit renders frames only; write the composition with 'orvanta render --save' first");
    r.args.push_back(a);
    if (a == "-i") {
      r.args.push_back(AbsoluteInput(v, cwd));
    } else if (a == "-o") {
      if (!r.output.empty()) throw Failure("give -o once");
      r.output = Absolute(v, cwd);
      r.args.push_back(r.output);
    } else if (a == "--comp" || a == "--ocio-config") {
      r.args.push_back(Absolute(v, cwd));
    } else {
      r.args.push_back(v);
    }
  }
  return r;
}

bool NamesWhatToRender(const std::vector<std::string>& args) {
  if (std::find(args.begin(), args.end(), "--comp") != args.end()) return true;
  for (size_t i = 0; i < args.size(); ++i) {
    if (RenderTakesValue(args[i]))
      ++i;
    else if (!args[i].empty() && args[i][0] != '-')
      return true;
  }
  return false;
}

}  // namespace orvanta::farm
