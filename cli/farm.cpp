#include "farm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "orvanta/host/failure.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/sequence.h"

extern char** environ;

namespace orvanta::cli {
namespace fs = std::filesystem;
using nlohmann::json;

namespace farm {

// ---- frames -----------------------------------------------------------------------------------

std::vector<std::vector<int32_t>> Chunk(const std::vector<int32_t>& frames, size_t size) {
  std::vector<std::vector<int32_t>> chunks;
  if (size < 1) size = 1;
  for (size_t i = 0; i < frames.size(); i += size)
    chunks.emplace_back(frames.begin() + ptrdiff_t(i),
                        frames.begin() + ptrdiff_t(std::min(frames.size(), i + size)));
  return chunks;
}

std::vector<int32_t> Unique(const std::vector<int32_t>& frames) {
  std::vector<int32_t> out;
  std::set<int32_t> seen;
  for (int32_t f : frames)
    if (seen.insert(f).second) out.push_back(f);
  return out;
}

std::string CompactRange(const std::vector<int32_t>& f) {
  std::string text;
  auto add = [&](const std::string& part) { text += (text.empty() ? "" : ",") + part; };
  size_t i = 0;
  while (i < f.size()) {
    const int64_t step = i + 1 < f.size() ? int64_t(f[i + 1]) - f[i] : 0;
    if (i + 2 < f.size() && step > 0 && int64_t(f[i + 2]) - f[i + 1] == step) {
      size_t j = i + 2;
      while (j + 1 < f.size() && int64_t(f[j + 1]) - f[j] == step) ++j;
      add(std::to_string(f[i]) + "-" + std::to_string(f[j]) + (step == 1 ? "" : "x" + std::to_string(step)));
      i = j + 1;
    } else if (step == 1) {
      add(std::to_string(f[i]) + "-" + std::to_string(f[i + 1]));
      i += 2;
    } else {
      add(std::to_string(f[i]));
      ++i;
    }
  }
  return text;
}

// ---- words and paths --------------------------------------------------------------------------

std::string ShellWord(const std::string& s) {
  if (!s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("-_./=:,+@%", c) != nullptr;
      }))
    return s;
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Absolute(const std::string& path, const std::string& cwd) {
  if (path.empty()) return path;
  fs::path p(path);
  if (p.is_relative()) p = fs::path(cwd) / p;
  return p.lexically_normal().string();
}

std::string AbsoluteInput(const std::string& spec, const std::string& cwd) {
  size_t eq = spec.find('=');
  std::error_code ec;
  if (eq == std::string::npos || fs::exists(fs::path(cwd) / spec, ec) || fs::exists(spec, ec))
    return Absolute(spec, cwd);
  const std::string path = spec.substr(eq + 1);
  return spec.substr(0, eq + 1) + Absolute(path, cwd);
}

namespace {

// Options of render that take a value.
bool RenderTakesValue(const std::string& a) {
  return a == "-i" || a == "-s" || a == "-x" || a == "-o" || a == "--frames" || a == "--bits" ||
         a == "--save" || a == "--comp" || a == "--node";
}

}  // namespace

RenderArgs TakeRenderArgs(const std::vector<std::string>& args, const std::string& cwd) {
  RenderArgs r;
  // The arguments go into a script and a command list line by line.
  for (const std::string& a : args)
    if (a.find('\n') != std::string::npos || a.find('\r') != std::string::npos)
      throw Failure("farm submit takes arguments of one line each, not " +
                    Quoted(a.substr(0, a.find_first_of("\r\n"))) + "...");
  if (cwd.find('\n') != std::string::npos)
    throw Failure("farm submit cannot run in a folder whose path holds a line break");
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--skip-existing" || a == "-v" || a == "--verbose") continue;  // every task gets them
    if (!RenderTakesValue(a)) {
      r.args.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) throw Failure(a + " needs a value; 'orvanta --help' shows the usage");
    const std::string& v = args[++i];
    if (a == "--frames") {
      r.frames = v;
      continue;
    }
    // Every task would write the same composition file again.
    if (a == "--save")
      throw Failure(
          "farm submit renders frames only; write the composition with 'orvanta render --save' first");
    r.args.push_back(a);
    if (a == "-i") {
      r.args.push_back(AbsoluteInput(v, cwd));
    } else if (a == "-o") {
      if (!r.output.empty()) throw Failure("give -o once");
      r.output = Absolute(v, cwd);
      r.args.push_back(r.output);
    } else if (a == "--comp") {
      r.args.push_back(Absolute(v, cwd));
    } else {
      r.args.push_back(v);
    }
  }
  return r;
}

