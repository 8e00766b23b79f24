// `orvanta farm` without a cluster: chunking and range texts, absolute paths in the render
// arguments, the sbatch script (run by bash with a stand-in for the command, to see the words
// each task gets), job files, frame checks over missing and truncated files, `render
// --skip-existing`, and the command itself with stand-ins for sbatch, sacct and scontrol on PATH.
// scripts/farm-test runs the same on a real one-machine Slurm cluster.
#include <OpenImageIO/imageio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "cli_support.h"
#include "orvanta/farm/job.h"
#include "orvanta/farm/render_args.h"
#include "orvanta/farm/slurm.h"
#include "orvanta/farm/submit.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/sequence.h"
#include "support.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;
using V = std::vector<int32_t>;

using clitest::Result;
using clitest::Slurp;

void Spit(const fs::path& p, const std::string& text, bool executable = false) {
  std::ofstream(p, std::ios::binary) << text;
  if (executable) fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

std::string Quote(const std::string& s) { return farm::ShellWord(s); }

// A small 16-bit RGBA PNG whose samples depend on seed.
void WritePng(const std::string& path, int w, int h, int seed) {
  std::vector<uint16_t> px(size_t(w) * h * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = uint16_t((i * 2654435761u + uint32_t(seed) * 40503u) >> 7);
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out);
  OIIO::ImageSpec spec(w, h, 4, OIIO::TypeDesc::UINT16);
  ASSERT_TRUE(out->open(path, spec));
  ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT16, px.data()));
  ASSERT_TRUE(out->close());
}

void Truncate(const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); }

struct Stamp {
  ino_t inode;
  int64_t mtime;
  bool operator==(const Stamp& o) const { return inode == o.inode && mtime == o.mtime; }
};
Stamp StampOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return {st.st_ino, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// A scratch folder per test, with bin/ holding stand-ins for Slurm's commands.
class Farm : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvanta-farm-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "bin");
    fs::create_directories(dir_ / "fake");
    fs::create_directories(dir_ / "nothing");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  // The stand-ins: sbatch copies the script it is given and answers job ids 4242, 4243, ...;
  // sacct says accounting is off; scontrol prints fake/scontrol.out when there is one.
  void FakeSlurm() const {
    Spit(dir_ / "bin/sbatch",
         "#!/bin/sh\n"
         "for a; do last=$a; done\n"
         "n=$(cat \"$FAKE/count\" 2>/dev/null || echo 4242)\n"
         "echo $((n + 1)) > \"$FAKE/count\"\n"
         "printf '%s\\n' \"$@\" > \"$FAKE/sbatch-$n.args\"\n"
         "cp \"$last\" \"$FAKE/sbatch-$n.script\"\n"
         "echo \"$n\"\n",
         true);
    Spit(dir_ / "bin/sacct", "#!/bin/sh\necho 'Slurm accounting storage is disabled' >&2\nexit 1\n", true);
    Spit(dir_ / "bin/scontrol",
         "#!/bin/sh\n[ -f \"$FAKE/scontrol.out\" ] || { echo 'Invalid job id specified' >&2; exit 1; }\n"
         "cat \"$FAKE/scontrol.out\"\n",
         true);
    Spit(dir_ / "bin/squeue", "#!/bin/sh\nexit 1\n", true);
  }

  // The command, run in the scratch folder; path: PATH for it ("" keeps the test's own).
  Result Run(const std::vector<std::string>& args, const std::string& path = "") const {
    std::string env = "FAKE=" + Quote(P("fake"));
    if (!path.empty()) env += " PATH=" + Quote(path);
    return clitest::RunIn(dir_, env, args, runs_);
  }
  std::string FakePath() const { return P("bin") + ":/usr/bin:/bin"; }

  // in.0001.png .. in.00NN.png
  void Inputs(int n) const {
    for (int f = 1; f <= n; ++f) WritePng(P(io::FramePath("in.#.png", f)), 7, 12, f);
  }

  fs::path dir_;
  mutable std::atomic<int> runs_{0};
};

