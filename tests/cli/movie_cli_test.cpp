// Movies and sequence renders through the command: lossless round trips through FFV1, audio
// copied through, nothing left behind by a write killed midway, the overlapped render equal to
// the one-stage-at-a-time one, and movie options refused where they do not apply.
#include <signal.h>

#include <chrono>
#include <thread>

#include "cli_support.h"
#include "orvanta/io/sequence.h"

namespace orvanta {
namespace {
using namespace clitest;

// Keeps fewer than 256 rows of 256 and drops none, so the picture passes through unchanged.
const std::vector<std::string> kIdentity = {"render", "OrvantaLineDrop", "-s", "BSCH=255", "-s", "CSCH=1"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& more) {
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// The test pattern made different in every frame.
Picture FramePicture(int w, int h, int frame) {
  Picture p = Pattern(w, h, 4, TypeDesc::UINT16);
  auto* s = reinterpret_cast<uint16_t*>(p.bytes.data());
  for (size_t i = 0; i < p.bytes.size() / 2; ++i) s[i] = uint16_t(s[i] ^ (frame * 0x1F3D + int(i % 7)));
  return p;
}

std::string Sh(const std::string& cmd) {
  std::string out;
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  ::pclose(f);
  return out;
}

// Every frame of a movie as FFmpeg's own decoder gives it, planar G, B, R, A 16-bit.
std::string DecodedPlanes(const std::string& movie) {
  return Sh("ffmpeg -v error -i " + ShellQuote(movie) + " -map 0:v -f rawvideo -pix_fmt gbrap16le -");
}

// One frame of the picture in that layout.
std::string Planes(const Picture& p) {
  const auto* s = reinterpret_cast<const uint16_t*>(p.bytes.data());
  const size_t n = size_t(p.w) * size_t(p.h);
  std::vector<uint16_t> planes(n * 4);
  for (size_t i = 0; i < n; ++i) {
    planes[i] = s[i * 4 + 1];
    planes[n + i] = s[i * 4 + 2];
    planes[2 * n + i] = s[i * 4 + 0];
    planes[3 * n + i] = s[i * 4 + 3];
  }
  return std::string(reinterpret_cast<const char*>(planes.data()), planes.size() * 2);
}

std::string Probe(const std::string& file, const std::string& what) {
  return Sh("ffprobe -v error " + what + " -of default=nw=1:nk=1 " + ShellQuote(file));
}

TEST_F(Cli, Ffv1MoviesKeepEverySixteenBitSample) {
  const int w = 37, h = 21, frames = 6;
  std::vector<Picture> in;
  for (int f = 1; f <= frames; ++f) {
    in.push_back(FramePicture(w, h, f));
    WriteFile(P(io::FramePath("in.#.tif", f)), in.back());
  }
  for (const char* movie : {"out.mkv", "out.avi"}) {
    SCOPED_TRACE(movie);
    Result r = Run(With(
        kIdentity, {"-i", "in.#.tif", "--frames", "1-6", "-o", movie, "--codec", "ffv1", "--fps", "25"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Probe(P(movie), "-select_streams v -show_entries stream=codec_name"), "ffv1\n");
    EXPECT_EQ(Probe(P(movie), "-select_streams v -show_entries stream=r_frame_rate"), "25/1\n");
    std::string expected;
    for (const Picture& p : in) expected += Planes(p);
    const std::string decoded = DecodedPlanes(P(movie));
    ASSERT_EQ(decoded.size(), expected.size());
    for (int f = 0; f < frames; ++f) {
      const size_t n = expected.size() / frames;
      EXPECT_TRUE(decoded.compare(size_t(f) * n, n, expected, size_t(f) * n, n) == 0)
          << "frame " << f + 1 << " changed";
    }
  }
  // Read back by the command, from the middle on, every frame is the picture that went in.
  Result r = Run(With(kIdentity, {"-i", "out.mkv", "--frames", "4,2,3,6", "-o", "back.#.tif"}));
  ASSERT_EQ(r.status, 0) << r.err;
  for (int f : {4, 2, 3, 6}) {
    SCOPED_TRACE(f);
    Picture back = ReadFile(P(io::FramePath("back.#.tif", f)));
    EXPECT_EQ(back.type, TypeDesc::UINT16);
    EXPECT_TRUE(back.bytes == in[size_t(f - 1)].bytes);
  }
}

TEST_F(Cli, MoviesFromMoviesKeepRateAspectAndAudio) {
  // 2 s of 12.5 fps pictures with a 1:2 pixel aspect and 2.1 s of stereo audio.
  std::string make =
      "cd " + ShellQuote(dir_.string()) +
      " && ffmpeg -v error -f lavfi -t 2 -i testsrc=size=64x48:rate=25/2 -f lavfi -i "
      "sine=frequency=440:sample_rate=48000:duration=2.1 -ac 2 -vf setsar=1/2 -pix_fmt rgba64le "
      "-c:v ffv1 -c:a pcm_s16le src.mkv && echo made";
  ASSERT_EQ(Sh(make), "made\n");
  const std::string audioIn = Sh("ffmpeg -v error -i " + ShellQuote(P("src.mkv")) + " -map 0:a -f md5 -");
  ASSERT_FALSE(audioIn.empty());
  for (const char* out : {"out.mov", "out.mkv"}) {
    SCOPED_TRACE(out);
    Result r = Run(With(kIdentity, {"-i", "src.mkv", "-o", out}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Probe(P(out), "-show_entries stream=codec_type"), "video\naudio\n");
    EXPECT_EQ(Probe(P(out), "-select_streams v -show_entries stream=r_frame_rate"), "25/2\n");
    EXPECT_EQ(Probe(P(out), "-select_streams v -show_entries stream=sample_aspect_ratio"), "1:2\n");
    EXPECT_EQ(Sh("ffmpeg -v error -i " + ShellQuote(P(out)) + " -map 0:a -f md5 -"), audioIn)
        << "audio changed";
    EXPECT_EQ(Sh("ffmpeg -v error -i " + ShellQuote(P(out)) + " -map 0:v -f null - && echo ok"), "ok\n");
  }
  EXPECT_EQ(Probe(P("out.mov"), "-select_streams v -show_entries stream=codec_name"), "prores\n");
  EXPECT_NEAR(std::stod(Probe(P("out.mov"), "-select_streams a -show_entries stream=duration")), 2.1, 0.02);
  EXPECT_EQ(Probe(P("out.mov"), "-select_streams v -show_entries stream=nb_frames"), "25\n");

  // A run of frames from the middle takes the audio of its own time, and only that.
  Result r = Run(With(kIdentity, {"-i", "src.mkv", "--frames", "6-15", "-o", "part.mov"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Probe(P("part.mov"), "-select_streams v -show_entries stream=nb_frames"), "10\n");
  const double seconds = std::stod(Probe(P("part.mov"), "-select_streams a -show_entries stream=duration"));
  EXPECT_NEAR(seconds, 0.8, 0.05);
}

TEST_F(Cli, AKilledMovieWriteLeavesNothing) {
  ASSERT_EQ(
      Sh("cd " + ShellQuote(dir_.string()) +
         " && ffmpeg -v error -f lavfi -i testsrc=size=640x360:rate=25 -t 6 -pix_fmt rgba64le -c:v ffv1 "
         "long.mkv && echo made"),
      "made\n");
  const std::vector<std::string> before = Files();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::chdir(dir_.c_str()) != 0) ::_exit(127);
    ::execl(ORVANTA_CLI, ORVANTA_CLI, "-q", "render", "OrvantaLineDrop", "-i", "long.mkv", "-o", "cut.mkv",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait for the temporary file, so the signal comes while the movie is being written.
  bool writing = false;
  for (int i = 0; i < 4000 && !writing; ++i) {
    for (const std::string& f : Files()) writing = writing || f.find(".tmp-") != std::string::npos;
    if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(writing) << "the render never started writing";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "the render finished before the signal";
  EXPECT_EQ(Files(), before);
}

TEST_F(Cli, OverlappedRendersEqualSerialOnes) {
  for (int f = 1; f <= 7; ++f) WriteFile(P(io::FramePath("in.#.tif", f)), FramePicture(29, 19, f));
  const std::vector<std::string> drop = {"render", "OrvantaLineDrop", "-s",       "BSCH=2", "-s", "CSCH=1",
                                         "-i",     "in.#.tif",        "--frames", "1-7"};
  struct Run_ {
    const char* threads;
    const char* queue;
    std::string name;
  };
  const Run_ runs[] = {{"1", "0", "serial"}, {"1", "3", "q3t1"}, {"4", "1", "q1t4"}, {"4", "8", "q8t4"}};
  for (const Run_& run : runs) {
    Result r =
        Run(With({"--threads", run.threads}, With(drop, {"--queue", run.queue, "-o", run.name + ".#.tif"})));
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run(With({"--threads", run.threads}, With(drop, {"--queue", run.queue, "-o", run.name + ".mkv"})));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  for (const Run_& run : runs) {
    SCOPED_TRACE(run.name);
    for (int f = 1; f <= 7; ++f) {
      const std::string serial = Slurp(dir_ / io::FramePath("serial.#.tif", f));
      ASSERT_FALSE(serial.empty());
      EXPECT_EQ(Slurp(dir_ / io::FramePath(run.name + ".#.tif", f)), serial) << "frame " << f;
    }
    EXPECT_EQ(Slurp(dir_ / (run.name + ".mkv")), Slurp(dir_ / "serial.mkv"));
  }
  // A movie input read ahead gives what it gives read frame by frame.
  ASSERT_EQ(Run(With(kIdentity, {"-i", "serial.mkv", "--queue", "0", "-o", "a.#.tif"})).status, 0);
  ASSERT_EQ(Run(With(kIdentity, {"-i", "serial.mkv", "--queue", "4", "-o", "b.#.tif"})).status, 0);
  for (int f = 1; f <= 7; ++f)
    EXPECT_EQ(Slurp(dir_ / io::FramePath("b.#.tif", f)), Slurp(dir_ / io::FramePath("a.#.tif", f)));
}

// Half EXR frames through the float pipeline and back to half: every half value (negatives,
// subnormals, infinities, NaN payloads) comes back as it was, read ahead and written behind on
// several threads or one stage after the other.
TEST_F(Cli, HalfExrSequencesComeBackExactOverlappedOrNot) {
  const int w = 64, h = 32;  // 8192 samples a frame: every half over 8 frames
  std::vector<Picture> frames;
  for (int f = 1; f <= 8; ++f) {
    Picture p{w, h, 4, TypeDesc::HALF, std::vector<uint8_t>(size_t(w) * h * 4 * 2)};
    auto* s = reinterpret_cast<uint16_t*>(p.bytes.data());
    for (size_t i = 0; i < size_t(w) * h * 4; ++i) s[i] = uint16_t((f - 1) * 8192 + int(i));
    WriteFile(P(io::FramePath("in.#.exr", f)), p);
    frames.push_back(std::move(p));
  }
  for (const char* queue : {"0", "3"}) {
    SCOPED_TRACE(queue);
    const std::string out = std::string("q") + queue + ".#.exr";
    const Result r = Run(With(kIdentity, {"-i", "in.#.exr", "--frames", "1-8", "--bits", "half", "--queue",
                                          queue, "--threads", "2", "-o", out}));
    ASSERT_EQ(r.status, 0) << r.err;
    for (int f = 1; f <= 8; ++f) {
      const Picture got = ReadFile(P(io::FramePath(out, f)));
      EXPECT_EQ(got.type, TypeDesc::HALF);
      EXPECT_TRUE(got.bytes == frames[size_t(f) - 1].bytes) << "frame " << f;
    }
  }
  for (int f = 1; f <= 8; ++f)
    EXPECT_EQ(Slurp(dir_ / io::FramePath("q3.#.exr", f)), Slurp(dir_ / io::FramePath("q0.#.exr", f))) << f;
}

TEST_F(Cli, MovieOptionsAreRefusedWhereTheyDoNotFit) {
  WriteFile(P("in.tif"), Pattern(9, 7, 4, TypeDesc::UINT16));
  WriteFile(P("odd.tif"), Pattern(9, 7, 4, TypeDesc::UINT8));
  ExpectAllFail({
      {With(kIdentity, {"-i", "in.tif", "-o", "o.mov", "--codec", "vp9"}),
       "--codec takes prores, ffv1 or h264"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.mp4", "--codec", "prores"}), "container cannot hold ProRes"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.tif", "--codec", "ffv1"}), "--codec is for a movie output"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.tif", "--fps", "25"}), "--fps is for a movie output"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.mkv", "--fps", "0"}), "--fps takes a positive number"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.mkv", "--fps", "24/0"}), "--fps takes a positive number"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.mkv", "--bits", "8"}), "--bits is for image files"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.mkv", "--skip-existing"}), "a movie is written whole"},
      {With(kIdentity, {"-i", "odd.tif", "-o", "o.mp4"}), "H.264 needs an even width and height"},
      {With(kIdentity, {"-i", "in.tif", "-o", "nowhere/o.mkv"}), "does not exist"},
      {With(kIdentity, {"-i", "in.tif", "-o", "o.mkv", "--queue", "-1"}), "--queue takes a whole number"},
      {With(kIdentity, {"-i", "missing.mkv", "-o", "o.mkv"}), "missing.mkv: the file does not exist"},
  });
}

}  // namespace
}  // namespace orvanta
