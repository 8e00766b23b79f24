#include "farm.h"

#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "orvanta/farm/process.h"
#include "orvanta/farm/render_args.h"
#include "orvanta/host/failure.h"

namespace orvanta::cli {
namespace {
namespace fs = std::filesystem;
using farm::ChunkList;
using farm::CompactRange;
using farm::Job;
using farm::ShellWord;
using farm::SlurmOptions;
using nlohmann::json;

// ---- options ------------------------------------------------------------------------------------

int32_t WholeNumber(const std::string& option, const std::string& s, int32_t lowest) {
  int32_t n = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || p != s.data() + s.size() || n < lowest)
    throw Failure(option + " takes a whole number from " + std::to_string(lowest) + ", not " + Quoted(s));
  return n;
}

struct FarmOptions {
  bool slurm = false, commands = false, scriptOnly = false;
  bool chunkGiven = false;
  size_t chunk = 10;
  std::string dir;
  SlurmOptions sl;
  // Which Slurm options were given, so that a resubmission keeps the others from the job file.
  std::set<std::string> given;
};

// Takes the farm's own options out of args; the rest (in order) is returned.
std::vector<std::string> TakeFarmOptions(const std::vector<std::string>& args, FarmOptions& f,
                                         bool renderArgsFollow) {
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw Failure(a + " needs a value; 'orvanta --help' shows the usage");
      std::string v = args[++i];
      if (v.find('\n') != std::string::npos) throw Failure(a + " takes a value of one line");
      return v;
    };
    auto text = [&](std::string& field) {
      field = value();
      f.given.insert(a);
    };
    if (a == "--slurm")
      f.slurm = true;
    else if (a == "--commands")
      f.commands = true;
    else if (a == "--script-only")
      f.scriptOnly = true;
    else if (a == "--chunk") {
      f.chunk = size_t(WholeNumber("--chunk", value(), 1));
      f.chunkGiven = true;
    } else if (a == "--dir")
      f.dir = value();
    else if (a == "--job-name")
      text(f.sl.jobName);
    else if (a == "--partition")
      text(f.sl.partition);
    else if (a == "--time")
      text(f.sl.time);
    else if (a == "--mem")
      text(f.sl.mem);
    else if (a == "--account")
      text(f.sl.account);
    else if (a == "--qos")
      text(f.sl.qos);
    else if (a == "--cpus-per-task") {
      f.sl.cpusPerTask = WholeNumber("--cpus-per-task", value(), 1);
      f.given.insert(a);
    } else if (a == "--max-running") {
      f.sl.maxRunning = WholeNumber("--max-running", value(), 1);
      f.given.insert(a);
    } else if (a == "--sbatch") {
      f.sl.extra.push_back(value());
      f.given.insert(a);
    } else if (renderArgsFollow && farm::RenderTakesValue(a) && i + 1 < args.size()) {
      rest.push_back(a);
      rest.push_back(args[++i]);
    } else {
      rest.push_back(a);
    }
  }
  return rest;
}

// Slurm options given on this command line replace those of the job file.
void MergeSlurmOptions(SlurmOptions& job, const FarmOptions& f) {
  auto take = [&](const char* opt, auto& to, const auto& from) {
    if (f.given.count(opt)) to = from;
  };
  take("--job-name", job.jobName, f.sl.jobName);
  take("--partition", job.partition, f.sl.partition);
  take("--time", job.time, f.sl.time);
  take("--mem", job.mem, f.sl.mem);
  take("--account", job.account, f.sl.account);
  take("--qos", job.qos, f.sl.qos);
  take("--cpus-per-task", job.cpusPerTask, f.sl.cpusPerTask);
  take("--max-running", job.maxRunning, f.sl.maxRunning);
  take("--sbatch", job.extra, f.sl.extra);
}

// ---- saying what was done -----------------------------------------------------------------------

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + (n == 1 ? one : many);
}

// Says what Launch did: the command lines (stdout) or the script or the Slurm job.
int SayLaunched(const Job& job, const std::vector<size_t>& chunks, const farm::Launched& launched,
                size_t toRender) {
  std::string what = Plural(chunks.size(), " chunk", " chunks") + " (" + ChunkList(chunks) + ") of " +
                     Plural(launched.frames, " frame", " frames");
  if (toRender < launched.frames) what += ", " + std::to_string(toRender) + " of them to render";
  switch (launched.kind) {
    case farm::Launched::Kind::CommandLines:
      for (size_t c : chunks) std::cout << farm::ChunkCommand(job, job.chunks[c]) << "\n";
      std::cerr << "orvanta farm: " << what << " written to " << job.CommandList()
                << ", one command line each\n";
      break;
    case farm::Launched::Kind::ScriptOnly:
      std::cout << "orvanta farm: wrote " << job.Script() << " for " << what << "; submit it with: sbatch "
                << ShellWord(job.Script()) << "\n";
      break;
    case farm::Launched::Kind::Submitted:
      std::cout << "orvanta farm: submitted Slurm job " << launched.jobId << ": " << what
                << "; 'orvanta farm status " << ShellWord(job.dir) << "' reports progress\n";
      break;
  }
  return 0;
}