// ---- the tasks' command line and script ---------------------------------------------------------

namespace {

std::vector<std::string> CommandWords(const Job& job, const std::string& frames) {
  std::vector<std::string> w{job.orvanta};
  w.insert(w.end(), job.globalArgs.begin(), job.globalArgs.end());
  w.push_back("render");
  w.insert(w.end(), job.renderArgs.begin(), job.renderArgs.end());
  w.insert(w.end(), {"--frames", frames, "--skip-existing", "-v"});
  return w;
}

std::string Join(const std::vector<std::string>& words) {
  std::string s;
  for (const std::string& w : words) {
    if (!s.empty()) s += ' ';
    s += ShellWord(w);
  }
  return s;
}

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

std::string ChunkIndices(const std::vector<size_t>& chunks) {
  std::vector<int32_t> ids(chunks.begin(), chunks.end());
  return CompactRange(ids);
}

}  // namespace

std::string ChunkCommand(const Job& job, const std::string& frames) {
  std::string env;
  for (const auto& [name, value] : job.environment) env += name + "=" + ShellWord(value) + " ";
  return env + Join(CommandWords(job, frames));
}

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
  line("--array", ChunkIndices(chunks) + (s.maxRunning > 0 ? "%" + std::to_string(s.maxRunning) : ""));
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
  std::vector<std::string> words = CommandWords(job, "@FRAMES@");
  std::string cmd;
  for (const std::string& w : words) {
    if (!cmd.empty()) cmd += ' ';
    cmd += w == "@FRAMES@" ? std::string("\"$frames\"") : ShellWord(w);
  }
  o << "exec " << cmd << "\n";
  return o.str();
}

// ---- job files --------------------------------------------------------------------------------

std::string JobJson(const Job& job) {
  json subs = json::array();
  for (const Submission& s : job.submissions)
    subs.push_back({{"job_id", s.jobId}, {"chunks", s.chunks}, {"time", s.time}});
  const SlurmOptions& o = job.slurm;
  json j = {
      {"orvanta_farm", 1},
      {"manager", job.manager},
      {"orvanta", job.orvanta},
      {"global_args", job.globalArgs},
      {"environment", job.environment},
      {"render_args", job.renderArgs},
      {"output", job.output},
      {"frames", job.frames},
      {"chunk_size", job.chunkSize},
      {"chunks", job.chunks},
      {"script", job.Script()},
      {"logs", job.Logs()},
      {"slurm",
       {{"job_name", o.jobName},
        {"partition", o.partition},
        {"time", o.time},
        {"mem", o.mem},
        {"account", o.account},
        {"qos", o.qos},
        {"cpus_per_task", o.cpusPerTask},
        {"max_running", o.maxRunning},
        {"extra", o.extra}}},
      {"submissions", subs},
  };
  return j.dump(2) + "\n";
}

