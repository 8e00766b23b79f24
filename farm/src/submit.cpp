#include "orvanta/farm/submit.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "orvanta/farm/render_args.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/sequence.h"

namespace orvanta::farm {
namespace fs = std::filesystem;

namespace {

std::string NowUtc() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// The -o file name up to its frame pattern, without trailing separators: "shot" for shot.#.exr.
std::string OutputStem(const std::string& output) {
  const std::string name = fs::path(output).filename().string();
  const std::string zero = io::FramePath(name, 0);
  size_t n = 0;
  while (n < name.size() && n < zero.size() && name[n] == zero[n]) ++n;
  std::string stem = name.substr(0, n);
  while (!stem.empty() && std::strchr("._- ", stem.back())) stem.pop_back();
  return stem.empty() ? "frames" : stem;
}

// Every value of the job that reaches the script or the command list, named by where it came from.
void RefuseLineBreaksInJob(const Job& job) {
  RefuseLineBreaks(job.orvanta, "the path of the orvanta command");
  RefuseLineBreaks(job.dir, "a job folder (--dir)");
  for (size_t i = 0; i < job.globalArgs.size(); ++i)
    RefuseLineBreaks(job.globalArgs[i], i > 0 ? job.globalArgs[i - 1] : std::string("global options"));
  for (const auto& [name, value] : job.environment) RefuseLineBreaks(value, "$" + name);
  for (const std::string& a : job.renderArgs) RefuseLineBreaks(a, "render arguments");
  RefuseLineBreaks(job.output, "-o");
  RefuseLineBreaks(job.frames, "--frames");
  const SlurmOptions& s = job.slurm;
  const std::pair<const std::string*, const char*> options[] = {
      {&s.jobName, "--job-name"}, {&s.partition, "--partition"}, {&s.time, "--time"},
      {&s.mem, "--mem"},          {&s.account, "--account"},     {&s.qos, "--qos"}};
  for (const auto& [value, option] : options) RefuseLineBreaks(*value, option);
  for (const std::string& e : s.extra) RefuseLineBreaks(e, "--sbatch");
}

}  // namespace

// ---- what tasks run with --------------------------------------------------------------------------

std::vector<std::string> GlobalArgs(const TaskGlobals& g, const SlurmOptions& sl, const std::string& cwd) {
  std::vector<std::string> a;
  if (!g.plugins.empty()) a.insert(a.end(), {"--plugins", Absolute(g.plugins, cwd)});
  int32_t threads = g.threads > 0 ? g.threads : sl.cpusPerTask;  // a task uses the cores it asked for
  if (threads > 0) a.insert(a.end(), {"--threads", std::to_string(threads)});
  if (g.memoryBudget > 0)
    a.insert(a.end(), {"--memory-budget", std::to_string(std::max<uint64_t>(1, g.memoryBudget >> 20))});
  return a;
}

std::map<std::string, std::string> TaskEnvironment(const TaskGlobals& g, const std::string& cwd) {
  std::map<std::string, std::string> env;
  const char* path = std::getenv("ORVANTA_PLUGIN_PATH");
  if (!g.plugins.empty() || !path || !*path) return env;
  std::string list = path, abs;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t colon = list.find(':', pos);
    std::string d = list.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    if (!d.empty()) abs += (abs.empty() ? "" : ":") + Absolute(d, cwd);
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  env["ORVANTA_PLUGIN_PATH"] = abs;
  return env;
}

// ---- a new job --------------------------------------------------------------------------------

Job PlanJob(const JobRequest& q) {
  RenderArgs r = TakeRenderArgs(q.renderArgs, q.cwd);
  if (r.output.empty())
    throw Failure(
        "farm submit needs -o with a frame pattern (# or %04d), such as -o out.#.exr, so that each frame has "
        "a file of its own");
  if (!io::HasFramePattern(r.output))
    throw Failure("farm submit needs a frame pattern (# or %04d) in the -o path " + r.output +
                  ", so that each frame has a file of its own");
  if (r.frames.empty())
    throw Failure(
        "farm submit needs --frames RANGE, such as --frames 1-100: the frames to split into chunks");
  const std::vector<int32_t> frames = Unique(io::ParseFrames(r.frames));
  if (!NamesWhatToRender(r.args))
    throw Failure("farm submit needs what render renders: a TOOL, or --comp COMP");
  std::error_code ec;
  const fs::path outDir = fs::path(r.output).parent_path();
  if (!fs::is_directory(outDir, ec))
    throw Failure("cannot render to " + r.output + ": the folder " + outDir.string() + " does not exist");
  if (q.manager == "slurm" && !q.scriptOnly) RequireSbatch();

  Job job;
  job.dir = q.dir.empty() ? (outDir / (OutputStem(r.output) + ".farm")).string() : Absolute(q.dir, q.cwd);
  job.manager = q.manager;
  job.orvanta = q.orvanta;
  job.renderArgs = r.args;
  job.output = r.output;
  job.frames = r.frames;
  job.chunkSize = q.chunkSize;
  for (const auto& c : Chunk(frames, q.chunkSize)) job.chunks.push_back(CompactRange(c));
  job.slurm = q.slurm;
  if (job.slurm.jobName.empty()) job.slurm.jobName = "orvanta-" + OutputStem(r.output);
  job.globalArgs = GlobalArgs(q.globals, job.slurm, q.cwd);
  job.environment = TaskEnvironment(q.globals, q.cwd);
  RefuseLineBreaksInJob(job);
  return job;
}

std::optional<Job> ExistingJob(const Job& planned) {
  std::error_code ec;
  if (!fs::exists(planned.JobFile(), ec)) return std::nullopt;
  Job old = ReadJob(planned.JobFile());
  if (old.renderArgs != planned.renderArgs || old.frames != planned.frames ||
      old.chunkSize != planned.chunkSize || old.manager != planned.manager)
    throw Failure(planned.dir +
                  " already holds the farm job of another render (other arguments, frames or chunk size); "
                  "give another --dir, or remove that folder and the frames to start over");
  return old;
}

void RunAsPlanned(Job& job, const Job& planned, const TaskGlobals& globals, const std::string& cwd) {
  job.orvanta = planned.orvanta;
  job.globalArgs = GlobalArgs(globals, job.slurm, cwd);
  job.environment = planned.environment;
}

// ---- launching chunks -----------------------------------------------------------------------------

Launched Launch(Job& job, const std::vector<size_t>& chunks, bool scriptOnly) {
  RefuseLineBreaksInJob(job);  // also a job file edited by hand, or resubmitted with other options
  std::error_code ec;
  fs::create_directories(job.Logs(), ec);
  if (ec) throw Failure("cannot make the job folder " + job.Logs() + ": " + ec.message());
  Submission sub{"", chunks, NowUtc()};
  Launched launched;
  for (size_t c : chunks) launched.frames += io::ParseFrames(job.chunks[c]).size();
  if (job.manager == "commands") {
    std::string text = "# orvanta farm job " + job.JobFile() +
                       ": one command line per chunk; any farm manager\n"
                       "# may run them, in any order and on any machine that sees the same files.\n";
    for (size_t c : chunks) text += ChunkCommand(job, job.chunks[c]) + "\n";
    WriteTextFile(job.CommandList(), text, true);
    launched.kind = Launched::Kind::CommandLines;
  } else {
    WriteTextFile(job.Script(), SlurmScript(job, chunks), true);
    if (scriptOnly) {
      launched.kind = Launched::Kind::ScriptOnly;
    } else {
      sub.jobId = launched.jobId = SubmitScript(job.Script());
      launched.kind = Launched::Kind::Submitted;
    }
  }
  job.submissions.push_back(sub);
  WriteTextFile(job.JobFile(), JobJson(job));
  return launched;
}

Remaining RemainingChunks(const Job& job) {
  const std::vector<ChunkState> states = CheckFrames(job);
  std::string source;
  std::map<size_t, TaskInfo> tasks = ChunkTasks(job, source);
  Remaining r;
  for (size_t c = 0; c < states.size(); ++c) {
    r.total += states[c].done.size() + states[c].missing.size() + states[c].damaged.size();
    if (states[c].missing.empty() && states[c].damaged.empty()) continue;
    if (tasks.count(c) && IsActive(tasks[c].state)) {
      r.busy.push_back(c);
    } else {
      r.todo.push_back(c);
      r.toRender += states[c].missing.size() + states[c].damaged.size();
    }
  }
  return r;
}

JobStatus StatusOf(const Job& job) {
  JobStatus s;
  s.chunks = CheckFrames(job);
  s.tasks = ChunkTasks(job, s.source);
  return s;
}

}  // namespace orvanta::farm
