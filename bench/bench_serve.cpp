// Times the browser host's preview of a 1920 x 1080 frame through a Remap node: the render and
// the PNG encoding the page receives, for 8-bit footage (exact bytes at full scale, a cached
// half-scale proxy) and float footage (through the sRGB view).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "orvanta/host/host.h"
#include "orvanta/io/image_io.h"
#include "session.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;

constexpr int32_t kW = 1920, kH = 1080;

// Footage files written once per run: a gradient with a little hash noise.
std::string Footage(uint32_t depth) {
  static const fs::path dir =
      fs::temp_directory_path() / ("orvanta-bench-serve-" + std::to_string(::getpid()));
  const fs::path path = dir / (depth == DepthFloat ? "hd.exr" : "hd.png");
  if (fs::exists(path)) return path.string();
  fs::create_directories(dir);
  host::ImagePtr im = host::MakeImage(kW, kH, depth);
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) {
      const uint32_t n = (uint32_t(x * 2654435761u) ^ uint32_t(y * 40503u)) & 2047;
      const Pixel p{(uint32_t(x) * 34u + n) & 65535u, uint32_t(y) * 60u, 65535u - uint32_t(x) * 34u, 65535u};
      if (depth == DepthFloat)
        im->SetPixel(x, y, FltPixel{p.B / 65535.f, p.G / 65535.f, p.R / 65535.f, 1.f});
      else
        im->SetPixel(x, y, p);
    }
  io::WriteImage(*im, path.string());
  return path.string();
}

void Preview(benchmark::State& state, uint32_t depth, double scale) {
  serve::StartOptions o;
  o.tool = "OrvantaRemap";
  o.inputs = {Footage(depth)};
  o.settings = {"SORL=0.1", "SORH=0.8"};
  serve::Session session(o);
  session.Render("remap", 1, scale);  // reads the file (and makes the proxy) before timing
  double render = 0, encode = 0;
  for (auto _ : state) {
    serve::Preview p = session.Render("remap", 1, scale);
    render += p.renderMs, encode += p.encodeMs;
    benchmark::DoNotOptimize(p.png.data());
  }
  state.counters["render_ms"] = render / double(state.iterations());
  state.counters["encode_ms"] = encode / double(state.iterations());
}

void Setup() {
  static bool loaded = false;
  if (!loaded) host::LoadPluginDirectory(ORVANTA_PLUGIN_DIR);
  loaded = true;
}

}  // namespace
}  // namespace orvanta

int main(int argc, char** argv) {
  orvanta::Setup();
  using orvanta::Preview;
  benchmark::RegisterBenchmark("Preview/8bit/full", Preview, orvanta::Depth8, 1.0)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Preview/8bit/half", Preview, orvanta::Depth8, 0.5)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Preview/float/full", Preview, orvanta::DepthFloat, 1.0)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Preview/float/half", Preview, orvanta::DepthFloat, 0.5)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(
      std::filesystem::temp_directory_path() / ("orvanta-bench-serve-" + std::to_string(::getpid())), ec);
  return 0;
}