Job ReadJob(const std::string& fileOrFolder) {
  std::error_code ec;
  fs::path file = fileOrFolder;
  if (fs::is_directory(file, ec)) file /= "job.json";
  if (!fs::exists(file, ec))
    throw Failure("there is no farm job file " + file.string() + "; 'orvanta farm submit' writes one");
  std::ifstream in(file);
  std::stringstream ss;
  ss << in.rdbuf();
  Job job;
  try {
    json j = json::parse(ss.str());
    if (j.value("orvanta_farm", 0) != 1) throw Failure(file.string() + " is not an orvanta farm job file");
    job.dir = fs::absolute(file, ec).parent_path().lexically_normal().string();
    job.manager = j.at("manager").get<std::string>();
    job.orvanta = j.at("orvanta").get<std::string>();
    job.globalArgs = j.at("global_args").get<std::vector<std::string>>();
    job.environment = j.value("environment", std::map<std::string, std::string>{});
    job.renderArgs = j.at("render_args").get<std::vector<std::string>>();
    job.output = j.at("output").get<std::string>();
    job.frames = j.at("frames").get<std::string>();
    job.chunkSize = j.at("chunk_size").get<size_t>();
    job.chunks = j.at("chunks").get<std::vector<std::string>>();
    const json& o = j.at("slurm");
    job.slurm.jobName = o.value("job_name", "");
    job.slurm.partition = o.value("partition", "");
    job.slurm.time = o.value("time", "");
    job.slurm.mem = o.value("mem", "");
    job.slurm.account = o.value("account", "");
    job.slurm.qos = o.value("qos", "");
    job.slurm.cpusPerTask = o.value("cpus_per_task", 0);
    job.slurm.maxRunning = o.value("max_running", 0);
    job.slurm.extra = o.value("extra", std::vector<std::string>{});
    for (const json& s : j.at("submissions"))
      job.submissions.push_back({s.at("job_id").get<std::string>(), s.at("chunks").get<std::vector<size_t>>(),
                                 s.value("time", "")});
  } catch (const json::exception& e) {
    throw Failure(file.string() + " is not a readable farm job file: " + e.what());
  }
  for (const std::string& c : job.chunks) (void)io::ParseFrames(c);  // throws for a damaged list
  if (job.manager != "slurm" && job.manager != "commands")
    throw Failure(file.string() + " names the farm manager " + Quoted(job.manager) +
                  ", which orvanta does not know");
  return job;
}

std::vector<ChunkState> CheckFrames(const Job& job) {
  std::vector<ChunkState> states;
  for (const std::string& chunk : job.chunks) {
    ChunkState s;
    for (int32_t f : io::ParseFrames(chunk)) {
      switch (io::CheckImageFile(io::FramePath(job.output, f))) {
        case io::FileState::Complete:
          s.done.push_back(f);
          break;
        case io::FileState::Missing:
          s.missing.push_back(f);
          break;
        case io::FileState::Damaged:
          s.damaged.push_back(f);
          break;
      }
    }
    states.push_back(std::move(s));
  }
  return states;
}

}  // namespace farm

// ---- running Slurm's commands -------------------------------------------------------------------

namespace {
using namespace farm;

struct Ran {
  bool started = false;
  bool timedOut = false;
  int status = -1;
  std::string out, err;
};

// Runs a program found on PATH with the command's environment, its stdin from /dev/null; gives up
// (and kills it) after timeout seconds.
Ran RunProgram(const std::vector<std::string>& argv, int timeoutSeconds) {
  Ran r;
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return r;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]), ::close(outPipe[1]);
    return r;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (rc != 0) {
    ::close(outPipe[0]), ::close(errPipe[0]);
    return r;
  }
  r.started = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open = 2;
  while (open > 0) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, int(left.count())) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[k]->append(buf, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) ::close(p.fd);
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return r;
}

std::string FindOnPath(const std::string& name) {
  const char* env = std::getenv("PATH");
  std::string path = env ? env : "/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t colon = path.find(':', pos);
    std::string dir = path.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate.string();
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  return "";
}

