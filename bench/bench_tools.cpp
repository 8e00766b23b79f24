// Times one render of each tool on a 1920 x 1080 frame, 16-bit and float, with one worker and
// with all of them, beside the physical reference: copying the input's bytes into a new image of
// the output's size (not cleared first, as the tools that write every pixel make theirs).
// `orvanta_bench --checksums` prints a hash of every render instead of timing it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "orvanta/host/host.h"

namespace orvanta {
namespace {

constexpr int32_t kW = 1920, kH = 1080;

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352d;
  x ^= x >> 15;
  x *= 0x846ca68b;
  return x ^ (x >> 16);
}

// A varied picture: gradients, rings and a little noise, from integers only.
host::ImagePtr Picture(int32_t w, int32_t h, uint32_t depth) {
  host::ImagePtr im = host::MakeImage(w, h, depth);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint32_t n = Hash(uint32_t(y * w + x)) & 4095;
      uint32_t r = uint32_t((x * 65535LL) / std::max(1, w - 1));
      uint32_t g = uint32_t((y * 65535LL) / std::max(1, h - 1));
      uint32_t b = uint32_t(((x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2)) * 7) & 65535;
      Pixel p{std::min(65535u, b + n), std::min(65535u, g + n), std::min(65535u, r + n), 65535};
      if (depth == DepthFloat)
        im->SetPixel(x, y, FltPixel{p.B / 65535.f, p.G / 65535.f, p.R / 65535.f, p.A / 65535.f});
      else
        im->SetPixel(x, y, p);
    }
  return im;
}

host::ImagePtr FlatImage(int32_t w, int32_t h, uint32_t depth, Pixel p) {
  host::ImagePtr im = host::MakeImage(w, h, depth);
  if (depth == DepthFloat)
    im->Fill(FltPixel{p.B / 65535.f, p.G / 65535.f, p.R / 65535.f, p.A / 65535.f});
  else
    im->Fill(p.B, p.G, p.R, p.A);
  return im;
}

struct Setup {
  std::string name;
  std::string library;
  // Sets controls and connects extra inputs; images it makes are kept in `keep`.
  std::function<void(host::Node&, uint32_t depth, std::vector<host::ImagePtr>& keep)> prepare;
};

void Set(host::Node& n, uint32_t id, double v) {
  if (Input* in = n.FindInput(id)) {
    AutoNumber num(v);
    in->SetValue(num.get(), 0.0, 1);
  }
}

// A crowd of 2000 dots in the four key colours, and a flat figure for each.
void PrepareMultitude(host::Node& n, uint32_t depth, std::vector<host::ImagePtr>& keep) {
  const Pixel keys[4] = {
      {0, 0, 65535, 65535}, {0, 65535, 0, 65535}, {65535, 0, 0, 65535}, {0, 65535, 65535, 65535}};
  host::ImagePtr crowd = host::MakeImage(kW, kH, depth);
  for (uint32_t i = 0; i < 2000; ++i) {
    int32_t x = int32_t(Hash(i * 2 + 1) % kW), y = int32_t(Hash(i * 2 + 2) % kH);
    const Pixel& k = keys[i % 4];
    if (depth == DepthFloat)
      crowd->SetPixel(x, y, FltPixel{k.B / 65535.f, k.G / 65535.f, k.R / 65535.f, 1.f});
    else
      crowd->SetPixel(x, y, k);
  }
  host::Connect(n.FindInput(0x02706EC9), crowd.get(), "crowd");
  keep.push_back(std::move(crowd));
  const uint32_t folk[4] = {0x314D4300, 0x324D4300, 0x334D4300, 0x344D4300};
  for (int k = 0; k < 4; ++k) {
    host::ImagePtr fig = FlatImage(32, 64, depth, Pixel{uint32_t(k) * 16000, 30000, 50000, 40000});
    host::Connect(n.FindInput(folk[k]), fig.get(), "folk");
    keep.push_back(std::move(fig));
    const char c = char('1' + k);
    const uint32_t base = uint32_t(uint8_t('C')) | uint32_t(uint8_t('M')) << 8 | uint32_t(uint8_t(c)) << 16;
    Set(n, base | uint32_t(uint8_t('R')) << 24, keys[k].R / 65535.0);
    Set(n, base | uint32_t(uint8_t('G')) << 24, keys[k].G / 65535.0);
    Set(n, base | uint32_t(uint8_t('B')) << 24, keys[k].B / 65535.0);
    Set(n, base | uint32_t(uint8_t('A')) << 24, 1.0);
  }
}