// LineDrop keeping 2 rows of 3, so every frame is rendered, not copied.
const std::vector<std::string> kRender = {"OrvantaLineDrop", "-i", "in.#.png", "-s",
                                          "BSCH=2",          "-s", "CSCH=1"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& more) {
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// One sentence on stderr: one line, "orvanta: ..." (failure.h).
void ExpectOneSentence(const Result& r, const std::string& words) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("orvanta: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
}

// ---- frames -----------------------------------------------------------------------------------

TEST(FarmFrames, ChunksKeepTheRangesOrderAndTheirTextReadsBack) {
  using farm::Chunk;
  V forty = io::ParseFrames("1-40");
  auto c = Chunk(forty, 10);
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[0], io::ParseFrames("1-10"));
  EXPECT_EQ(c[3], io::ParseFrames("31-40"));
  c = Chunk(io::ParseFrames("1-41"), 10);
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[4], V{41});
  EXPECT_EQ(Chunk(io::ParseFrames("30-32,1-3"), 2), (std::vector<V>{{30, 31}, {32, 1}, {2, 3}}));
  EXPECT_EQ(Chunk(io::ParseFrames("1-100x25"), 10), (std::vector<V>{{1, 26, 51, 76}}));
  EXPECT_EQ(Chunk({}, 10).size(), 0u);
  EXPECT_EQ(farm::Unique({5, 1, 5, 2, 1}), (V{5, 1, 2}));

  // Each chunk goes to its task as range text, which must read back to the same frames.
  using farm::CompactRange;
  EXPECT_EQ(CompactRange(io::ParseFrames("1-10")), "1-10");
  EXPECT_EQ(CompactRange({5, 6, 7, 8, 9, 13}), "5-9,13");
  EXPECT_EQ(CompactRange({5, 6}), "5-6");
  EXPECT_EQ(CompactRange({5, 7}), "5,7");
  EXPECT_EQ(CompactRange(io::ParseFrames("1-19x2")), "1-19x2");
  EXPECT_EQ(CompactRange({3, 2, 1}), "3,2,1");
  EXPECT_EQ(CompactRange({}), "");
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    V frames;
    int32_t f = int32_t(rng() % 50);
    const size_t n = 1 + rng() % 30;
    for (size_t i = 0; i < n; ++i) {
      f += int32_t(rng() % 4) - (rng() % 5 == 0 ? 6 : 0);
      frames.push_back(std::max(0, f));
    }
    EXPECT_EQ(io::ParseFrames(CompactRange(frames)), frames) << CompactRange(frames);
  }
}

// ---- words and paths --------------------------------------------------------------------------

TEST(FarmArgs, RelativePathsBecomeAbsoluteOthersStay) {
  using farm::TakeRenderArgs;
  fs::path tmp = fs::temp_directory_path() / ("orvanta-farm-args-" + std::to_string(::getpid()));
  fs::create_directories(tmp);
  std::ofstream(tmp / "odd=name.png") << "x";  // an existing file whose name holds '='
  const std::string cwd = tmp.string();
  auto r = TakeRenderArgs({"OrvantaMultitude",
                           "-i",
                           "plates/back.#.exr",
                           "-i",
                           "Crowd=../dots.png",
                           "-i",
                           "odd=name.png",
                           "-i",
                           "/abs/fig.png",
                           "-s",
                           "Folk 1=a/b",
                           "-o",
                           "out/f.%04d.exr",
                           "--comp",
                           "./shot.json",
                           "-x",
                           "grade.SORL=-0.1 + frame / 200",
                           "--frames",
                           "1-40",
                           "--bits",
                           "16",
                           "--skip-existing",
                           "-v",
                           "--verbose",
                           "--node",
                           "grade",
                           "--stats"},
                          cwd);
  const std::vector<std::string> want = {"OrvantaMultitude",
                                         "-i",
                                         cwd + "/plates/back.#.exr",
                                         "-i",
                                         "Crowd=" + tmp.parent_path().string() + "/dots.png",
                                         "-i",
                                         cwd + "/odd=name.png",
                                         "-i",
                                         "/abs/fig.png",
                                         "-s",
                                         "Folk 1=a/b",
                                         "-o",
                                         cwd + "/out/f.%04d.exr",
                                         "--comp",
                                         cwd + "/shot.json",
                                         "-x",
                                         "grade.SORL=-0.1 + frame / 200",
                                         "--bits",
                                         "16",
                                         "--node",
                                         "grade",
                                         "--stats"};
  EXPECT_EQ(r.args, want);
  EXPECT_EQ(r.output, cwd + "/out/f.%04d.exr");
  EXPECT_EQ(r.frames, "1-40");
  EXPECT_THROW(TakeRenderArgs({"X", "-o", "a.#.png", "-o", "b.#.png"}, cwd), std::runtime_error);
  EXPECT_THROW(TakeRenderArgs({"X", "-o"}, cwd), std::runtime_error);
  // Every task would write the composition again; a line break would end a script line.
  EXPECT_THROW(TakeRenderArgs({"X", "--save", "c.json", "-o", "a.#.png"}, cwd), std::runtime_error);
  EXPECT_THROW(TakeRenderArgs({"X", "-s", "Text=a\nexec rm -rf ~", "-o", "a.#.png"}, cwd),
               std::runtime_error);
  fs::remove_all(tmp);
}

// ---- the script ---------------------------------------------------------------------------------