// Submits the chunks that still have missing or damaged frames and no task queued or running.
int SubmitRest(Job& job, bool scriptOnly) {
  const farm::Remaining r = farm::RemainingChunks(job);
  if (!r.busy.empty())
    std::cerr << "orvanta farm: chunks " << ChunkList(r.busy)
              << " still have tasks queued or running; they are left to them\n";
  if (r.todo.empty()) {
    if (r.busy.empty())
      std::cout << "orvanta farm: all " << r.total << " frames of " << job.dir
                << " are done; nothing to submit\n";
    return 0;
  }
  return SayLaunched(job, r.todo, farm::Launch(job, r.todo, scriptOnly), r.toRender);
}

// ---- the verbs ----------------------------------------------------------------------------------

int Submit(const farm::TaskGlobals& g, const std::vector<std::string>& args) {
  FarmOptions f;
  std::vector<std::string> renderArgs = TakeFarmOptions(args, f, true);
  if (f.slurm == f.commands)
    throw Failure(
        f.slurm ? "give one of --slurm and --commands"
                : "farm submit needs --slurm (a Slurm array job) or --commands (one command line per chunk "
                  "for another farm manager)");
  std::error_code ec;
  farm::JobRequest request;
  request.manager = f.slurm ? "slurm" : "commands";
  request.renderArgs = renderArgs;
  request.cwd = fs::current_path(ec).string();
  request.dir = f.dir;
  request.chunkSize = f.chunk;
  request.slurm = f.sl;
  request.globals = g;
  request.orvanta = farm::RunningProgramPath();
  request.scriptOnly = f.scriptOnly;
  Job job = farm::PlanJob(request);
  // The same render again: only what is missing. Another render: refused, since its frames would
  // be mixed with those already there.
  if (std::optional<Job> old = farm::ExistingJob(job)) {
    MergeSlurmOptions(old->slurm, f);
    farm::RunAsPlanned(*old, job, g, request.cwd);
    return SubmitRest(*old, f.scriptOnly);
  }
  std::vector<size_t> all(job.chunks.size());
  for (size_t c = 0; c < all.size(); ++c) all[c] = c;
  const farm::Launched launched = farm::Launch(job, all, f.scriptOnly);
  return SayLaunched(job, all, launched, launched.frames);
}

int Resubmit(const std::vector<std::string>& args) {
  FarmOptions f;
  std::vector<std::string> rest = TakeFarmOptions(args, f, false);
  if (rest.size() != 1) throw Failure("farm resubmit takes one job file or folder, and Slurm options");
  if (f.chunkGiven || !f.dir.empty() || f.commands || f.slurm)
    throw Failure("farm resubmit keeps the job's chunks, folder and manager; it takes Slurm options only");
  Job job = farm::ReadJob(rest[0]);
  // Tasks run the command that rendered the job's other frames, so that all frames match.
  if (::access(job.orvanta.c_str(), X_OK) != 0)
    throw Failure(
        "the job's command " + job.orvanta +
        " is no longer there; submit the render again with 'orvanta farm submit' into another --dir");
  MergeSlurmOptions(job.slurm, f);
  if (job.manager == "slurm" && !f.scriptOnly) farm::RequireSbatch();
  return SubmitRest(job, f.scriptOnly);
}

// ---- status -------------------------------------------------------------------------------------

std::string TaskName(const farm::JobStatus& st, size_t chunk) {
  auto it = st.tasks.find(chunk);
  return it == st.tasks.end() ? std::string() : it->second.jobId + "_" + std::to_string(chunk);
}

// "D done, M missing (LIST), X damaged (LIST)".
std::string Counts(const farm::ChunkState& s) {
  std::string text =
      std::to_string(s.done.size()) + " done, " + std::to_string(s.missing.size()) + " missing";
  if (!s.missing.empty()) text += " (" + CompactRange(s.missing) + ")";
  text += ", " + std::to_string(s.damaged.size()) + " damaged";
  if (!s.damaged.empty()) text += " (" + CompactRange(s.damaged) + ")";
  return text;
}

