// Files under faults and hostile input: a full file system (a small tmpfs mounted by the test)
// fails every kind of write with the path named and leaves nothing under a final name; inputs that
// are not regular files are refused before anything reads them; temporary files are made under
// names no one can guess and never through a planted link.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "orvanta/graph/graph.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/atomic_file.h"
#include "orvanta/io/files.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/movie.h"
#include "support.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;

// Samples no codec can squeeze much: a fixed stream of pseudo-random numbers.
host::ImagePtr Noise(int32_t w, int32_t h, uint32_t depth) {
  host::ImagePtr im = host::MakeImage(w, h, depth);
  std::mt19937 random(7);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t v = uint32_t(random()), w2 = uint32_t(random());
      im->SetPixel(x, y, Pixel{v & 0xFFFF, (v >> 16) & 0xFFFF, w2 & 0xFFFF, 0xFFFF});
    }
  return im;
}

std::string Slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

class FileSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvanta-files-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (mounted_) ::umount(dir_.c_str());
    fs::remove_all(dir_);
  }
  // A 64 KiB file system over the scratch folder; false where this process may not mount one.
  bool MountSmallDisk() {
    mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") == 0;
    return mounted_;
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_;
  bool mounted_ = false;
};

// Runs what must finish quickly; a read that blocks forever ends the test program with a message
// instead of hanging the suite.
template <typename F>
void WithinSeconds(int seconds, const char* what, F&& f) {
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < seconds * 10 && !done; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!done) {
      std::fprintf(stderr, "%s did not return within %d s\n", what, seconds);
      std::_Exit(1);
    }
  });
  f();
  done = true;
  watchdog.join();
}

TEST_F(FileSafety, FullDiskFailsEveryImageFormatAndKeepsTheOldFile) {
  if (!MountSmallDisk()) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  for (const std::string name : {"out.png", "out.jpg", "out.exr", "out.tif"}) {
    SCOPED_TRACE(name);
    const uint32_t depth = name == "out.jpg" ? Depth8 : Depth16;
    const host::ImagePtr small = Noise(8, 8, depth), big = Noise(512, 512, depth);
    io::WriteImage(*small, P(name), io::Bits::Keep);
    const std::string old = Slurp(P(name));
    try {
      io::WriteImage(*big, P(name), io::Bits::Keep);
      ADD_FAILURE() << "a write onto a full disk succeeded";
    } catch (const Failure& e) {
      EXPECT_EQ(std::string(e.what()).rfind("cannot write " + P(name) + ": ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(Slurp(P(name)) == old) << "the old file changed";
    fs::remove(P(name));
    EXPECT_TRUE(Files().empty()) << Files().front();
  }
}

TEST_F(FileSafety, FullDiskFailsAMovieAndLeavesNothing) {
  if (!MountSmallDisk()) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  io::MovieSettings s;
  s.codec = "ffv1";
  try {
    io::MovieWriter w(P("clip.mkv"), s);
    for (int i = 0; i < 4; ++i) w.Write(*Noise(128, 128, Depth16));
    w.Finish();
    ADD_FAILURE() << "a movie onto a full disk was finished";
  } catch (const Failure& e) {
    EXPECT_NE(std::string(e.what()).find(P("clip.mkv")), std::string::npos) << e.what();
  }
  EXPECT_TRUE(Files().empty());
}

TEST_F(FileSafety, InputsThatAreNotRegularFilesAreRefusedAtOnce) {
  ASSERT_EQ(::mkfifo(P("pipe.png").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(P("pipe.mov").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(P("pipe.json").c_str(), 0600), 0);
  fs::create_directories(P("folder.png"));
  fs::create_symlink("/dev/zero", P("zero.png"));
  WithinSeconds(20, "reading special files", [&] {
    for (const std::string& path :
         {std::string("/dev/zero"), P("pipe.png"), P("zero.png"), P("folder.png")}) {
      SCOPED_TRACE(path);
      EXPECT_THROW(io::ReadImage(path), Failure);
      std::string why;
      EXPECT_EQ(io::CheckImageFile(path, &why), io::FileState::Damaged);
    }
    try {
      io::MovieReader::Open(P("pipe.mov"));
      ADD_FAILURE() << "a pipe was opened as a movie";
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find("a pipe, not a movie"), std::string::npos) << e.what();
    }
    EXPECT_THROW(io::LoadCompositionFile(P("pipe.json")), Failure);
  });
  try {
    io::ReadImage("/dev/zero");
  } catch (const Failure& e) {
    EXPECT_STREQ(e.what(),
                 "cannot read /dev/zero: it is a device, not an image file (only regular files are read)");
  }
}

// A link planted at the name the temporary file once had (NAME.tmp-PID) is left alone, the file it
// points to unchanged; the temporary files get new unguessable names and the mode a plain new file
// gets.
TEST_F(FileSafety, PlantedLinksAreNeverWrittenThrough) {
  const std::string victim = P("victim.txt");
  std::ofstream(victim) << "keep me";
  const std::string pid = std::to_string(::getpid());
  for (const std::string& planted : {"out.tmp-" + pid + ".png", "c.json.tmp-" + pid, "job.sh.tmp-" + pid})
    fs::create_symlink(victim, P(planted));

  io::WriteImage(*Noise(4, 4, Depth8), P("out.png"), io::Bits::Keep);
  graph::Graph g;
  io::SaveCompositionFile(g, P("c.json"));
  io::WriteFileAtomically(P("job.sh"), "#!/bin/sh\n", io::AtomicFile::Kind::Executable);
  EXPECT_EQ(Slurp(victim), "keep me");
  EXPECT_TRUE(fs::is_symlink(P("out.tmp-" + pid + ".png")));
  EXPECT_EQ(Files().size(), 7u);  // the victim, three links, three written files

  const mode_t before = ::umask(002);
  struct stat plain {
  }, program{};
  io::WriteFileAtomically(P("plain.txt"), "x");
  io::WriteFileAtomically(P("program.sh"), "x", io::AtomicFile::Kind::Executable);
  ::umask(before);
  ASSERT_EQ(::stat(P("plain.txt").c_str(), &plain), 0);
  ASSERT_EQ(::stat(P("program.sh").c_str(), &program), 0);
  EXPECT_EQ(plain.st_mode & 0777, 0664u);
  EXPECT_EQ(program.st_mode & 0777, 0775u);

  // Two temporaries of one name differ and name neither the process nor a fixed pattern.
  io::AtomicFile a(P("x.png")), b(P("x.png"));
  EXPECT_NE(a.TempPath(), b.TempPath());
  EXPECT_EQ(a.TempPath().find(".tmp-" + pid), std::string::npos);
  EXPECT_EQ(fs::path(a.TempPath()).extension(), ".png");
  const std::string temp = a.TempPath();
  EXPECT_TRUE(fs::exists(temp));
  a.Discard();
  EXPECT_FALSE(fs::exists(temp));
}

}  // namespace
}  // namespace orvanta