farm::Job SomeJob(const fs::path& dir) {
  farm::Job job;
  job.dir = (dir / "shot.farm").string();
  job.manager = "slurm";
  job.orvanta = (dir / "bin/fake-orvanta").string();
  job.globalArgs = {"--threads", "2"};
  job.renderArgs = {"OrvantaRaster",
                    "-i",
                    (dir / "my plates/in.#.png").string(),
                    "-s",
                    "Blend Mode=add",
                    "-s",
                    "label=it's \"quoted\" $HOME `x` \\ *#",
                    "-o",
                    (dir / "out.#.png").string()};
  job.output = (dir / "out.#.png").string();
  job.frames = "1-40";
  job.chunkSize = 10;
  for (const auto& c : farm::Chunk(io::ParseFrames("1-40"), 10)) job.chunks.push_back(farm::CompactRange(c));
  job.slurm.jobName = "shot \"A\" #2";
  job.slurm.partition = "render";
  job.slurm.time = "1:00:00";
  job.slurm.maxRunning = 2;
  return job;
}

TEST_F(Farm, ScriptRunsEachChunkWithTheSameWords) {
  farm::Job job = SomeJob(dir_);
  // A stand-in for the command that prints every word it gets, one per line in brackets.
  Spit(dir_ / "bin/fake-orvanta", "#!/bin/sh\nprintf '[%s]\\n' \"$@\"\n", true);
  const std::string script = farm::SlurmScript(job, {0, 1, 2, 3});
  EXPECT_NE(script.find("#SBATCH --array=\"0-3%2\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --job-name=\"shot \\\"A\\\" #2\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --partition=\"render\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --time=\"1:00:00\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --output=\"" + job.dir + "/logs/task-%A_%a.log\"\n"), std::string::npos)
      << script;
  EXPECT_NE(script.find("  1-10  # chunk 0\n  11-20  # chunk 1\n  21-30  # chunk 2\n  31-40  # chunk 3\n"),
            std::string::npos)
      << script;
  EXPECT_NE(farm::SlurmScript(job, {1, 3}).find("#SBATCH --array=\"1,3%2\"\n"), std::string::npos);
  Spit(dir_ / "job.sbatch", script);

  for (int task : {0, 2, 3}) {
    SCOPED_TRACE(task);
    const std::string cmd = "cd " + Quote(dir_.string()) + " && SLURM_ARRAY_TASK_ID=" + std::to_string(task) +
                            " bash job.sbatch > task.out 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << Slurp(dir_ / "task.out");
    std::string want =
        "orvanta farm: chunk " + std::to_string(task) + ", frames " + job.chunks[size_t(task)] + ", on ";
    std::string out = Slurp(dir_ / "task.out");
    ASSERT_EQ(out.rfind(want, 0), 0u) << out;
    out = out.substr(out.find('\n') + 1);
    std::string words;
    for (const std::string& w : With(With(job.globalArgs, {"render"}), job.renderArgs))
      words += "[" + w + "]\n";
    words += "[--frames]\n[" + job.chunks[size_t(task)] + "]\n[--skip-existing]\n[-v]\n";
    EXPECT_EQ(out, words);
  }
  // Outside Slurm the script says what it is for and runs nothing.
  const std::string cmd =
      "cd " + Quote(dir_.string()) + " && env -u SLURM_ARRAY_TASK_ID bash job.sbatch > task.out 2>&1";
  EXPECT_NE(std::system(cmd.c_str()), 0);
  EXPECT_NE(Slurp(dir_ / "task.out").find("Slurm array task"), std::string::npos);
}

TEST_F(Farm, JobFilesReadBack) {
  farm::Job job = SomeJob(dir_);
  job.environment["ORVANTA_PLUGIN_PATH"] = "/a:/b";
  job.slurm.extra = {"--exclusive"};
  job.submissions.push_back({"77", {0, 1, 2, 3}, "2026-01-01T00:00:00Z"});
  job.submissions.push_back({"81", {1, 3}, "2026-01-01T01:00:00Z"});
  fs::create_directories(job.dir);
  Spit(job.JobFile(), farm::JobJson(job));
  for (const std::string& where : {job.dir, job.JobFile()}) {
    farm::Job back = farm::ReadJob(where);
    EXPECT_EQ(back.dir, job.dir);
    EXPECT_EQ(back.renderArgs, job.renderArgs);
    EXPECT_EQ(back.chunks, job.chunks);
    EXPECT_EQ(back.environment, job.environment);
    EXPECT_EQ(back.slurm.jobName, job.slurm.jobName);
    EXPECT_EQ(back.slurm.maxRunning, 2);
    EXPECT_EQ(back.slurm.extra, job.slurm.extra);
    ASSERT_EQ(back.submissions.size(), 2u);
    EXPECT_EQ(back.submissions[1].jobId, "81");
    EXPECT_EQ(back.submissions[1].chunks, (std::vector<size_t>{1, 3}));
    EXPECT_EQ(farm::JobJson(back), farm::JobJson(job));
  }
  Spit(job.JobFile(), "{\"orvanta_farm\": 1, \"manager\": ");
  EXPECT_THROW(farm::ReadJob(job.dir), std::runtime_error);
  EXPECT_THROW(farm::ReadJob(P("nowhere")), std::runtime_error);
}

