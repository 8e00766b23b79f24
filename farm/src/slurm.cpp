#include "orvanta/farm/slurm.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "orvanta/farm/process.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/sequence.h"

namespace orvanta::farm {
namespace {

// A value on an #SBATCH line: sbatch reads double quotes, backslash escapes, and '#' as the start
// of a comment outside quotes.
std::string SbatchValue(const std::string& v) {
  std::string q = "\"";
  for (char c : v) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

std::string OneLine(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

}  // namespace

// ---- the script ---------------------------------------------------------------------------------

std::string SlurmScript(const Job& job, const std::vector<size_t>& chunks) {
  const SlurmOptions& s = job.slurm;
  std::ostringstream o;
  o << "#!/bin/bash\n"
    << "# orvanta farm job: frames " << job.frames << " of " << job.output << ",\n"
    << "# " << job.chunks.size() << " chunks of up to " << job.chunkSize
    << " frames, one Slurm array task per chunk (the task id is the chunk's index).\n"
    << "# Written by `orvanta farm submit`; `orvanta farm status " << job.dir << "` reports on the frames\n"
    << "# and `orvanta farm resubmit " << job.dir << "` renders those still missing.\n";
  auto line = [&](const std::string& option, const std::string& value) {
    if (!value.empty()) o << "#SBATCH " << option << "=" << SbatchValue(value) << "\n";
  };
  line("--job-name", s.jobName);
  line("--array", ChunkList(chunks) + (s.maxRunning > 0 ? "%" + std::to_string(s.maxRunning) : ""));
  std::string logs = job.Logs();
  std::string escaped;
  for (char c : logs) escaped += c == '%' ? std::string("%%") : std::string(1, c);
  line("--output", escaped + "/task-%A_%a.log");
  line("--chdir", job.dir);
  line("--partition", s.partition);
  line("--time", s.time);
  line("--cpus-per-task", s.cpusPerTask > 0 ? std::to_string(s.cpusPerTask) : "");
  line("--mem", s.mem);
  line("--account", s.account);
  line("--qos", s.qos);
  for (const std::string& extra : s.extra) o << "#SBATCH " << extra << "\n";
  o << "set -eu\n"
    << "chunks=(\n";
  for (size_t i = 0; i < job.chunks.size(); ++i)
    o << "  " << ShellWord(job.chunks[i]) << "  # chunk " << i << "\n";
  o << ")\n"
    << "task=${SLURM_ARRAY_TASK_ID:?this script runs as a Slurm array task: submit it with sbatch}\n"
    << "frames=${chunks[$task]}\n"
    << "echo \"orvanta farm: chunk $task, frames $frames, on $(hostname)\"\n";
  for (const auto& [name, value] : job.environment) o << "export " << name << "=" << ShellWord(value) << "\n";
  std::vector<std::string> words = TaskWords(job, "@FRAMES@");
  std::string cmd;
  for (const std::string& w : words) {
    if (!cmd.empty()) cmd += ' ';
    cmd += w == "@FRAMES@" ? std::string("\"$frames\"") : ShellWord(w);
  }
  o << "exec " << cmd << "\n";
  return o.str();
}

// ---- submitting ---------------------------------------------------------------------------------

void RequireSbatch() {
  if (FindOnPath("sbatch").empty())
    throw Failure(
        "cannot submit: sbatch is not on PATH; install Slurm's client commands, or give --script-only to "
        "write the script alone");
}

std::string SubmitScript(const std::string& script) {
  ProgramResult r = RunProgram({"sbatch", "--parsable", script}, 120);
  if (!r.started) throw Failure("cannot run sbatch: it is not on PATH or cannot be started");
  if (r.timedOut)
    throw Failure("sbatch did not answer within 120 seconds; the job may not have been submitted");
  std::string id = r.out.substr(0, r.out.find_first_of(";\n"));
  id.erase(std::remove_if(id.begin(), id.end(), [](unsigned char c) { return std::isspace(c); }), id.end());
  if (r.status != 0 || id.empty() || !std::all_of(id.begin(), id.end(), ::isdigit))
    throw Failure("sbatch refused " + script + ": " + OneLine(r.err.empty() ? r.out : r.err));
  return id;
}

// ---- what Slurm says ------------------------------------------------------------------------------

std::map<size_t, std::string> TaskStates(const std::string& jobId, std::string& source) {
  std::map<size_t, std::string> states;
  auto addTasks = [&](std::string ids, const std::string& state) {
    if (size_t pct = ids.find('%'); pct != std::string::npos) ids.erase(pct);
    ids.erase(std::remove(ids.begin(), ids.end(), '['), ids.end());
    ids.erase(std::remove(ids.begin(), ids.end(), ']'), ids.end());
    try {
      for (int32_t t : io::ParseFrames(ids)) states[size_t(t)] = state;
    } catch (const Failure&) {
    }
  };
  auto firstWord = [](const std::string& s) { return s.substr(0, s.find_first_of(" \t")); };
  source.clear();

  ProgramResult r = RunProgram({"sacct", "-n", "-P", "-X", "-j", jobId, "-o", "JobID,State"}, 20);
  if (r.started && !r.timedOut && r.status == 0) {
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) {
      size_t bar = l.find('|'), under = l.find('_');
      if (bar == std::string::npos || under == std::string::npos || under > bar) continue;
      addTasks(l.substr(under + 1, bar - under - 1), firstWord(l.substr(bar + 1)));
    }
    if (!states.empty()) {
      source = "sacct";
      return states;
    }
  }
  r = RunProgram({"scontrol", "-o", "show", "job", jobId}, 20);
  if (r.started && !r.timedOut && r.status == 0) {
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) {
      auto field = [&](const std::string& key) -> std::string {
        size_t p = l.find(" " + key + "=");
        if (p == std::string::npos) return "";
        p += key.size() + 2;
        return l.substr(p, l.find(' ', p) - p);
      };
      std::string ids = field("ArrayTaskId"), state = field("JobState");
      if (!ids.empty() && !state.empty()) addTasks(ids, state);
    }
    if (!states.empty()) {
      source = "scontrol";
      return states;
    }
  }
  r = RunProgram({"squeue", "-h", "-r", "-j", jobId, "-o", "%K|%T"}, 20);
  if (r.started && !r.timedOut && r.status == 0) {
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) {
      size_t bar = l.find('|');
      if (bar != std::string::npos) addTasks(l.substr(0, bar), firstWord(l.substr(bar + 1)));
    }
    source = "squeue";
  }
  return states;
}