// Eight flat tiles of different colours.
void PrepareMosaic(host::Node& n, uint32_t depth, std::vector<host::ImagePtr>& keep) {
  for (uint32_t k = 1; k <= 8; ++k) {
    host::ImagePtr tile = Picture(64, 32, depth);
    tile->Fill(k * 7000, 65535 - k * 7000, 30000, 65535);
    host::Connect(n.FindInput(0x00544900u | (0x30u + k) << 24 | 0x49u << 8 | 0x54u << 16), tile.get(),
                  "tile");
    keep.push_back(std::move(tile));
  }
  Set(n, FourCC("PRBH"), 8);
  Set(n, 0x4C4F5400, 2);
}

std::vector<Setup> Setups() {
  auto none = [](host::Node&, uint32_t, std::vector<host::ImagePtr>&) {};
  return {
      {"LineDrop_1:1", "OrvantaLineDrop", none},
      {"Raster_both_add", "OrvantaRaster",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) {
         Set(n, 0x56536100, 1);      // vertical on
         Set(n, FourCC("BMDV"), 1);  // add
         Set(n, 0x48524300, 0.5);    // horizontal red
         Set(n, 0x56474300, 0.5);    // vertical green
       }},
      {"Raster_stretch_1:1", "OrvantaRaster",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) { Set(n, FourCC("MODH"), 1); }},
      {"ToneGate_inside_cut", "OrvantaToneGate",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) {
         Set(n, FourCC("FLTO"), 4);
         Set(n, FourCC("LUML"), 0.2);
         Set(n, FourCC("LUMH"), 0.8);
         Set(n, 0x534D5300, 0.1);
       }},
      // The operation the ffmpeg comparison times against lutrgb: a hard low cut at one half.
      {"ToneGate_hard_low_cut", "OrvantaToneGate",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) {
         Set(n, FourCC("FLTO"), 0);
         Set(n, FourCC("LUMG"), 0.5);
         Set(n, 0x534D5300, 0.0);
         Set(n, 0x68436CC1, 0);  // alpha off
       }},
      {"Remap_0.25-0.75", "OrvantaRemap",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) {
         Set(n, FourCC("SORL"), 0.25);
         Set(n, FourCC("SORH"), 0.75);
       }},
      {"Billboard_TV", "OrvantaBillboard",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) { Set(n, 0x65707954, 0); }},
      {"Multitude_2000_dots", "OrvantaMultitude", PrepareMultitude},
      {"Mosaic_8_tiles", "OrvantaMosaic", PrepareMosaic},
      {"Scope_type_0", "OrvantaScope",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) { Set(n, 0x45505954, 0); }},
      {"Scope_type_4", "OrvantaScope",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) { Set(n, 0x45505954, 4); }},
      {"Scope_type_5", "OrvantaScope",
       [](host::Node& n, uint32_t, std::vector<host::ImagePtr>&) { Set(n, 0x45505954, 5); }},
  };
}

std::map<uint32_t, host::ImagePtr>& Pictures() {
  static std::map<uint32_t, host::ImagePtr> pics;
  return pics;
}

const Image* PictureOf(uint32_t depth) {
  auto& p = Pictures()[depth];
  if (!p) p = Picture(kW, kH, depth);
  return p.get();
}