void PrintStatusJson(const Job& job, const farm::JobStatus& st, const farm::ChunkState& all) {
  json chunks = json::array();
  for (size_t c = 0; c < st.chunks.size(); ++c) {
    const farm::ChunkState& s = st.chunks[c];
    json j = {{"chunk", c},
              {"frames", job.chunks[c]},
              {"done", s.done.size()},
              {"missing", s.missing.size()},
              {"damaged", s.damaged.size()},
              {"missing_frames", CompactRange(s.missing)},
              {"damaged_frames", CompactRange(s.damaged)}};
    if (auto t = st.tasks.find(c); t != st.tasks.end())
      j["slurm"] = {{"job_id", t->second.jobId}, {"task", TaskName(st, c)}, {"state", t->second.state}};
    chunks.push_back(j);
  }
  json out = {{"job", job.JobFile()},
              {"output", job.output},
              {"frames", all.done.size() + all.missing.size() + all.damaged.size()},
              {"done", all.done.size()},
              {"missing", all.missing.size()},
              {"damaged", all.damaged.size()},
              {"missing_frames", CompactRange(all.missing)},
              {"damaged_frames", CompactRange(all.damaged)},
              {"complete", all.missing.empty() && all.damaged.empty()},
              {"slurm_source", st.source},
              {"chunks", chunks}};
  std::cout << out.dump(2) << "\n";
}

void PrintStatusText(const Job& job, const farm::JobStatus& st, const farm::ChunkState& all) {
  std::vector<std::string> ids;
  for (const farm::Submission& s : job.submissions)
    if (!s.jobId.empty()) ids.push_back(s.jobId);
  std::cout << "job " << job.JobFile() << ": frames " << job.frames << " of " << job.output << ", "
            << job.chunks.size() << " chunks of up to " << job.chunkSize << " frames";
  if (!ids.empty()) {
    std::cout << "; Slurm job" << (ids.size() > 1 ? "s " : " ");
    for (size_t i = 0; i < ids.size(); ++i) std::cout << (i ? ", " : "") << ids[i];
  }
  std::cout << "\n";
  for (size_t c = 0; c < st.chunks.size(); ++c) {
    std::cout << "chunk " << c << ", frames " << job.chunks[c] << ": " << Counts(st.chunks[c]);
    if (auto t = st.tasks.find(c); t != st.tasks.end())
      std::cout << "; Slurm " << TaskName(st, c) << " "
                << (t->second.state.empty() ? "(not listed)" : t->second.state);
    std::cout << "\n";
  }
  std::cout << "total: " << all.done.size() + all.missing.size() + all.damaged.size() << " frames, "
            << Counts(all) << "\n";
  if (job.manager == "slurm" && !ids.empty() && st.source.empty())
    std::cout
        << "(Slurm did not answer: no sacct, scontrol or squeue here, or the jobs are no longer listed)\n";
}

int Status(const std::vector<std::string>& args) {
  bool asJson = false;
  std::string where;
  for (const std::string& a : args) {
    if (a == "--json")
      asJson = true;
    else if (where.empty() && !(a.size() > 1 && a[0] == '-'))
      where = a;
    else
      throw Failure("farm status does not take " + Quoted(a));
  }
  if (where.empty()) throw Failure("farm status needs the job file or the folder holding it");
  const Job job = farm::ReadJob(where);
  const farm::JobStatus st = farm::StatusOf(job);
  farm::ChunkState all;  // every chunk's frames together
  for (const farm::ChunkState& s : st.chunks) {
    all.done.insert(all.done.end(), s.done.begin(), s.done.end());
    all.missing.insert(all.missing.end(), s.missing.begin(), s.missing.end());
    all.damaged.insert(all.damaged.end(), s.damaged.begin(), s.damaged.end());
  }
  if (asJson)
    PrintStatusJson(job, st, all);
  else
    PrintStatusText(job, st, all);
  return all.missing.empty() && all.damaged.empty() ? 0 : 2;
}

}  // namespace

int RunFarm(const farm::TaskGlobals& globals, const std::vector<std::string>& args) {
  if (args.empty()) throw Failure("farm needs submit, resubmit or status; 'orvanta --help' shows the usage");
  const std::string& what = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (what == "submit") return Submit(globals, rest);
  if (what == "resubmit") return Resubmit(rest);
  if (what == "status") return Status(rest);
  throw Failure("farm has no command " + Quoted(what) + "; it has submit, resubmit and status");
}

}  // namespace orvanta::cli
