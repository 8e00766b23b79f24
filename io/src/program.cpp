#include "orvanta/io/program.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>

#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"
#include "orvanta/io/plugins.h"

namespace orvanta::io {
namespace fs = std::filesystem;
namespace {

uint64_t ParseBudget(const std::string& s, const char* where) {
  uint64_t mib = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), mib);
  if (ec != std::errc() || p != s.data() + s.size() || mib < 1 || mib > (uint64_t(1) << 40))
    throw Failure(std::string(where) + " takes a whole number of mebibytes from 1, not " + Quoted(s));
  return mib << 20;
}

}  // namespace

ProgramOptions ProgramOptionsFromEnvironment() {
  ProgramOptions o;
  if (const char* env = std::getenv("ORVANTA_MEMORY_BUDGET"); env && *env)
    o.memoryBudget = ParseBudget(env, "ORVANTA_MEMORY_BUDGET");
  return o;
}

bool TakeProgramOption(graph::ArgReader& args, ProgramOptions& o) {
  const std::string& word = args.Current();
  if (word == "--plugins")
    o.plugins = args.Value();
  else if (word == "--threads")
    o.threads = WholeNumberOption("--threads", args.Value(), 1, 1024);
  else if (word == "--memory-budget")
    o.memoryBudget = ParseBudget(args.Value(), "--memory-budget");
  else if (word == "-q" || word == "--quiet")
    o.quiet = true;
  else
    return false;
  return true;
}

int32_t WholeNumberOption(const std::string& option, const std::string& s, int32_t lowest, int32_t highest) {
  int32_t n = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || p != s.data() + s.size() || n < lowest || n > highest)
    throw Failure(option + " takes a whole number from " + std::to_string(lowest) + " to " +
                  std::to_string(highest) + ", not " + Quoted(s));
  return n;
}

std::string ProgramDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::vector<std::string> StartHost(const ProgramOptions& o, const std::string& installSubdir) {
  const fs::path dir = ProgramDir();
  std::vector<std::string> failures = LoadPlugins(
      PluginDirs(o.plugins, (dir / ".." / installSubdir).string(), (dir / ".." / "lib").string()));
  if (o.threads > 0) host::SetThreadCount(o.threads);
  if (o.memoryBudget > 0) host::SetImageBudget(o.memoryBudget);
  return failures;
}

}  // namespace orvanta::io
