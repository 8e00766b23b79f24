// Helpers of the command's tests: running the binary in a scratch folder, and files made and read
// through OpenImageIO independently of the command.
#pragma once

#include <OpenImageIO/imageio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace orvanta::clitest {
namespace fs = std::filesystem;
using OIIO::TypeDesc;

struct Result {
  int status;
  std::string out, err;
};

std::string Slurp(const fs::path& p);
std::string ShellQuote(const std::string& s);

// Runs the command in dir with the environment settings env ("NAME=VALUE ..."), its output kept
// beside dir under a number from runs, so that runs may go on at the same time.
Result RunIn(const fs::path& dir, const std::string& env, const std::vector<std::string>& args,
             std::atomic<int>& runs);

// A scratch folder per test; the command runs with it as working folder.
class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("orvanta-cli-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  Result Run(const std::vector<std::string>& args, const std::string& env = "") const;

  // Files of the scratch folder, for checking that a failed run wrote nothing.
  std::vector<std::string> Files() const;

  // Runs every case (four at a time: most of a run is the image library's start-up) and checks
  // that each fails with status 1 and one line on stderr holding its text, and that together
  // they left no file behind.
  struct BadCase {
    std::vector<std::string> args;
    std::string says;
  };
  void ExpectAllFail(const std::vector<BadCase>& cases) const;

  fs::path dir_;
  mutable std::atomic<int> runs_{0};
};

struct Picture {
  int w = 0, h = 0, nch = 0;
  TypeDesc type;
  std::vector<uint8_t> bytes;  // interleaved samples of type
};

void WriteFile(const std::string& path, const Picture& p);
Picture ReadFile(const std::string& path);
// Samples that exercise every bit: a hash of the position and channel, with some zero and
// partial alpha over non-zero colour (which premultiplying on the way would change).
Picture Pattern(int w, int h, int nch, TypeDesc type);
// The test's picture as a host image (file RGBA to memory BGRA), for in-process renders.
host::ImagePtr ToImage(const Picture& p);
// The file holds exactly the pixels of the image, channel for channel.
void ExpectFileIs(const std::string& path, const Image* im);

}  // namespace orvanta::clitest
