// Submitting a farm job and asking after it: a new job planned from render arguments, its chunks
// launched (a Slurm array job, a script alone, or command lines for another farm manager), the
// chunks still to render, and the state of every frame. Front-ends parse their own options and say
// the results in their own words.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/farm/job.h"
#include "orvanta/farm/slurm.h"

namespace orvanta::farm {

// The global options of the submitting command line that tasks must run with too.
struct TaskGlobals {
  std::string plugins;        // --plugins, as given ("" when not)
  int32_t threads = 0;        // --threads, 0 when not given
  uint64_t memoryBudget = 0;  // bytes, from --memory-budget or $ORVANTA_MEMORY_BUDGET; 0 when neither
};

// The global arguments of every task: --plugins made absolute against cwd, --threads (else the
// cores a Slurm task asks for) and --memory-budget in MiB.
std::vector<std::string> GlobalArgs(const TaskGlobals& globals, const SlurmOptions& slurm,
                                    const std::string& cwd);
// What the tasks' environment needs: $ORVANTA_PLUGIN_PATH with its folders made absolute, unless
// --plugins is given.
std::map<std::string, std::string> TaskEnvironment(const TaskGlobals& globals, const std::string& cwd);

struct JobRequest {
  std::string manager;                  // "slurm" or "commands"
  std::vector<std::string> renderArgs;  // as render takes them; relative paths are read from cwd
  std::string cwd;
  std::string dir;  // the job folder; "" for NAME.farm beside the frames
  size_t chunkSize = 10;
  SlurmOptions slurm;
  TaskGlobals globals;
  std::string orvanta;      // the command tasks run (absolute)
  bool scriptOnly = false;  // only write the script: sbatch need not be installed
};

// A new job: the render arguments checked (one sentence for each fault, before anything is
// written), the frames chunked. Reads no job file; throws Failure.
Job PlanJob(const JobRequest& request);

// The job already in the planned job's folder, or nullopt when there is none. Throws Failure when
// it is the job of another render (other arguments, frames, chunk size or manager), whose frames
// would be mixed with these.
std::optional<Job> ExistingJob(const Job& planned);
// The job made to run its tasks as the planned job would: the planned command and environment,
// and the global arguments for the job's own Slurm options.
void RunAsPlanned(Job& job, const Job& planned, const TaskGlobals& globals, const std::string& cwd);

// What Launch did.
struct Launched {
  enum class Kind { CommandLines, ScriptOnly, Submitted };
  Kind kind = Kind::CommandLines;
  size_t frames = 0;  // the launched chunks' frames
  std::string jobId;  // Submitted: Slurm's job id
};
// Writes the script (or, for the commands manager, DIR/commands.sh with one command line per
// chunk) for the chunks, submits it unless scriptOnly, and records the submission in the job
// file. Throws Failure; the job file is written only once the chunks are submitted.
Launched Launch(Job& job, const std::vector<size_t>& chunks, bool scriptOnly);

// The chunks with missing or damaged frames, sorted into those to submit again and those whose
// Slurm task is still queued or running. Reads every frame's file and asks Slurm.
struct Remaining {
  std::vector<size_t> todo, busy;
  size_t total = 0;     // frames of the job
  size_t toRender = 0;  // missing and damaged frames of the todo chunks
};
Remaining RemainingChunks(const Job& job);

// Every chunk's frames on disk and its Slurm task, as Slurm reports it (source: the commands
// that answered).
struct JobStatus {
  std::vector<ChunkState> chunks;
  std::map<size_t, TaskInfo> tasks;
  std::string source;
};
JobStatus StatusOf(const Job& job);

}  // namespace orvanta::farm