// ---- whole, missing and damaged files -----------------------------------------------------------

TEST_F(Farm, TruncatedFilesOfEveryKindAreDamaged) {
  struct Case {
    const char* ext;
    OIIO::TypeDesc type;
  };
  for (const Case& c : {Case{"png", OIIO::TypeDesc::UINT16}, Case{"exr", OIIO::TypeDesc::HALF},
                        Case{"tif", OIIO::TypeDesc::UINT16}, Case{"exr", OIIO::TypeDesc::FLOAT},
                        Case{"tiled.exr", OIIO::TypeDesc::HALF}}) {
    SCOPED_TRACE(std::string(c.ext) + " " + c.type.c_str());
    const std::string path = P(std::string("f.") + c.ext);
    std::vector<float> px(size_t(200) * 150 * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = float((i * 2654435761u) % 1000) / 999.0f;
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out);
    OIIO::ImageSpec spec(200, 150, 4, c.type);
    if (std::string(c.ext).rfind("tiled", 0) == 0) spec.tile_width = spec.tile_height = 64;
    ASSERT_TRUE(out->open(path, spec));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, px.data()));
    ASSERT_TRUE(out->close());
    EXPECT_EQ(io::CheckImageFile(path), io::FileState::Complete);
    Truncate(path);
    std::string why;
    EXPECT_EQ(io::CheckImageFile(path, &why), io::FileState::Damaged);
    EXPECT_NE(why.find(path), std::string::npos) << why;
  }
  Spit(dir_ / "empty.png", "");
  EXPECT_EQ(io::CheckImageFile(P("empty.png")), io::FileState::Damaged);
  Spit(dir_ / "text.png", "not an image at all\n");
  EXPECT_EQ(io::CheckImageFile(P("text.png")), io::FileState::Damaged);
  EXPECT_EQ(io::CheckImageFile(P("bin")), io::FileState::Damaged);
  EXPECT_EQ(io::CheckImageFile(P("none.png")), io::FileState::Missing);
}

// ---- render --skip-existing -------------------------------------------------------------------

