// orvanta-serve: the browser host as a program of its own, which `orvanta serve` runs in its
// place (the command and the server link nothing of each other).
//
//   orvanta-serve [--plugins DIR] [--threads N] [--memory-budget MIB] [-q] SERVE-ARGS...
//
// The global options come first; the rest are the server's (serve.h).
#include <iostream>
#include <string>
#include <vector>

#include "orvanta/graph/edits.h"
#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/program.h"
#include "serve.h"

namespace {

int Run(int argc, char** argv) {
  using namespace orvanta;
  io::ProgramOptions globals = io::ProgramOptionsFromEnvironment();
  graph::ArgReader args(std::vector<std::string>(argv + 1, argv + argc), serve::RefuseArguments);
  std::vector<std::string> rest;  // from the first word that is not a global option on
  while (args.More()) {
    const std::string& a = args.Next();
    if (!rest.empty() || !io::TakeProgramOption(args, globals)) rest.push_back(a);
  }
  io::InstallSignalCleanup();
  for (const std::string& failure : io::StartHost(globals, ORVANTA_INSTALL_PLUGIN_SUBDIR))
    std::cerr << "orvanta: " << failure << "\n";
  return serve::Main(rest);
}

}  // namespace

int main(int argc, char** argv) {
  orvanta::host::KeepFreedImageMemory();
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "orvanta: " << e.what() << "\n";
    return 1;
  }
}
