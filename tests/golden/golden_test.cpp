// Every tool's declarations against golden files written before the tables last moved: what
// `orvanta info NAME --json` prints (info/NAME.json), and every tag as the host parsed it
// (declarations/NAME.txt). A difference is a declaration that changed: a saved composition, a
// script or a host may rely on each of them. When a change is meant, write the files again with
// `orvanta info NAME --json` and declarations_dump, and review the difference.
#include <array>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "cli_support.h"
#include "declarations_text.h"

namespace orvanta {
namespace {

namespace fs = std::filesystem;

constexpr std::array<const char*, 8> kTools = {"OrvantaLineDrop", "OrvantaRaster",    "OrvantaToneGate",
                                               "OrvantaRemap",    "OrvantaBillboard", "OrvantaMultitude",
                                               "OrvantaMosaic",   "OrvantaScope"};

std::string Golden(const std::string& name) {
  const fs::path path = fs::path(ORVANTA_GOLDEN_DIR) / name;
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f) << "no golden file " << path;
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The first line where two texts differ, for a message that points at the change.
std::string FirstDifference(const std::string& got, const std::string& want) {
  std::istringstream a(got), b(want);
  std::string la, lb;
  for (int line = 1;; ++line) {
    const bool moreA = bool(std::getline(a, la)), moreB = bool(std::getline(b, lb));
    if (!moreA && !moreB) return "the same lines, other line ends";
    if (la != lb || moreA != moreB)
      return "line " + std::to_string(line) + ": got \"" + (moreA ? la : "(end)") + "\", golden \"" +
             (moreB ? lb : "(end)") + "\"";
  }
}

class InfoJson : public clitest::Cli {};

TEST_F(InfoJson, EveryToolPrintsItsGoldenFile) {
  std::vector<std::future<clitest::Result>> runs;
  for (const char* tool : kTools)
    runs.push_back(std::async(std::launch::async, [this, tool] { return Run({"info", tool, "--json"}); }));
  for (size_t i = 0; i < kTools.size(); ++i) {
    SCOPED_TRACE(kTools[i]);
    const clitest::Result r = runs[i].get();
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string want = Golden(std::string("info/") + kTools[i] + ".json");
    EXPECT_TRUE(r.out == want) << FirstDifference(r.out, want);
  }
}

TEST(Declarations, EveryToolDeclaresItsGoldenTags) {
  for (const char* tool : kTools) {
    SCOPED_TRACE(tool);
    const std::string got = testing::DeclarationsText(testing::LoadTool(tool));
    const std::string want = Golden(std::string("declarations/") + tool + ".txt");
    EXPECT_TRUE(got == want) << FirstDifference(got, want);
  }
}

}  // namespace
}  // namespace orvanta
