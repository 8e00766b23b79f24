// Running the farm manager's commands: a program found on PATH, its output kept, with a time
// limit. Safe from any thread; each call waits for its own program only.
#pragma once

#include <string>
#include <vector>

namespace orvanta::farm {

struct ProgramResult {
  bool started = false;   // false: not on PATH, or it could not be started
  bool timedOut = false;  // killed after the time limit
  int status = -1;        // exit status, or 128 + the signal that ended it
  std::string out, err;
};

// Runs argv[0], found on PATH, with this process's environment and its stdin from /dev/null;
// gives up (and kills it) after timeoutSeconds. Never throws for the program's own failure.
ProgramResult RunProgram(const std::vector<std::string>& argv, int timeoutSeconds);

// The executable file name names in a folder of $PATH, or "".
std::string FindOnPath(const std::string& name);

// The running program's own file (from /proc/self/exe); throws Failure when it cannot be read.
std::string RunningProgramPath();

}  // namespace orvanta::farm
