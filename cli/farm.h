// `orvanta farm`: splits a sequence render into chunks of frames, runs one farm task per chunk
// (a Slurm array job, or command lines for any other farm manager), and reports which frames are
// done, missing or damaged so that a second submission renders only those.
//
//   orvanta farm submit (--slurm | --commands) [--chunk N] [--dir DIR] [sbatch options] RENDER-ARGS...
//   orvanta farm resubmit JOB [sbatch options]
//   orvanta farm status JOB [--json]
//
// Every task runs `orvanta [globals] render RENDER-ARGS --frames CHUNK --skip-existing -v`, with
// relative paths of RENDER-ARGS made absolute. A job folder holds job.json (the description
// `status` and `resubmit` read), the Slurm script job.sbatch and the tasks' logs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvanta::cli {

// The global options of the command line that tasks must run with too.
struct FarmGlobals {
  std::string plugins;        // --plugins, as given ("" when not)
  int32_t threads = 0;        // --threads, 0 when not given
  uint64_t memoryBudget = 0;  // bytes, from --memory-budget or $ORVANTA_MEMORY_BUDGET; 0 when neither
};

// Runs `orvanta farm ARGS...`; returns the exit status (status: 0 when every frame is done, 2
// when some are missing or damaged). Throws Failure for bad input.
int RunFarm(const FarmGlobals& globals, const std::vector<std::string>& args);

namespace farm {

// Chunks of at most size frames each, in the list's order. size >= 1.
std::vector<std::vector<int32_t>> Chunk(const std::vector<int32_t>& frames, size_t size);

// The frames without repeats, first occurrence kept.
std::vector<int32_t> Unique(const std::vector<int32_t>& frames);

// A frame list as range text that ParseFrames reads back to the same list, in the same order:
// runs of three or more evenly spaced frames as A-B or A-BxS, two neighbours as A-B, others
// alone ("1-10", "5-9,13", "1-19x2"). "" for no frames.
std::string CompactRange(const std::vector<int32_t>& frames);

// s as one word for a POSIX shell (single quotes where needed).
std::string ShellWord(const std::string& s);

// RENDER-ARGS taken apart: the arguments tasks run render with (relative -i, -o and --comp paths
// made absolute against cwd; --frames, --skip-existing and -v taken out, since each task gets its
// own), and the -o and --frames values. Refuses --save (every task would write it) and arguments
// holding a line break; throws Failure.
struct RenderArgs {
  std::vector<std::string> args;
  std::string output;  // absolute
  std::string frames;  // "" when not given
};
RenderArgs TakeRenderArgs(const std::vector<std::string>& args, const std::string& cwd);

// A path made absolute against cwd and normalised; "" stays "".
std::string Absolute(const std::string& path, const std::string& cwd);
// The value of -i: PATH, or LABEL=PATH (the path after the first '=' unless the whole value
// names an existing file), its path made absolute.
std::string AbsoluteInput(const std::string& spec, const std::string& cwd);

struct SlurmOptions {
  std::string jobName, partition, time, mem, account, qos;
  int32_t cpusPerTask = 0;         // 0: Slurm's default
  int32_t maxRunning = 0;          // array tasks running at once, 0: no limit
  std::vector<std::string> extra;  // --sbatch ARG: more #SBATCH lines, as given
};

struct Submission {
  std::string jobId;  // "" for --script-only and --commands
  std::vector<size_t> chunks;
  std::string time;  // UTC, ISO 8601
};

struct Job {
  std::string dir;                                 // the job folder (absolute)
  std::string manager;                             // "slurm" or "commands"
  std::string orvanta;                             // the command tasks run (absolute)
  std::vector<std::string> globalArgs;             // --plugins, --threads, --memory-budget for the tasks
  std::map<std::string, std::string> environment;  // exported by the script (ORVANTA_PLUGIN_PATH)
  std::vector<std::string> renderArgs;             // as TakeRenderArgs leaves them
  std::string output;                              // -o pattern, absolute
  std::string frames;                              // --frames as given
  size_t chunkSize = 10;
  std::vector<std::string> chunks;  // each chunk's frames as CompactRange text
  SlurmOptions slurm;
  std::vector<Submission> submissions;

  std::string JobFile() const { return dir + "/job.json"; }
  std::string Script() const { return dir + "/job.sbatch"; }
  std::string Logs() const { return dir + "/logs"; }
};

// The command line of one chunk: orvanta, the global options, render, the render arguments,
// --frames CHUNK --skip-existing -v, as shell words.
std::string ChunkCommand(const Job& job, const std::string& frames);

// The sbatch script running the given chunks (by index) as array tasks of the same indices.
std::string SlurmScript(const Job& job, const std::vector<size_t>& chunks);

// Job files: JSON. ReadJob takes the file or the folder holding job.json; throws Failure.
std::string JobJson(const Job& job);
Job ReadJob(const std::string& fileOrFolder);

// Each chunk's frames sorted into done (the file reads back as a whole image), missing (no file)
// and damaged (a file that does not read back whole).
struct ChunkState {
  std::vector<int32_t> done, missing, damaged;
};
std::vector<ChunkState> CheckFrames(const Job& job);

}  // namespace farm
}  // namespace orvanta::cli
