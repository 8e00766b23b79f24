// The global options every program of the command takes, read wherever they stand, and their
// bounds.
#include <cstdlib>
#include <stdexcept>

#include "orvanta/host/failure.h"
#include "orvanta/io/program.h"
#include "support.h"

namespace orvanta {
namespace {

auto Throw = [](const std::string& why) { throw std::invalid_argument(why); };

// The options of words, and the words that are not global options.
std::vector<std::string> Read(const std::vector<std::string>& words, io::ProgramOptions& o) {
  graph::ArgReader args(words, Throw);
  std::vector<std::string> rest;
  while (args.More()) {
    const std::string& a = args.Next();
    if (!io::TakeProgramOption(args, o)) rest.push_back(a);
  }
  return rest;
}

std::string Refusal(const std::vector<std::string>& words) {
  io::ProgramOptions o;
  try {
    Read(words, o);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(ProgramOptions, GlobalOptionsAreTakenWhereverTheyStand) {
  io::ProgramOptions o;
  EXPECT_EQ(Read({"--threads", "3", "render", "--memory-budget", "2", "-q", "--plugins", "my tools", "x"}, o),
            (std::vector<std::string>{"render", "x"}));
  EXPECT_EQ(o.threads, 3);
  EXPECT_EQ(o.memoryBudget, uint64_t(2) << 20);
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.plugins, "my tools");

  for (const char* bad : {"0", "1025", "two", "3x", ""})
    EXPECT_EQ(Refusal({"--threads", bad}),
              "--threads takes a whole number from 1 to 1024, not \"" + std::string(bad) + "\"");
  EXPECT_EQ(Refusal({"--memory-budget", "0"}),
            "--memory-budget takes a whole number of mebibytes from 1, not \"0\"");
  EXPECT_EQ(Refusal({"--plugins"}), "--plugins needs a value");
}

TEST(ProgramOptions, TheBudgetMayComeFromTheEnvironment) {
  ::setenv("ORVANTA_MEMORY_BUDGET", "5", 1);
  EXPECT_EQ(io::ProgramOptionsFromEnvironment().memoryBudget, uint64_t(5) << 20);
  ::setenv("ORVANTA_MEMORY_BUDGET", "lots", 1);
  EXPECT_THROW(io::ProgramOptionsFromEnvironment(), Failure);
  ::unsetenv("ORVANTA_MEMORY_BUDGET");
  EXPECT_EQ(io::ProgramOptionsFromEnvironment().memoryBudget, 0u);
}

}  // namespace
}  // namespace orvanta