bool IsActive(const std::string& state) {
  for (const char* s : {"PENDING", "RUNNING", "CONFIGURING", "COMPLETING", "REQUEUED", "REQUEUE_HOLD",
                        "REQUEUE_FED", "RESIZING", "SUSPENDED", "STOPPED", "SIGNALING", "STAGE_OUT"})
    if (state == s) return true;
  return false;
}

std::map<size_t, TaskInfo> ChunkTasks(const Job& job, std::string& source) {
  std::map<size_t, TaskInfo> tasks;
  source.clear();
  if (job.manager != "slurm") return tasks;
  std::map<std::string, std::map<size_t, std::string>> byJob;
  for (auto s = job.submissions.rbegin(); s != job.submissions.rend(); ++s) {
    if (s->jobId.empty()) continue;
    for (size_t c : s->chunks) {
      if (tasks.count(c)) continue;
      if (!byJob.count(s->jobId)) {
        std::string from;
        byJob[s->jobId] = TaskStates(s->jobId, from);
        if (!from.empty() && source.find(from) == std::string::npos)
          source += (source.empty() ? "" : ", ") + from;
      }
      auto& states = byJob[s->jobId];
      tasks[c] = {s->jobId, states.count(c) ? states[c] : ""};
    }
  }
  return tasks;
}

}  // namespace orvanta::farm
