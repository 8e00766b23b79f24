// `orvanta farm`: splits a sequence render into chunks of frames, runs one farm task per chunk
// (a Slurm array job, or command lines for any other farm manager), and reports which frames are
// done, missing or damaged so that a second submission renders only those.
//
//   orvanta farm submit (--slurm | --commands) [--chunk N] [--dir DIR] [sbatch options] RENDER-ARGS...
//   orvanta farm resubmit JOB [sbatch options]
//   orvanta farm status JOB [--json]
//
// The verbs parse their options and print; the jobs themselves are the farm library's
// (orvanta/farm/submit.h).
#pragma once

#include <string>
#include <vector>

#include "orvanta/farm/submit.h"

namespace orvanta::cli {

// Runs `orvanta farm ARGS...`; returns the exit status (status: 0 when every frame is done, 2
// when some are missing or damaged). Throws Failure for bad input.
int RunFarm(const farm::TaskGlobals& globals, const std::vector<std::string>& args);

}  // namespace orvanta::cli
