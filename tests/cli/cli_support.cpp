#include "cli_support.h"

#include <cstring>
#include <fstream>
#include <future>
#include <sstream>

namespace orvanta::clitest {

std::string Slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Result RunIn(const fs::path& dir, const std::string& env, const std::vector<std::string>& args,
             std::atomic<int>& runs) {
  std::string cmd = "cd " + ShellQuote(dir.string()) + " && " + env + " " + ShellQuote(ORVANTA_CLI);
  for (const std::string& a : args) cmd += " " + ShellQuote(a);
  // Output goes beside the scratch folder, so that runs may go on at the same time and the
  // folder holds only what the command wrote.
  const std::string io = dir.string() + ".io" + std::to_string(runs.fetch_add(1));
  cmd += " >" + ShellQuote(io + ".out") + " 2>" + ShellQuote(io + ".err");
  int raw = std::system(cmd.c_str());
  Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), Slurp(io + ".out"), Slurp(io + ".err")};
  fs::remove(io + ".out");
  fs::remove(io + ".err");
  return r;
}

Result Cli::Run(const std::vector<std::string>& args, const std::string& env) const {
  return RunIn(dir_, env, args, runs_);
}

std::vector<std::string> Cli::Files() const {
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void Cli::ExpectAllFail(const std::vector<BadCase>& cases) const {
  const std::vector<std::string> before = Files();
  const size_t n = cases.size();
  for (size_t first = 0; first < n; first += 4) {
    std::vector<std::future<Result>> runs;
    for (size_t i = first; i < std::min(n, first + 4); ++i)
      runs.push_back(std::async(std::launch::async, [&, i] { return Run(cases[i].args); }));
    for (size_t i = first; i < std::min(n, first + 4); ++i) {
      const BadCase& c = cases[i];
      std::string line;
      for (const std::string& a : c.args) line += a + " ";
      SCOPED_TRACE(line);
      Result r = runs[i - first].get();
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.rfind("orvanta: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err << "  expected: " << c.says;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
  EXPECT_EQ(Files(), before) << "a failed run left files behind";
}

void WriteFile(const std::string& path, const Picture& p) {
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out) << path;
  OIIO::ImageSpec spec(p.w, p.h, p.nch, p.type);
  if (p.nch == 4 || p.nch == 2) spec.attribute("oiio:UnassociatedAlpha", 1);
  ASSERT_TRUE(out->open(path, spec)) << out->geterror();
  ASSERT_EQ(out->spec().format, p.type) << path;
  ASSERT_TRUE(out->write_image(p.type, p.bytes.data())) << out->geterror();
  ASSERT_TRUE(out->close());
}

Picture ReadFile(const std::string& path) {
  Picture p;
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  EXPECT_TRUE(in) << "cannot open " << path << ": " << OIIO::geterror();
  if (!in) return p;
  const OIIO::ImageSpec& s = in->spec();
  p.w = s.width, p.h = s.height, p.nch = s.nchannels, p.type = s.format;
  p.bytes.resize(size_t(p.w) * p.h * p.nch * p.type.size());
  EXPECT_TRUE(in->read_image(0, 0, 0, p.nch, p.type, p.bytes.data())) << in->geterror();
  return p;
}

// Samples that exercise every bit: a hash of the position and channel, with some zero and
// partial alpha over non-zero colour (which premultiplying on the way would change).
Picture Pattern(int w, int h, int nch, TypeDesc type) {
  Picture p{w, h, nch, type, {}};
  size_t n = size_t(w) * h * nch;
  p.bytes.resize(n * type.size());
  for (size_t i = 0; i < n; ++i) {
    uint32_t v = uint32_t(i) * 2654435761u ^ 0x9E3779B9u;
    v ^= v >> 13;
    bool alpha = nch == 4 && i % 4 == 3;
    if (alpha && (i / 4) % 3 == 0) v = 0;
    if (type == TypeDesc::UINT8)
      p.bytes[i] = uint8_t(v);
    else if (type == TypeDesc::UINT16)
      reinterpret_cast<uint16_t*>(p.bytes.data())[i] = uint16_t(v);
    else if (type == TypeDesc::HALF)
      reinterpret_cast<uint16_t*>(p.bytes.data())[i] = uint16_t(v % 0x7BFF);
    else
      reinterpret_cast<float*>(p.bytes.data())[i] = float(v % 200000) / 100000.0f - 0.5f;  // beyond 0..1 too
  }
  return p;
}

// The test's picture as a host image (file RGBA to memory BGRA), for in-process renders.
host::ImagePtr ToImage(const Picture& p) {
  uint32_t depth = p.type == TypeDesc::FLOAT ? DepthFloat : p.type == TypeDesc::UINT8 ? Depth8 : Depth16;
  auto im = host::MakeImage(p.w, p.h, depth);
  const size_t bytes = p.type.size();
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x)
      for (int c = 0; c < 4; ++c) {
        const int mem = c == 3 ? 3 : 2 - c;
        std::memcpy(host::RowBytes(im.get(), y) + (size_t(x) * 4 + mem) * bytes,
                    p.bytes.data() + ((size_t(y) * p.w + x) * p.nch + c) * bytes, bytes);
      }
  return im;
}

// The file holds exactly the pixels of the image, channel for channel.
void ExpectFileIs(const std::string& path, const Image* im) {
  Picture f = ReadFile(path);
  ASSERT_EQ(f.w, im->Width);
  ASSERT_EQ(f.h, im->Height);
  ASSERT_EQ(f.nch, 4);
  host::ImagePtr back = ToImage(f);
  ASSERT_EQ(back->Depth, im->Depth) << path;
  EXPECT_TRUE(testing::SameBytes(back.get(), im)) << path << " differs from the in-process render";
}

}  // namespace orvanta::clitest