void RunTool(benchmark::State& state, const Setup& setup, uint32_t depth, int32_t threads) {
  const host::ClassInfo* cls = host::FindClass(setup.library);
  if (!cls) {
    state.SkipWithError((setup.library + " is not installed").c_str());
    return;
  }
  host::SetThreadCount(threads);
  host::Node node(*cls);
  std::vector<host::ImagePtr> keep;
  host::Connect(node.FindInput(MainImageId), const_cast<Image*>(PictureOf(depth)), "picture");
  setup.prepare(node, depth, keep);
  int64_t outBytes = 0;
  for (auto _ : state) {
    host::RenderResult r = node.Render(0.0);
    if (!r.ok()) {
      state.SkipWithError(r.error.c_str());
      break;
    }
    outBytes = int64_t(host::ImageBytes(r.image.get()));
    benchmark::DoNotOptimize(r.image->RowTable[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * outBytes);
}

// The physical reference: a new image of the output's size, filled with the input's bytes.
void RunCopy(benchmark::State& state, const Setup& setup, uint32_t depth) {
  const host::ClassInfo* cls = host::FindClass(setup.library);
  if (!cls) {
    state.SkipWithError("not installed");
    return;
  }
  host::Node node(*cls);
  std::vector<host::ImagePtr> keep;
  const Image* in = PictureOf(depth);
  host::Connect(node.FindInput(MainImageId), const_cast<Image*>(in), "picture");
  setup.prepare(node, depth, keep);
  host::RenderResult r = node.Render(0.0);
  int32_t ow = r.ok() ? r.image->Width : kW, oh = r.ok() ? r.image->Height : kH;
  size_t inRow = size_t(in->Width) * in->BytesPerPixel;
  for (auto _ : state) {
    host::ImagePtr out = host::MakeImage(ow, oh, depth, false);  // written in full just below
    size_t outRow = size_t(ow) * out->BytesPerPixel;
    for (int32_t y = 0; y < oh; ++y) {
      uint8_t* d = out->RowTable[y];
      const uint8_t* s = in->RowTable[y % in->Height];
      for (size_t done = 0; done < outRow; done += inRow)
        std::memcpy(d + done, s, std::min(inRow, outRow - done));
    }
    benchmark::DoNotOptimize(out->RowTable[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size_t(oh) * ow * in->BytesPerPixel));
}

// FNV-1a of every output row: what a refactor must leave unchanged.
uint64_t RowsHash(const Image* im) {
  uint64_t h = 1469598103934665603ull;
  const size_t row = size_t(im->Width) * im->BytesPerPixel;
  for (int32_t y = 0; y < im->Height; ++y)
    for (size_t i = 0; i < row; ++i) h = (h ^ im->RowTable[y][i]) * 1099511628211ull;
  return h;
}

// Prints one line per setup, depth and worker count: size and hash of the render.
int PrintChecksums(const std::vector<Setup>& setups, int32_t all) {
  int failures = 0;
  for (const Setup& s : setups)
    for (uint32_t depth : {Depth16, DepthFloat})
      for (int32_t t : {1, all}) {
        const host::ClassInfo* cls = host::FindClass(s.library);
        if (!cls) {
          std::printf("%s: not installed\n", s.library.c_str());
          ++failures;
          continue;
        }
        host::SetThreadCount(t);
        host::Node node(*cls);
        std::vector<host::ImagePtr> keep;
        host::Connect(node.FindInput(MainImageId), const_cast<Image*>(PictureOf(depth)), "picture");
        s.prepare(node, depth, keep);
        host::RenderResult r = node.Render(0.0);
        const char* d = depth == DepthFloat ? "float" : "16bit";
        if (!r.ok()) {
          std::printf("%s/%s/threads:%d failed: %s\n", s.name.c_str(), d, t, r.error.c_str());
          ++failures;
          continue;
        }
        std::printf("%s/%s/threads:%d %dx%d %016llx\n", s.name.c_str(), d, t, r.image->Width, r.image->Height,
                    (unsigned long long)RowsHash(r.image.get()));
      }
  return failures ? 1 : 0;
}

}  // namespace
}  // namespace orvanta

int main(int argc, char** argv) {
  using namespace orvanta;
  host::KeepFreedImageMemory();  // the heap settings of the orvanta command
  const char* dir = std::getenv("ORVANTA_PLUGIN_PATH");
  for (auto& load : host::LoadPluginDirectory(dir ? dir : ORVANTA_PLUGIN_DIR))
    if (!load.ok) std::fprintf(stderr, "%s: %s\n", load.path.c_str(), load.error.c_str());
  static const std::vector<Setup> setups = Setups();
  int32_t all = int32_t(std::max(1u, std::thread::hardware_concurrency()));
  if (argc > 1 && std::string(argv[1]) == "--checksums") {
    const int status = PrintChecksums(setups, all);
    host::UnloadAllPlugins();
    return status;
  }
  for (const Setup& s : setups)
    for (uint32_t depth : {Depth16, DepthFloat}) {
      std::string d = depth == DepthFloat ? "float" : "16bit";
      benchmark::RegisterBenchmark((s.name + "/" + d + "/copy").c_str(),
                                   [&s, depth](benchmark::State& st) { RunCopy(st, s, depth); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      for (int32_t t : {1, all})
        benchmark::RegisterBenchmark((s.name + "/" + d + "/threads:" + std::to_string(t)).c_str(),
                                     [&s, depth, t](benchmark::State& st) { RunTool(st, s, depth, t); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  host::UnloadAllPlugins();
  return 0;
}