TEST_F(Farm, SkipExistingRendersOnlyMissingAndDamagedFrames) {
  Inputs(4);
  Result r = Run(With(With({"render"}, kRender), {"-o", "out.#.png", "--frames", "1-4", "-v"}));
  ASSERT_EQ(r.status, 0) << r.err;
  for (int f = 1; f <= 4; ++f)
    EXPECT_NE(r.out.find("orvanta: frame " + std::to_string(f) + " written to " +
                         io::FramePath("out.#.png", f) + "\n"),
              std::string::npos)
        << r.out;
  const std::string second = Slurp(P("out.0002.png"));
  const Stamp one = StampOf(P("out.0001.png")), four = StampOf(P("out.0004.png"));
  Truncate(P("out.0002.png"));
  fs::remove(P("out.0003.png"));

  r = Run(With(With({"render"}, kRender), {"-o", "out.#.png", "--frames", "1-4", "--skip-existing", "-v"}));
  ASSERT_EQ(r.status, 0) << r.err;
  // The damaged file's line ends with the image library's reason, which varies by version.
  const std::string damaged = "orvanta: frame 2 is damaged, rendering it again: cannot read out.0002.png: ";
  ASSERT_NE(r.out.find(damaged), std::string::npos) << r.out;
  const size_t cut = r.out.find(damaged), eol = r.out.find('\n', cut);
  EXPECT_EQ(r.out.substr(0, cut) + r.out.substr(eol + 1),
            "orvanta: frame 1 kept: out.0001.png is complete\n"
            "orvanta: frame 4 kept: out.0004.png is complete\n"
            "orvanta: frame 2 written to out.0002.png\n"
            "orvanta: frame 3 written to out.0003.png\n");
  EXPECT_LT(r.out.find("frame 1 kept"), cut);
  EXPECT_GT(r.out.find("frame 4 kept"), cut);
  EXPECT_EQ(Slurp(P("out.0002.png")), second);
  EXPECT_EQ(io::CheckImageFile(P("out.0003.png")), io::FileState::Complete);
  EXPECT_TRUE(StampOf(P("out.0001.png")) == one) << "a complete frame was written again";
  EXPECT_TRUE(StampOf(P("out.0004.png")) == four) << "a complete frame was written again";

  // All there: nothing is written, and without -v nothing is said.
  r = Run(With(With({"render"}, kRender), {"-o", "out.#.png", "--frames", "1-4", "--skip-existing"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(StampOf(P("out.0001.png")) == one);
  ExpectOneSentence(Run(With(With({"render"}, kRender), {"--stats", "--frames", "1-4", "--skip-existing"})),
                    "--skip-existing keeps frames already in the -o files");
}

// ---- submitting through the library ---------------------------------------------------------------

TEST(FarmTasks, GlobalsAndEnvironmentReachTheTasksAbsolute) {
  const std::string cwd = "/work/shots";
  farm::SlurmOptions slurm;
  slurm.cpusPerTask = 4;
  // A task renders with the cores it asked for unless --threads says otherwise.
  EXPECT_EQ(farm::GlobalArgs({"plugins", 0, uint64_t(3) << 20}, slurm, cwd),
            (std::vector<std::string>{"--plugins", "/work/shots/plugins", "--threads", "4", "--memory-budget",
                                      "3"}));
  EXPECT_EQ(farm::GlobalArgs({"", 2, 0}, slurm, cwd), (std::vector<std::string>{"--threads", "2"}));
  EXPECT_TRUE(farm::GlobalArgs({}, {}, cwd).empty());

  const char* before = std::getenv("ORVANTA_PLUGIN_PATH");
  const std::string saved = before ? before : "";
  ::setenv("ORVANTA_PLUGIN_PATH", "lib:/opt/tools::../more", 1);
  EXPECT_EQ(farm::TaskEnvironment({}, cwd).at("ORVANTA_PLUGIN_PATH"),
            "/work/shots/lib:/opt/tools:/work/more");
  EXPECT_TRUE(farm::TaskEnvironment({"plugins", 0, 0}, cwd).empty());  // --plugins wins
  if (before)
    ::setenv("ORVANTA_PLUGIN_PATH", saved.c_str(), 1);
  else
    ::unsetenv("ORVANTA_PLUGIN_PATH");
}

TEST_F(Farm, LibraryLaunchesChunksAndFindsWhatRemains) {
  Inputs(5);
  farm::JobRequest request;
  request.manager = "commands";
  request.renderArgs = With(kRender, {"-o", "o.#.png", "--frames", "1-5"});
  request.cwd = dir_.string();
  request.chunkSize = 2;
  request.orvanta = ORVANTA_CLI;
  farm::Job job = farm::PlanJob(request);
  EXPECT_EQ(job.dir, P("o.farm"));
  EXPECT_EQ(job.chunks, (std::vector<std::string>{"1-2", "3-4", "5"}));
  EXPECT_FALSE(farm::ExistingJob(job).has_value());

  const farm::Launched launched = farm::Launch(job, {0, 1, 2}, false);
  EXPECT_EQ(launched.kind, farm::Launched::Kind::CommandLines);
  EXPECT_EQ(launched.frames, 5u);
  const std::string list = Slurp(job.CommandList());
  EXPECT_NE(list.find(farm::ChunkCommand(job, "3-4") + "\n"), std::string::npos) << list;
  ASSERT_EQ(farm::ReadJob(job.dir).submissions.size(), 1u);

  // Chunk 1 rendered: chunks 0 and 2 remain, with their three frames.
  ASSERT_EQ(std::system((farm::ChunkCommand(job, job.chunks[1]) + " > /dev/null").c_str()), 0);
  const farm::Remaining left = farm::RemainingChunks(job);
  EXPECT_EQ(left.todo, (std::vector<size_t>{0, 2}));
  EXPECT_TRUE(left.busy.empty());
  EXPECT_EQ(left.total, 5u);
  EXPECT_EQ(left.toRender, 3u);
  const farm::JobStatus status = farm::StatusOf(job);
  ASSERT_EQ(status.chunks.size(), 3u);
  EXPECT_EQ(status.chunks[1].done, (V{3, 4}));
  EXPECT_TRUE(status.tasks.empty());  // not a Slurm job

  // The same render finds its job; another chunk size is another render, refused.
  std::optional<farm::Job> same = farm::ExistingJob(farm::PlanJob(request));
  ASSERT_TRUE(same.has_value());
  EXPECT_EQ(same->submissions.size(), 1u);
  request.chunkSize = 3;
  EXPECT_THROW(farm::ExistingJob(farm::PlanJob(request)), std::runtime_error);
  // A Slurm job needs sbatch unless only the script is written.
  request.manager = "slurm";
  const char* pathNow = std::getenv("PATH");
  const std::string path = pathNow ? pathNow : "/usr/bin:/bin";
  ::setenv("PATH", P("nothing").c_str(), 1);
  EXPECT_THROW(farm::PlanJob(request), std::runtime_error);
  request.scriptOnly = true;
  EXPECT_NO_THROW(farm::PlanJob(request));
  ::setenv("PATH", path.c_str(), 1);
}

// ---- the command --------------------------------------------------------------------------------

TEST_F(Farm, SubmitRefusesWhatItCannotSplit) {
  Inputs(2);
  FakeSlurm();
  ExpectOneSentence(
      Run(With({"farm", "submit", "--slurm"}, With(kRender, {"-o", "out.png", "--frames", "1-2"})),
          FakePath()),
      "needs a frame pattern (# or %04d) in the -o path");
  ExpectOneSentence(Run(With({"farm", "submit", "--slurm"}, With(kRender, {"--frames", "1-2"})), FakePath()),
                    "needs -o with a frame pattern");
  ExpectOneSentence(Run(With({"farm", "submit", "--slurm"}, With(kRender, {"-o", "out.#.png"})), FakePath()),
                    "needs --frames RANGE");
  ExpectOneSentence(
      Run(With({"farm", "submit", "--slurm"}, With(kRender, {"-o", "out.#.png", "--frames", "5-1"})),
          FakePath()),
      "is not valid");
  ExpectOneSentence(
      Run(With({"farm", "submit"}, With(kRender, {"-o", "out.#.png", "--frames", "1-2"})), FakePath()),
      "needs --slurm");
  ExpectOneSentence(Run(With({"farm", "submit", "--slurm", "--chunk", "0"},
                             With(kRender, {"-o", "out.#.png", "--frames", "1-2"})),
                        FakePath()),
                    "--chunk takes a whole number from 1");
  ExpectOneSentence(
      Run(With({"farm", "submit", "--slurm"}, With(kRender, {"-o", "no/such/out.#.png", "--frames", "1-2"})),
          FakePath()),
      "does not exist");
  ExpectOneSentence(Run({"farm", "submit", "--slurm", "-o", "out.#.png", "--frames", "1-2"}, FakePath()),
                    "a TOOL, or --comp COMP");
  // No sbatch on PATH: refused before anything is written; --script-only needs none.
  ExpectOneSentence(
      Run(With({"farm", "submit", "--slurm"}, With(kRender, {"-o", "out.#.png", "--frames", "1-2"})),
          P("nothing")),
      "sbatch is not on PATH");
  EXPECT_FALSE(fs::exists(P("out.farm")));
  Result r = Run(With({"farm", "submit", "--slurm", "--script-only"},
                      With(kRender, {"-o", "out.#.png", "--frames", "1-2"})),
                 P("nothing"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("submit it with: sbatch " + P("out.farm/job.sbatch")), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(P("out.farm/job.json")));

  ExpectOneSentence(Run({"farm", "status", "nowhere"}), "there is no farm job file");
  ExpectOneSentence(Run({"farm", "launch"}), "farm has no command");
  ExpectOneSentence(Run({"farm", "resubmit"}), "farm resubmit takes one job file");
}

TEST_F(Farm, SubmitStatusAndResubmitWithStandInSlurm) {
  Inputs(10);
  FakeSlurm();
  fs::create_directories(dir_ / "renders");
  Result r = Run(With({"--threads", "1", "farm", "submit", "--slurm", "--chunk", "3", "--partition",
                       "gpu nodes", "--time", "10:00"},
                      With(kRender, {"-o", "renders/out.#.png", "--frames", "1-10"})),
                 FakePath());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("submitted Slurm job 4242: 4 chunks (0-3) of 10 frames"), std::string::npos) << r.out;
  EXPECT_EQ(Slurp(P("fake/sbatch-4242.args")), "--parsable\n" + P("renders/out.farm/job.sbatch") + "\n");
  const std::string script = Slurp(P("fake/sbatch-4242.script"));
  EXPECT_NE(script.find("#SBATCH --array=\"0-3\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --partition=\"gpu nodes\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --job-name=\"orvanta-out\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("exec " + std::string(ORVANTA_CLI) + " --threads 1 render OrvantaLineDrop -i " +
                        Quote(P("in.#.png")) + " -s BSCH=2 -s CSCH=1 -o " + Quote(P("renders/out.#.png")) +
                        " --frames \"$frames\" --skip-existing -v\n"),
            std::string::npos)
      << script;
  json job = json::parse(Slurp(P("renders/out.farm/job.json")));
  EXPECT_EQ(job["chunks"], json({"1-3", "4-6", "7-9", "10"}));
  EXPECT_EQ(job["submissions"][0]["job_id"], "4242");
  EXPECT_EQ(job["output"], P("renders/out.#.png"));

  // Task 0 ran (here: the script run by hand as task 0); tasks 1-3 are still waiting.
  ASSERT_EQ(std::system(("cd / && FAKE=x SLURM_ARRAY_TASK_ID=0 bash " + P("renders/out.farm/job.sbatch") +
                         " > " + P("task0.log") + " 2>&1")
                            .c_str()),
            0)
      << Slurp(P("task0.log"));
  Spit(dir_ / "fake/scontrol.out",
       "JobId=4243 ArrayJobId=4242 ArrayTaskId=0 JobName=orvanta-out JobState=COMPLETED Reason=None\n"
       "JobId=4242 ArrayJobId=4242 ArrayTaskId=1-3 JobName=orvanta-out JobState=PENDING Reason=Resources\n");
  Truncate(P("renders/out.0002.png"));
  r = Run({"farm", "status", "renders/out.farm"}, FakePath());
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.out.find("chunk 0, frames 1-3: 2 done, 0 missing, 1 damaged (2); Slurm 4242_0 COMPLETED\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("chunk 3, frames 10: 0 done, 1 missing (10), 0 damaged; Slurm 4242_3 PENDING\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("total: 10 frames, 2 done, 7 missing (4-10), 1 damaged (2)\n"), std::string::npos)
      << r.out;
  r = Run({"farm", "status", P("renders/out.farm/job.json"), "--json"}, FakePath());
  EXPECT_EQ(r.status, 2);
  json st = json::parse(r.out);
  EXPECT_EQ(st["missing_frames"], "4-10");
  EXPECT_EQ(st["damaged_frames"], "2");
  EXPECT_EQ(st["slurm_source"], "scontrol");
  EXPECT_EQ(st["chunks"][1]["slurm"]["state"], "PENDING");

  // A resubmission leaves the waiting chunks to their tasks and submits chunk 0 again.
  r = Run({"farm", "resubmit", "renders/out.farm", "--time", "20:00"}, FakePath());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("submitted Slurm job 4243: 1 chunk (0) of 3 frames, 1 of them to render"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("chunks 1-3 still have tasks queued or running"), std::string::npos) << r.err;
  const std::string again = Slurp(P("fake/sbatch-4243.script"));
  EXPECT_NE(again.find("#SBATCH --array=\"0\"\n"), std::string::npos) << again;
  EXPECT_NE(again.find("#SBATCH --time=\"20:00\"\n"), std::string::npos) << again;
  EXPECT_NE(again.find("#SBATCH --partition=\"gpu nodes\"\n"), std::string::npos) << again;

  // The same submit command again does the same as resubmit; another render is refused.
  Spit(dir_ / "fake/scontrol.out", "JobId=4244 ArrayJobId=4243 ArrayTaskId=0 JobState=RUNNING\n");
  r = Run(With({"farm", "submit", "--slurm", "--chunk", "3"},
               With(kRender, {"-o", "renders/out.#.png", "--frames", "1-10"})),
          FakePath());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("submitted Slurm job 4244: 3 chunks (1-3)"), std::string::npos) << r.out;
  ExpectOneSentence(Run(With({"farm", "submit", "--slurm", "--chunk", "5"},
                             With(kRender, {"-o", "renders/out.#.png", "--frames", "1-10"})),
                        FakePath()),
                    "already holds the farm job of another render");
  // sbatch refusing is reported with its own words.
  Spit(dir_ / "bin/sbatch",
       "#!/bin/sh\necho 'sbatch: error: invalid partition specified: gpu nodes' >&2\nexit 1\n", true);
  fs::remove_all(P("renders/out.farm"));
  ExpectOneSentence(
      Run(With({"farm", "submit", "--slurm"}, With(kRender, {"-o", "renders/out.#.png", "--frames", "1-10"})),
          FakePath()),
      "invalid partition specified");
}

TEST_F(Farm, CommandLinesForAnyFarmManager) {
  Inputs(5);
  fs::create_directories(dir_ / "elsewhere");
  Result r = Run(With({"farm", "submit", "--commands", "--chunk", "2"},
                      With(kRender, {"-o", "o_%04d.png", "--frames", "1-5"})),
                 P("nothing"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[2], Quote(ORVANTA_CLI) + " render OrvantaLineDrop -i " + Quote(P("in.#.png")) +
                          " -s BSCH=2 -s CSCH=1 -o " + Quote(P("o_%04d.png")) +
                          " --frames 5 --skip-existing -v");
  EXPECT_TRUE(fs::exists(P("o.farm/commands.sh")));
  // A line runs from any folder and renders its chunk.
  ASSERT_EQ(std::system(("cd " + Quote(P("elsewhere")) + " && " + lines[1] + " > /dev/null").c_str()), 0);
  r = Run({"farm", "status", "o.farm"}, P("nothing"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("chunk 1, frames 3-4: 2 done, 0 missing, 0 damaged\n"), std::string::npos) << r.out;
  for (size_t i : {0u, 2u}) ASSERT_EQ(std::system((lines[i] + " > /dev/null").c_str()), 0);
  r = Run({"farm", "status", "o.farm"}, P("nothing"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("total: 5 frames, 5 done, 0 missing, 0 damaged\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace orvanta

// ---- hostile values and renumbered frames ---------------------------------------------------------

namespace orvanta {
namespace {

// Every value that reaches the script or the command list is refused when it holds a line feed or
// a carriage return, with a sentence naming where it came from; nothing is written.
TEST_F(Farm, LineBreaksInAnyValueOfAJobAreRefused) {
  Inputs(2);
  farm::JobRequest base;
  base.manager = "commands";
  base.renderArgs = With(kRender, {"-o", "o.#.png", "--frames", "1-2"});
  base.cwd = dir_.string();
  base.orvanta = ORVANTA_CLI;
  ASSERT_NO_THROW(farm::PlanJob(base));

  struct Case {
    std::function<void(farm::JobRequest&)> spoil;
    std::string names;
  };
  const std::vector<Case> cases = {
      {[](farm::JobRequest& q) { q.globals.plugins = "lib\nrm -rf /"; }, "--plugins"},
      {[](farm::JobRequest& q) { q.globals.plugins = "lib\rtouch x"; }, "--plugins"},
      {[](farm::JobRequest& q) { q.orvanta = "/usr/bin/orvanta\nid"; }, "orvanta command"},
      {[](farm::JobRequest& q) { q.dir = "jobs\nid"; }, "--dir"},
      {[](farm::JobRequest& q) { q.slurm.partition = "render\nid"; }, "--partition"},
      {[](farm::JobRequest& q) { q.slurm.jobName = "a\rb"; }, "--job-name"},
      {[](farm::JobRequest& q) { q.slurm.mem = "1G\nid"; }, "--mem"},
      {[](farm::JobRequest& q) { q.slurm.qos = "x\nid"; }, "--qos"},
      {[](farm::JobRequest& q) { q.slurm.extra = {"--exclusive\nid"}; }, "--sbatch"},
      {[](farm::JobRequest& q) { q.renderArgs.push_back("--ocio-config"), q.renderArgs.push_back("a\rb"); },
       "render arguments"},
  };
  for (const Case& c : cases) {
    farm::JobRequest q = base;
    c.spoil(q);
    try {
      farm::PlanJob(q);
      ADD_FAILURE() << "accepted a value meant for " << c.names;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.names), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("line break"), std::string::npos) << e.what();
    }
  }

  // The plug-in path of the environment reaches the command list too.
  const char* before = std::getenv("ORVANTA_PLUGIN_PATH");
  const std::string saved = before ? before : "";
  ::setenv("ORVANTA_PLUGIN_PATH", "lib\ntouch pwned", 1);
  EXPECT_THROW(farm::PlanJob(base), std::runtime_error);
  if (before)
    ::setenv("ORVANTA_PLUGIN_PATH", saved.c_str(), 1);
  else
    ::unsetenv("ORVANTA_PLUGIN_PATH");

  // A job file edited by hand is checked again before its chunks are launched.
  farm::Job job = farm::PlanJob(base);
  job.globalArgs = {"--plugins", "/lib\nid"};
  EXPECT_THROW(farm::Launch(job, {0}, false), std::runtime_error);
  EXPECT_FALSE(fs::exists(job.CommandList()));
}

// With --frame-offset the files on disk carry the shifted numbers; status and resubmission look
// for those. A relative --ocio-config reaches the tasks as an absolute path.
TEST_F(Farm, FrameOffsetNamesTheFilesAndOcioConfigBecomesAbsolute) {
  Inputs(3);
  farm::JobRequest q;
  q.manager = "commands";
  q.renderArgs = With(kRender, {"-o", "o.#.png", "--frames", "1-3", "--frame-offset", "100"});
  q.cwd = dir_.string();
  q.chunkSize = 3;
  q.orvanta = ORVANTA_CLI;
  farm::Job job = farm::PlanJob(q);
  WritePng(P("o.0101.png"), 7, 12, 1);
  WritePng(P("o.0103.png"), 7, 12, 3);
  WritePng(P("o.0002.png"), 7, 12, 2);  // the unshifted name is not frame 2's file
  const farm::JobStatus status = farm::StatusOf(job);
  ASSERT_EQ(status.chunks.size(), 1u);
  EXPECT_EQ(status.chunks[0].done, (V{1, 3}));
  EXPECT_EQ(status.chunks[0].missing, (V{2}));
  EXPECT_EQ(farm::RemainingChunks(job).toRender, 1u);

  const farm::RenderArgs r =
      farm::TakeRenderArgs({"X", "--ocio-config", "cfg/studio.ocio", "-o", "a.#.exr"}, "/shots/a");
  EXPECT_NE(std::find(r.args.begin(), r.args.end(), "/shots/a/cfg/studio.ocio"), r.args.end());
  EXPECT_EQ(farm::FrameOffsetOf({"X", "-s", "--frame-offset", "--frame-offset", "-7"}), -7);
  // A value of another option that looks like a tool name does not stand for what to render.
  EXPECT_FALSE(farm::NamesWhatToRender({"--frame-offset", "10", "-o", "a.#.exr"}));
  EXPECT_FALSE(farm::NamesWhatToRender({"--queue", "4", "-o", "a.#.exr"}));
  EXPECT_TRUE(farm::NamesWhatToRender({"--queue", "4", "X", "-o", "a.#.exr"}));
}

}  // namespace
}  // namespace orvanta
