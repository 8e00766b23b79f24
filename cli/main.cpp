// orvanta: lists, describes and renders the Orvanta tools from the command line.
//
//   orvanta [--plugins DIR] [--threads N] [-q] COMMAND ...
//     tools [--json]                  the loaded tools
//     info TOOL [--json]              a tool's help text and inputs
//     render TOOL [options]           renders a tool on image files
//     demo [DIR]                      renders every installed tool on generated footage
//     farm submit|resubmit|status ... splits a sequence render across a farm (farm.h)
//     serve [COMP | TOOL ...]         the browser host: runs orvanta-serve (serve/) in its place
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "demo.h"
#include "describe.h"
#include "farm.h"
#include "orvanta/farm/render_args.h"
#include "orvanta/graph/edits.h"
#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/program.h"
#include "render.h"

namespace orvanta::cli {
namespace {
namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: orvanta [--plugins DIR] [--threads N] [-q] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  tools [--json]             list the loaded tools\n"
    "  info TOOL [--json]         show a tool's help text and its inputs\n"
    "  render TOOL [options]      render a tool on image files\n"
    "  render --comp COMP [opts]  render a composition (a JSON node graph, or a binary file)\n"
    "  demo [DIR]                 render every installed tool on generated footage into DIR\n"
    "                             (default orvanta-demo), with a contact sheet DIR/index.html\n"
    "  farm submit --slurm [--chunk N] [--partition P] [--script-only] RENDER-ARGS...\n"
    "                             render a sequence as a Slurm array job, one task per N frames\n"
    "  farm status JOB [--json]   frames done, missing and damaged; exit status 0 when all done\n"
    "  farm resubmit JOB          render again only the missing and damaged frames\n"
    "                             (docs/farm.md: every farm option, other farm managers)\n"
    "  serve [COMP | TOOL -i ...] [--port N] [--save COMP] [--frames RANGE]\n"
    "                             the controls and a live preview in the browser, on\n"
    "                             http://127.0.0.1:8080/ (-i, -s and -x as for render)\n"
    "\n"
    "render options:\n"
    "  -i PATH | -i LABEL=PATH    connect the main image input, or the image input LABEL (or id)\n"
    "  -s CONTROL=VALUE           set a control by id, label, PAGE/LABEL or GROUP LABEL/LABEL;\n"
    "                             VALUE is a number, a combo item or index, 0/1/on/off, X,Y, or\n"
    "                             keyframes VALUE@FRAME,VALUE@FRAME,...\n"
    "  -x CONTROL=EXPRESSION      drive a number control by an expression of frame and of other\n"
    "                             nodes' controls (NODE.ID), e.g. -x \"SORL=0.1 + frame / 200\"\n"
    "                             (in a composition, -i, -s and -x take a NODE. prefix)\n"
    "  -o PATH                    write the result (# or %04d for the frame number), or a\n"
    "                             movie (.mov, .mp4, .mkv) with the audio of a movie input\n"
    "  --codec prores|ffv1|h264   a movie's codec (default: .mov prores, .mkv ffv1, .mp4 h264)\n"
    "  --fps RATE                 a movie's frame rate (default: the movie input's, else 24)\n"
    "  --queue N                  frames read ahead and written behind while one renders\n"
    "                             (default 2; 0 reads, renders and writes one after another)\n"
    "  --frames RANGE             frames to render: 1-100, 1-100x2, 1,5,9 (default: those of\n"
    "                             an input sequence on disk, or of a range in its name: in.1-50#.exr)\n"
    "  --bits 8|10|12|16|half|float  sample format of the written files (default: as the main\n"
    "                             input stores it; 16-bit into EXR becomes half)\n"
    "  --compression NAME         compression of the written files (default: the input's)\n"
    "  --channels R,G,B,A,...     the channels written (default: the input's, extra ones too\n"
    "                             when the result keeps its size)\n"
    "  --premult, --unpremult     write colour multiplied by alpha, or not (default: the output\n"
    "                             format's convention, converted once from the input's)\n"
    "  --colorspace NAME          the inputs' colour space (default: each file's own tag)\n"
    "  --working-space NAME       convert the inputs into this space for the tools\n"
    "  --out-colorspace NAME      write the result in this space (default: the input's)\n"
    "  --ocio-config FILE         colour configuration (default: $OCIO, else the built-in one:\n"
    "                             lin_rec709, srgb, acescg, raw)\n"
    "  --part NAME                the part of a multi-part EXR input processed (the others are\n"
    "                             copied to the output unchanged)\n"
    "  --frame-offset N           add N to the frame numbers of the -o names\n"
    "  --no-audio                 write a movie without the movie input's audio\n"
    "  --save COMP                write the composition: JSON for a .json name, else binary\n"
    "  --comp COMP                start from a composition file (TOOL may then be left out)\n"
    "  --node NAME                the node of the composition that -o writes (default: its\n"
    "                             output, or its one end node)\n"
    "  --stats                    print the tool's own time per frame; -o may then be left out\n"
    "  --skip-existing            keep the frames whose -o file already reads back whole\n"
    "  -v, --verbose              print a line for every frame written or kept\n"
    "\n"
    "global options:\n"
    "  --plugins DIR              load the tools from DIR (else $ORVANTA_PLUGIN_PATH, a list of\n"
    "                             folders separated by ':', else the folder next to the command)\n"
    "  --threads N                worker threads for rendering (default: all cores)\n"
    "  --memory-budget MIB        refuse images larger than MIB mebibytes (default: half the\n"
    "                             machine's memory; also $ORVANTA_MEMORY_BUDGET)\n"
    "  -q, --quiet                no progress line\n";

[[noreturn]] void Usage(const std::string& why) { throw Failure(why + "; 'orvanta --help' shows the usage"); }

// Options of the commands that take a value, kept with it so that a value such as "-5" is not
// read as an option: render's (as the farm rewrites them) and serve's own.
bool TakesValue(const std::string& a) { return farm::RenderTakesValue(a) || a == "--port" || a == "--host"; }

// `orvanta serve` is the program orvanta-serve beside this one, run in this process's place, so
// that its output, its signals and its exit status are the command's. The global options go
// first, where it reads them.
[[noreturn]] void RunServe(const io::ProgramOptions& g, const std::vector<std::string>& rest) {
  const std::string program = (fs::path(io::ProgramDir()) / "orvanta-serve").string();
  std::vector<std::string> words{program};
  if (!g.plugins.empty()) words.insert(words.end(), {"--plugins", g.plugins});
  if (g.threads > 0) words.insert(words.end(), {"--threads", std::to_string(g.threads)});
  if (g.memoryBudget > 0)
    words.insert(words.end(), {"--memory-budget", std::to_string(g.memoryBudget >> 20)});
  if (g.quiet) words.push_back("-q");
  words.insert(words.end(), rest.begin(), rest.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  throw Failure("cannot start " + program + ": " + std::strerror(errno));
}

// "R,G,B,A,Z": names separated by commas, none empty or repeated.
std::vector<std::string> ParseChannels(const std::string& s) {
  std::vector<std::string> names;
  size_t at = 0;
  for (;;) {
    const size_t comma = s.find(',', at);
    std::string name = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (name.empty() || std::find(names.begin(), names.end(), name) != names.end())
      throw Failure("--channels takes channel names separated by commas (R,G,B,A,Z), each once, not " +
                    Quoted(s));
    names.push_back(name);
    if (comma == std::string::npos) return names;
    at = comma + 1;
  }
}

RenderOptions TakeRenderOptions(const std::vector<std::string>& rest, bool quiet) {
  RenderOptions o;
  o.quiet = quiet;
  graph::ArgReader args(rest, Usage);
  while (args.More()) {
    const std::string& a = args.Next();
    if (args.TakeEdit(o)) continue;
    if (a == "--node")
      o.node = args.Value();
    else if (a == "-o") {
      if (!o.output.empty()) Usage("give -o once");
      o.output = args.Value();
    } else if (a == "--frames")
      o.frames = args.Value();
    else if (a == "--bits")
      o.bits = io::ParseBits(args.Value());
    else if (a == "--compression")
      o.compression = args.Value();
    else if (a == "--channels")
      o.channels = ParseChannels(args.Value());
    else if (a == "--premult" || a == "--unpremult") {
      if (o.alpha != io::AlphaChoice::Format) Usage("give one of --premult and --unpremult");
      o.alpha = a == "--premult" ? io::AlphaChoice::Premultiply : io::AlphaChoice::Unpremultiply;
    } else if (a == "--colorspace")
      o.colorspace = args.Value();
    else if (a == "--working-space")
      o.workingSpace = args.Value();
    else if (a == "--out-colorspace")
      o.outColorspace = args.Value();
    else if (a == "--ocio-config")
      o.ocioConfig = args.Value();
    else if (a == "--part")
      o.part = args.Value();
    else if (a == "--frame-offset")
      o.frameOffset = io::WholeNumberOption("--frame-offset", args.Value(), -9999999, 9999999);
    else if (a == "--no-audio")
      o.noAudio = true;
    else if (a == "--save")
      o.save = args.Value();
    else if (a == "--comp")
      o.comp = args.Value();
    else if (a == "--stats")
      o.stats = true;
    else if (a == "--codec")
      o.codec = args.Value();
    else if (a == "--fps")
      o.fps = args.Value();
    else if (a == "--queue")
      o.queue = io::WholeNumberOption("--queue", args.Value(), 0, 64);
    else if (a == "--skip-existing")
      o.skipExisting = true;
    else if (a == "-v" || a == "--verbose")
      o.verbose = true;
    else if (o.tool.empty() && !a.empty() && a[0] != '-')
      o.tool = a;
    else
      Usage("render does not take " + Quoted(a));
  }
  return o;
}

int Run(int argc, char** argv) {
  io::ProgramOptions globals = io::ProgramOptionsFromEnvironment();
  std::string command;
  std::vector<std::string> rest;
  graph::ArgReader args(std::vector<std::string>(argv + 1, argv + argc), Usage);
  while (args.More()) {
    const std::string& a = args.Next();
    if (a == "-h" || a == "--help" || (command.empty() && a == "help")) {
      std::cout << kUsage;
      return 0;
    } else if (a == "--version") {
      std::cout << "orvanta 0.9\n";
      return 0;
    } else if (io::TakeProgramOption(args, globals)) {
      continue;
    } else if (command.empty() && !a.empty() && a[0] != '-') {
      command = a;
    } else {
      rest.push_back(a);
      if (!command.empty() && args.More() && TakesValue(a)) rest.push_back(args.Next());
    }
  }
  if (command.empty()) Usage("no command given");
  if (command != "tools" && command != "info" && command != "render" && command != "demo" &&
      command != "farm" && command != "serve")
    Usage("there is no command " + Quoted(command));
  if (command == "farm")  // loads no plug-ins
    return RunFarm({globals.plugins, globals.threads, globals.memoryBudget}, rest);
  if (command == "serve") RunServe(globals, rest);

  io::InstallSignalCleanup();
  for (const std::string& failure : io::StartHost(globals, ORVANTA_INSTALL_PLUGIN_SUBDIR))
    std::cerr << "orvanta: " << failure << "\n";

  if (command == "tools") {
    bool json = false;
    for (const std::string& a : rest) {
      if (a == "--json")
        json = true;
      else
        Usage("tools does not take " + Quoted(a));
    }
    auto classes = host::Classes();
    PrintTools(std::cout, classes, json);
    if (classes.empty() && !json) std::cerr << "orvanta: no tools are installed\n";
    return 0;
  }
  if (command == "info") {
    bool json = false;
    std::string tool;
    for (const std::string& a : rest) {
      if (a == "--json")
        json = true;
      else if (tool.empty() && !a.empty() && a[0] != '-')
        tool = a;
      else
        Usage("info does not take " + Quoted(a));
    }
    if (tool.empty()) Usage("info needs a tool name");
    const host::ClassInfo* cls = host::FindClass(tool);
    if (!cls) throw Failure("no installed tool is named " + Quoted(tool) + "; 'orvanta tools' lists them");
    host::Node node(*cls);
    PrintInfo(std::cout, node, json);
    return 0;
  }
  if (command == "demo") {
    std::string dir;
    for (const std::string& a : rest) {
      if (dir.empty() && !a.empty() && a[0] != '-')
        dir = a;
      else
        Usage("demo does not take " + Quoted(a));
    }
    int failed = RunDemo(dir.empty() ? "orvanta-demo" : dir);
    if (failed > 0) throw Failure(std::to_string(failed) + " of the demo renders failed");
    return 0;
  }

  Render(TakeRenderOptions(rest, globals.quiet));
  return 0;
}

}  // namespace
}  // namespace orvanta::cli

int main(int argc, char** argv) {
  orvanta::host::KeepFreedImageMemory();  // a sequence frees and makes images at every frame
  try {
    return orvanta::cli::Run(argc, argv);
  } catch (const std::exception& e) {
    orvanta::cli::EndProgressLine();
    std::cerr << "orvanta: " << e.what() << "\n";
    return 1;
  }
}
