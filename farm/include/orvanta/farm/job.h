// A farm job: a sequence render split into chunks of frames, one farm task per chunk, each
// running `orvanta [globals] render RENDER-ARGS --frames CHUNK --skip-existing -v`. A job folder
// holds job.json (this model as JSON), the Slurm script job.sbatch and the tasks' logs.
//
// Nothing here parses a command line or prints: front-ends do. Functions that touch files say so;
// all of them may be called from any thread on different jobs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvanta::farm {

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
  std::string CommandList() const { return dir + "/commands.sh"; }  // the commands manager's
};

// ---- frames -----------------------------------------------------------------------------------

// Chunks of at most size frames each, in the list's order. size >= 1.
std::vector<std::vector<int32_t>> Chunk(const std::vector<int32_t>& frames, size_t size);

// The frames without repeats, first occurrence kept.
std::vector<int32_t> Unique(const std::vector<int32_t>& frames);

// A frame list as range text that ParseFrames reads back to the same list, in the same order:
// runs of three or more evenly spaced frames as A-B or A-BxS, two neighbours as A-B, others
// alone ("1-10", "5-9,13", "1-19x2"). "" for no frames.
std::string CompactRange(const std::vector<int32_t>& frames);

// Chunk indices as CompactRange text ("0-3", "1,3").
std::string ChunkList(const std::vector<size_t>& chunks);

// ---- the tasks' command line --------------------------------------------------------------------

// s as one word for a POSIX shell (single quotes where needed).
std::string ShellWord(const std::string& s);

// The words one chunk's task runs: orvanta, the global options, render, the render arguments,
// --frames FRAMES --skip-existing -v.
std::vector<std::string> TaskWords(const Job& job, const std::string& frames);

// The command line of one chunk: the job's environment, then TaskWords as shell words.
std::string ChunkCommand(const Job& job, const std::string& frames);

// ---- job files --------------------------------------------------------------------------------

// Job files: JSON. ReadJob takes the file or the folder holding job.json; throws Failure.
std::string JobJson(const Job& job);
Job ReadJob(const std::string& fileOrFolder);

// Writes text to path through a temporary file in the same folder and a rename, so the name never
// holds half a file; executable makes it runnable. Throws Failure.
void WriteTextFile(const std::string& path, const std::string& text, bool executable = false);

// ---- the frames on disk -------------------------------------------------------------------------

// Each chunk's frames sorted into done (the file reads back as a whole image), missing (no file)
// and damaged (a file that does not read back whole). Reads every frame's file.
struct ChunkState {
  std::vector<int32_t> done, missing, damaged;
};
std::vector<ChunkState> CheckFrames(const Job& job);

}  // namespace orvanta::farm