std::string OneLine(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

// Slurm's state of each array task of a job, by task id; source says which command answered (""
// when none did). sacct answers where Slurm keeps accounting; scontrol knows pending, running and
// recently ended tasks; squeue pending and running ones.
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

  Ran r = RunProgram({"sacct", "-n", "-P", "-X", "-j", jobId, "-o", "JobID,State"}, 20);
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

bool Active(const std::string& state) {
  for (const char* s : {"PENDING", "RUNNING", "CONFIGURING", "COMPLETING", "REQUEUED", "REQUEUE_HOLD",
                        "REQUEUE_FED", "RESIZING", "SUSPENDED", "STOPPED", "SIGNALING", "STAGE_OUT"})
    if (state == s) return true;
  return false;
}

// Each chunk's Slurm task in its latest submission, with its state.
struct TaskInfo {
  std::string jobId, state;  // state "" when Slurm did not say
};
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

// ---- writing files ------------------------------------------------------------------------------

void WriteText(const std::string& path, const std::string& text, bool executable = false) {
  const std::string tmp = path + ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      throw Failure("cannot write " + path + ": " + std::strerror(errno));
    }
  }
  if (executable) ::chmod(tmp.c_str(), 0755);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::string why = std::strerror(errno);
    std::remove(tmp.c_str());
    throw Failure("cannot write " + path + ": " + why);
  }
}

std::string NowUtc() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string ExePath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw Failure("cannot find the orvanta command's own path in /proc/self/exe");
  return exe.string();
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

int32_t WholeNumber(const std::string& option, const std::string& s, int32_t lowest) {
  int32_t n = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || p != s.data() + s.size() || n < lowest)
    throw Failure(option + " takes a whole number from " + std::to_string(lowest) + ", not " + Quoted(s));
  return n;
}

