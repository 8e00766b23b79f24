#include "pictures.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef ORVANTA_CLI
#include <OpenImageIO/imageio.h>
#endif

namespace orvanta::ofxtest {
namespace fs = std::filesystem;

namespace {

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  return x ^ (x >> 16);
}

void Store(Picture& p, size_t sample, double unit) {
  uint8_t* at = p.bytes.data() + sample * SampleBytes(p.depth);
  if (p.depth == Depth::Byte) {
    *at = uint8_t(std::lround(std::clamp(unit, 0.0, 1.0) * 255.0));
  } else if (p.depth == Depth::Short) {
    const uint16_t v = uint16_t(std::lround(std::clamp(unit, 0.0, 1.0) * 65535.0));
    std::memcpy(at, &v, 2);
  } else {
    const float v = float(unit);
    std::memcpy(at, &v, 4);
  }
}

Picture Blank(int width, int height, Depth depth) {
  Picture p{width, height, depth, {}};
  p.bytes.assign(p.RowBytes() * size_t(height), 0);
  return p;
}

}  // namespace

Picture Pattern(int width, int height, Depth depth, uint32_t seed) {
  Picture p = Blank(width, height, depth);
  const size_t n = size_t(width) * size_t(height) * 4;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t h = Hash(uint32_t(i) * 2654435761u ^ seed * 0x9E3779B9u);
    const bool alpha = i % 4 == 3;
    uint8_t* at = p.bytes.data() + i * SampleBytes(depth);
    if (alpha && (i / 4) % 5 == 0) continue;  // some pixels fully transparent over colour
    if (depth == Depth::Byte) {
      *at = uint8_t(h);
    } else if (depth == Depth::Short) {
      const uint16_t v = uint16_t(h);
      std::memcpy(at, &v, 2);
    } else {
      const float v = float(h % 200001) / 100000.0f - 0.5f;
      std::memcpy(at, &v, 4);
    }
  }
  return p;
}

Picture Flat(int width, int height, Depth depth, std::vector<double> rgba) {
  Picture p = Blank(width, height, depth);
  for (size_t i = 0; i < size_t(width) * size_t(height) * 4; ++i) Store(p, i, rgba[i % 4]);
  return p;
}

Picture Dots(int width, int height, Depth depth, const std::vector<Dot>& dots) {
  Picture p = Blank(width, height, depth);
  for (const Dot& d : dots)
    for (size_t c = 0; c < 4; ++c) Store(p, (size_t(d.y) * size_t(width) + size_t(d.x)) * 4 + c, d.rgba[c]);
  return p;
}

Picture Halved(const Picture& p) {
  Picture h = Blank((p.width + 1) / 2, (p.height + 1) / 2, p.depth);
  const size_t px = 4 * SampleBytes(p.depth);
  for (int y = 0; y < h.height; ++y)
    for (int x = 0; x < h.width; ++x)
      std::memcpy(h.bytes.data() + size_t(y) * h.RowBytes() + size_t(x) * px,
                  p.bytes.data() + size_t(2 * y) * p.RowBytes() + size_t(2 * x) * px, px);
  return h;
}

::testing::AssertionResult SamePixels(const Picture& expected, const Picture& actual) {
  if (expected.width != actual.width || expected.height != actual.height || expected.depth != actual.depth)
    return ::testing::AssertionFailure() << "expected " << expected.width << " x " << expected.height
                                         << " depth " << DepthName(expected.depth) << ", got " << actual.width
                                         << " x " << actual.height << " depth " << DepthName(actual.depth);
  const size_t px = 4 * SampleBytes(expected.depth);
  for (size_t i = 0; i < expected.bytes.size(); i += px)
    if (std::memcmp(expected.bytes.data() + i, actual.bytes.data() + i, px) != 0) {
      const size_t pixel = i / px;
      auto samples = [&](const Picture& p) {
        std::ostringstream os;
        for (size_t c = 0; c < 4; ++c) {
          const uint8_t* s = p.bytes.data() + i + c * SampleBytes(p.depth);
          if (p.depth == Depth::Byte) os << int(*s) << " ";
          if (p.depth == Depth::Short) os << (s[0] | s[1] << 8) << " ";
          if (p.depth == Depth::Float) {
            float f;
            std::memcpy(&f, s, 4);
            os << f << " ";
          }
        }
        return os.str();
      };
      return ::testing::AssertionFailure()
             << "pixel (" << pixel % size_t(expected.width) << ", " << pixel / size_t(expected.width)
             << ") from the top: expected " << samples(expected) << "got " << samples(actual);
    }
  return ::testing::AssertionSuccess();
}

Scratch::Scratch(const std::string& name) {
  path_ = (fs::temp_directory_path() / ("orvanta-ofx-" + std::to_string(::getpid()) + "-" + name)).string();
  fs::remove_all(path_);
  fs::create_directories(path_);
}

Scratch::~Scratch() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

#ifdef ORVANTA_CLI

namespace {

OIIO::TypeDesc TypeOf(Depth d) {
  return d == Depth::Byte    ? OIIO::TypeDesc::UINT8
         : d == Depth::Short ? OIIO::TypeDesc::UINT16
                             : OIIO::TypeDesc::FLOAT;
}

// The samples as stored: alpha is not associated on the way in or out.
bool WriteFile(const std::string& path, const Picture& p) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) return false;
  OIIO::ImageSpec spec(p.width, p.height, 4, TypeOf(p.depth));
  spec.attribute("oiio:UnassociatedAlpha", 1);
  return out->open(path, spec) && out->write_image(TypeOf(p.depth), p.bytes.data()) && out->close();
}

bool ReadFile(const std::string& path, Depth depth, Picture& p) {
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in || in->spec().nchannels != 4) return false;
  p = Picture{in->spec().width, in->spec().height, depth, {}};
  p.bytes.resize(p.RowBytes() * size_t(p.height));
  return in->spec().format == TypeOf(depth) && in->read_image(0, 0, 0, 4, TypeOf(depth), p.bytes.data());
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

bool HaveCommand() { return true; }

CommandRender RenderWithCommand(const std::string& folder, const std::string& tool,
                                const std::vector<std::pair<std::string, Picture>>& inputs,
                                const std::vector<std::string>& settings) {
  CommandRender r;
  const std::string ext = inputs.front().second.depth == Depth::Float ? ".exr" : ".png";
  std::string cmd = Quote(ORVANTA_CLI) + " -q render " + Quote(tool);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string file = folder + "/in" + std::to_string(i) + ext;
    if (!WriteFile(file, inputs[i].second)) {
      r.error = "cannot write " + file + ": " + OIIO::geterror();
      return r;
    }
    cmd += " -i " + Quote(inputs[i].first.empty() ? file : inputs[i].first + "=" + file);
  }
  for (const std::string& s : settings) cmd += " -s " + Quote(s);
  const std::string result = folder + "/out" + ext, errors = folder + "/err.txt";
  cmd += " -o " + Quote(result) + " 2>" + Quote(errors);
  const int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
  std::ifstream e(errors);
  std::getline(e, r.error, '\0');
  if (r.status == 0 && !ReadFile(result, inputs.front().second.depth, r.result))
    r.error = "cannot read " + result + " back as written by the command";
  return r;
}

#else

bool HaveCommand() { return false; }

CommandRender RenderWithCommand(const std::string&, const std::string&,
                                const std::vector<std::pair<std::string, Picture>>&,
                                const std::vector<std::string>&) {
  return CommandRender{-1, "the orvanta command is not built here", {}};
}

#endif

}  // namespace orvanta::ofxtest
