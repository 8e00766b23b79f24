#include "orvanta/farm/job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "orvanta/farm/render_args.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/atomic_file.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/sequence.h"

namespace orvanta::farm {
namespace fs = std::filesystem;
using nlohmann::json;

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

std::string ChunkList(const std::vector<size_t>& chunks) {
  std::vector<int32_t> ids(chunks.begin(), chunks.end());
  return CompactRange(ids);
}

// ---- the tasks' command line --------------------------------------------------------------------

std::string ShellWord(const std::string& s) {
  if (!s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("-_./=:,+@%", c) != nullptr;
      }))
    return s;
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::string> TaskWords(const Job& job, const std::string& frames) {
  std::vector<std::string> w{job.orvanta};
  w.insert(w.end(), job.globalArgs.begin(), job.globalArgs.end());
  w.push_back("render");
  w.insert(w.end(), job.renderArgs.begin(), job.renderArgs.end());
  w.insert(w.end(), {"--frames", frames, "--skip-existing", "-v"});
  return w;
}

std::string ChunkCommand(const Job& job, const std::string& frames) {
  std::string line;
  for (const auto& [name, value] : job.environment) line += name + "=" + ShellWord(value) + " ";
  bool first = true;
  for (const std::string& w : TaskWords(job, frames)) {
    if (!first) line += ' ';
    line += ShellWord(w);
    first = false;
  }
  return line;
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

void WriteTextFile(const std::string& path, const std::string& text, bool executable) {
  io::WriteFileAtomically(path, text,
                          executable ? io::AtomicFile::Kind::Executable : io::AtomicFile::Kind::Plain);
}

// ---- the frames on disk -------------------------------------------------------------------------

std::vector<ChunkState> CheckFrames(const Job& job) {
  // The files on disk are numbered with the render's --frame-offset added.
  const int64_t offset = FrameOffsetOf(job.renderArgs);
  std::vector<ChunkState> states;
  for (const std::string& chunk : job.chunks) {
    ChunkState s;
    for (int32_t f : io::ParseFrames(chunk)) {
      switch (io::CheckImageFile(io::FramePath(job.output, int32_t(f + offset)))) {
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

}  // namespace orvanta::farm