// ---- the commands -------------------------------------------------------------------------------

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
    } else if (renderArgsFollow && RenderTakesValue(a) && i + 1 < args.size()) {
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

std::vector<std::string> GlobalArgs(const FarmGlobals& g, const SlurmOptions& sl, const std::string& cwd) {
  std::vector<std::string> a;
  if (!g.plugins.empty()) a.insert(a.end(), {"--plugins", Absolute(g.plugins, cwd)});
  int32_t threads = g.threads > 0 ? g.threads : sl.cpusPerTask;  // a task uses the cores it asked for
  if (threads > 0) a.insert(a.end(), {"--threads", std::to_string(threads)});
  if (g.memoryBudget > 0)
    a.insert(a.end(), {"--memory-budget", std::to_string(std::max<uint64_t>(1, g.memoryBudget >> 20))});
  return a;
}

std::map<std::string, std::string> Environment(const FarmGlobals& g, const std::string& cwd) {
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

std::string ChunkList(const std::vector<size_t>& chunks) { return ChunkIndices(chunks); }

// Writes the script (or command list) for the chunks, submits it unless told not to, and records
// the submission in the job file.
// toRender: how many of the chunks' frames are missing or damaged (all of them for a new job).
int Launch(Job& job, const std::vector<size_t>& chunks, size_t toRender, bool scriptOnly) {
  std::error_code ec;
  fs::create_directories(job.Logs(), ec);
  if (ec) throw Failure("cannot make the job folder " + job.Logs() + ": " + ec.message());
  Submission sub{"", chunks, NowUtc()};
  size_t frames = 0;
  for (size_t c : chunks) frames += io::ParseFrames(job.chunks[c]).size();
  std::string what = std::to_string(chunks.size()) + (chunks.size() == 1 ? " chunk" : " chunks") + " (" +
                     ChunkList(chunks) + ") of " + std::to_string(frames) +
                     (frames == 1 ? " frame" : " frames");
  if (toRender < frames) what += ", " + std::to_string(toRender) + " of them to render";
  if (job.manager == "commands") {
    std::string text = "# orvanta farm job " + job.JobFile() +
                       ": one command line per chunk; any farm manager\n"
                       "# may run them, in any order and on any machine that sees the same files.\n";
    for (size_t c : chunks) text += ChunkCommand(job, job.chunks[c]) + "\n";
    WriteText(job.dir + "/commands.sh", text, true);
    job.submissions.push_back(sub);
    WriteText(job.JobFile(), JobJson(job));
    for (size_t c : chunks) std::cout << ChunkCommand(job, job.chunks[c]) << "\n";
    std::cerr << "orvanta farm: " << what << " written to " << job.dir
              << "/commands.sh, one command line each\n";
    return 0;
  }
  WriteText(job.Script(), SlurmScript(job, chunks), true);
  if (scriptOnly) {
    job.submissions.push_back(sub);
    WriteText(job.JobFile(), JobJson(job));
    std::cout << "orvanta farm: wrote " << job.Script() << " for " << what << "; submit it with: sbatch "
              << ShellWord(job.Script()) << "\n";
    return 0;
  }
  Ran r = RunProgram({"sbatch", "--parsable", job.Script()}, 120);
  if (!r.started) throw Failure("cannot run sbatch: it is not on PATH or cannot be started");
  if (r.timedOut)
    throw Failure("sbatch did not answer within 120 seconds; the job may not have been submitted");
  std::string id = r.out.substr(0, r.out.find_first_of(";\n"));
  id.erase(std::remove_if(id.begin(), id.end(), [](unsigned char c) { return std::isspace(c); }), id.end());
  if (r.status != 0 || id.empty() || !std::all_of(id.begin(), id.end(), ::isdigit))
    throw Failure("sbatch refused " + job.Script() + ": " + OneLine(r.err.empty() ? r.out : r.err));
  sub.jobId = id;
  job.submissions.push_back(sub);
  WriteText(job.JobFile(), JobJson(job));
  std::cout << "orvanta farm: submitted Slurm job " << id << ": " << what << "; 'orvanta farm status "
            << ShellWord(job.dir) << "' reports progress\n";
  return 0;
}

// Submits the chunks that still have missing or damaged frames and no task queued or running.
int SubmitRest(Job& job, bool scriptOnly) {
  std::vector<ChunkState> states = CheckFrames(job);
  std::string source;
  std::map<size_t, TaskInfo> tasks = ChunkTasks(job, source);
  std::vector<size_t> todo, busy;
  size_t total = 0, toRender = 0;
  for (size_t c = 0; c < states.size(); ++c) {
    total += states[c].done.size() + states[c].missing.size() + states[c].damaged.size();
    if (states[c].missing.empty() && states[c].damaged.empty()) continue;
    if (tasks.count(c) && Active(tasks[c].state)) {
      busy.push_back(c);
    } else {
      todo.push_back(c);
      toRender += states[c].missing.size() + states[c].damaged.size();
    }
  }
  if (!busy.empty())
    std::cerr << "orvanta farm: chunks " << ChunkList(busy)
              << " still have tasks queued or running; they are left to them\n";
  if (todo.empty()) {
    if (busy.empty())
      std::cout << "orvanta farm: all " << total << " frames of " << job.dir
                << " are done; nothing to submit\n";
    return 0;
  }
  return Launch(job, todo, toRender, scriptOnly);
}

int Submit(const FarmGlobals& g, const std::vector<std::string>& args) {
  FarmOptions f;
  std::vector<std::string> renderArgs = TakeFarmOptions(args, f, true);
  if (f.slurm == f.commands)
    throw Failure(
        f.slurm ? "give one of --slurm and --commands"
                : "farm submit needs --slurm (a Slurm array job) or --commands (one command line per chunk "
                  "for another farm manager)");
  std::error_code ec;
  const std::string cwd = fs::current_path(ec).string();
  RenderArgs r = TakeRenderArgs(renderArgs, cwd);
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
  std::vector<int32_t> frames = Unique(io::ParseFrames(r.frames));
  bool hasWhat = std::find(r.args.begin(), r.args.end(), "--comp") != r.args.end();
  for (size_t i = 0; i < r.args.size() && !hasWhat; ++i) {
    if (RenderTakesValue(r.args[i]))
      ++i;
    else if (!r.args[i].empty() && r.args[i][0] != '-')
      hasWhat = true;
  }
  if (!hasWhat) throw Failure("farm submit needs what render renders: a TOOL, or --comp COMP");
  const fs::path outDir = fs::path(r.output).parent_path();
  if (!fs::is_directory(outDir, ec))
    throw Failure("cannot render to " + r.output + ": the folder " + outDir.string() + " does not exist");
  if (f.slurm && !f.scriptOnly && FindOnPath("sbatch").empty())
    throw Failure(
        "cannot submit: sbatch is not on PATH; install Slurm's client commands, or give --script-only to "
        "write the script alone");

  Job job;
  job.dir = f.dir.empty() ? (outDir / (OutputStem(r.output) + ".farm")).string() : Absolute(f.dir, cwd);
  job.manager = f.slurm ? "slurm" : "commands";
  job.orvanta = ExePath();
  job.renderArgs = r.args;
  job.output = r.output;
  job.frames = r.frames;
  job.chunkSize = f.chunk;
  for (const auto& c : Chunk(frames, f.chunk)) job.chunks.push_back(CompactRange(c));
  job.slurm = f.sl;
  if (job.slurm.jobName.empty()) job.slurm.jobName = "orvanta-" + OutputStem(r.output);
  job.globalArgs = GlobalArgs(g, job.slurm, cwd);
  job.environment = Environment(g, cwd);

  if (fs::exists(job.JobFile(), ec)) {
    // The same render again: only what is missing. Another render: refused, since its frames
    // would be mixed with those already there.
    Job old = ReadJob(job.JobFile());
    if (old.renderArgs != job.renderArgs || old.frames != job.frames || old.chunkSize != job.chunkSize ||
        old.manager != job.manager)
      throw Failure(job.dir +
                    " already holds the farm job of another render (other arguments, frames or chunk size); "
                    "give another --dir, or remove that folder and the frames to start over");
    MergeSlurmOptions(old.slurm, f);
    old.orvanta = job.orvanta;
    old.globalArgs = GlobalArgs(g, old.slurm, cwd);
    old.environment = job.environment;
    return SubmitRest(old, f.scriptOnly);
  }
  std::vector<size_t> all(job.chunks.size());
  for (size_t c = 0; c < all.size(); ++c) all[c] = c;
  return Launch(job, all, frames.size(), f.scriptOnly);
}

int Resubmit(const std::vector<std::string>& args) {
  FarmOptions f;
  std::vector<std::string> rest = TakeFarmOptions(args, f, false);
  if (rest.size() != 1) throw Failure("farm resubmit takes one job file or folder, and Slurm options");
  if (f.chunkGiven || !f.dir.empty() || f.commands || f.slurm)
    throw Failure("farm resubmit keeps the job's chunks, folder and manager; it takes Slurm options only");
  Job job = ReadJob(rest[0]);
  // Tasks run the command that rendered the job's other frames, so that all frames match.
  if (::access(job.orvanta.c_str(), X_OK) != 0)
    throw Failure(
        "the job's command " + job.orvanta +
        " is no longer there; submit the render again with 'orvanta farm submit' into another --dir");
  MergeSlurmOptions(job.slurm, f);
  if (job.manager == "slurm" && !f.scriptOnly && FindOnPath("sbatch").empty())
    throw Failure(
        "cannot submit: sbatch is not on PATH; install Slurm's client commands, or give --script-only to "
        "write the script alone");
  return SubmitRest(job, f.scriptOnly);
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
  Job job = ReadJob(where);
  std::vector<ChunkState> states = CheckFrames(job);
  std::string source;
  std::map<size_t, TaskInfo> tasks = ChunkTasks(job, source);

  std::vector<int32_t> done, missing, damaged;
  for (const ChunkState& s : states) {
    done.insert(done.end(), s.done.begin(), s.done.end());
    missing.insert(missing.end(), s.missing.begin(), s.missing.end());
    damaged.insert(damaged.end(), s.damaged.begin(), s.damaged.end());
  }
  const size_t total = done.size() + missing.size() + damaged.size();
  const bool complete = missing.empty() && damaged.empty();
  auto taskName = [&](size_t c) {
    return tasks.count(c) ? tasks[c].jobId + "_" + std::to_string(c) : std::string();
  };

  if (asJson) {
    json chunks = json::array();
    for (size_t c = 0; c < states.size(); ++c) {
      const ChunkState& s = states[c];
      json j = {{"chunk", c},
                {"frames", job.chunks[c]},
                {"done", s.done.size()},
                {"missing", s.missing.size()},
                {"damaged", s.damaged.size()},
                {"missing_frames", CompactRange(s.missing)},
                {"damaged_frames", CompactRange(s.damaged)}};
      if (tasks.count(c))
        j["slurm"] = {{"job_id", tasks[c].jobId}, {"task", taskName(c)}, {"state", tasks[c].state}};
      chunks.push_back(j);
    }
    json out = {{"job", job.JobFile()},
                {"output", job.output},
                {"frames", total},
                {"done", done.size()},
                {"missing", missing.size()},
                {"damaged", damaged.size()},
                {"missing_frames", CompactRange(missing)},
                {"damaged_frames", CompactRange(damaged)},
                {"complete", complete},
                {"slurm_source", source},
                {"chunks", chunks}};
    std::cout << out.dump(2) << "\n";
    return complete ? 0 : 2;
  }

  auto counts = [](const std::vector<int32_t>& d, const std::vector<int32_t>& m,
                   const std::vector<int32_t>& x) {
    std::string s = std::to_string(d.size()) + " done, " + std::to_string(m.size()) + " missing";
    if (!m.empty()) s += " (" + CompactRange(m) + ")";
    s += ", " + std::to_string(x.size()) + " damaged";
    if (!x.empty()) s += " (" + CompactRange(x) + ")";
    return s;
  };
  std::vector<std::string> ids;
  for (const Submission& s : job.submissions)
    if (!s.jobId.empty()) ids.push_back(s.jobId);
  std::cout << "job " << job.JobFile() << ": frames " << job.frames << " of " << job.output << ", "
            << job.chunks.size() << " chunks of up to " << job.chunkSize << " frames";
  if (!ids.empty()) {
    std::cout << "; Slurm job" << (ids.size() > 1 ? "s " : " ");
    for (size_t i = 0; i < ids.size(); ++i) std::cout << (i ? ", " : "") << ids[i];
  }
  std::cout << "\n";
  for (size_t c = 0; c < states.size(); ++c) {
    std::cout << "chunk " << c << ", frames " << job.chunks[c] << ": "
              << counts(states[c].done, states[c].missing, states[c].damaged);
    if (tasks.count(c))
      std::cout << "; Slurm " << taskName(c) << " "
                << (tasks[c].state.empty() ? "(not listed)" : tasks[c].state);
    std::cout << "\n";
  }
  std::cout << "total: " << total << " frames, " << counts(done, missing, damaged) << "\n";
  if (job.manager == "slurm" && !ids.empty() && source.empty())
    std::cout
        << "(Slurm did not answer: no sacct, scontrol or squeue here, or the jobs are no longer listed)\n";
  return complete ? 0 : 2;
}

}  // namespace

int RunFarm(const FarmGlobals& globals, const std::vector<std::string>& args) {
  if (args.empty()) throw Failure("farm needs submit, resubmit or status; 'orvanta --help' shows the usage");
  const std::string& what = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (what == "submit") return Submit(globals, rest);
  if (what == "resubmit") return Resubmit(rest);
  if (what == "status") return Status(rest);
  throw Failure("farm has no command " + Quoted(what) + "; it has submit, resubmit and status");
}

}  // namespace orvanta::cli
