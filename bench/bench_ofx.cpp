// The OpenFX bundle against the runtime: one render of a 1920 x 1080 16-bit frame through the
// bundle's actions (the tests' host, its images' rows packed as hosts usually allocate them; the
// host's images are read in place and the tool's result is made in the host's output image)
// beside the same render made by the runtime itself, with every worker. The bundle's rows run its
// chunks on the runtime's pool, or on the host's threads (the tests' host starts new threads for
// each job, as a simple host would).
//
// In one process the bundle's binary finds the runtime already loaded and shares it, so both rows
// render with the same tools and the same workers.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "orvanta/host/host.h"
#include "support.h"

namespace orvanta {
namespace {

using ofxtest::Depth;

constexpr int kW = 1920, kH = 1080;

struct Setup {
  std::string name, tool;
  std::vector<std::pair<std::string, double>> controls;               // for the runtime, by id
  std::vector<std::pair<std::string, std::vector<double>>> params;    // the same as parameters
  std::vector<std::pair<std::string, ofxtest::Picture>> inputs = {};  // besides the frame, by id
};

// Multitude's crowd: 2000 dots of four key colours, a 32 x 64 figure for each.
Setup Crowd() {
  const std::vector<std::vector<double>> keys = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}, {1, 1, 0, 1}};
  std::vector<ofxtest::Dot> dots;
  for (uint32_t i = 0; i < 2000; ++i) {
    const uint32_t h = i * 2654435761u;
    dots.push_back({int((h >> 3) % kW), int((h >> 17) % kH), keys[i % 4]});
  }
  Setup s{"Multitude_2000_dots",
          "OrvantaMultitude",
          {},
          {},
          {{"0x02706EC9", ofxtest::Dots(kW, kH, Depth::Short, dots)}}};
  const char* slots[] = {"1", "2", "3", "4"};
  const char* folk[] = {"0x314D4300", "0x324D4300", "0x334D4300", "0x344D4300"};
  for (int k = 0; k < 4; ++k) {
    s.inputs.emplace_back(folk[k], ofxtest::Flat(32, 64, Depth::Short, {0.76, 0.46, k * 0.24, 0.61}));
    const std::string key = std::string("CM") + slots[k];
    s.params.emplace_back(key + "R", keys[size_t(k)]);
    for (int c = 0; c < 4; ++c) s.controls.emplace_back(key + "RGBA"[c], keys[size_t(k)][size_t(c)]);
  }
  return s;
}

// Settings of number controls, the same for the runtime and as parameters.
Setup Plain(std::string name, std::string tool, const std::vector<std::pair<std::string, double>>& controls) {
  Setup s{std::move(name), std::move(tool), controls, {}};
  for (const auto& [id, v] : controls) s.params.emplace_back(id, std::vector<double>{v});
  return s;
}

const std::vector<Setup>& Setups() {
  static const std::vector<Setup> setups = {
      Plain("Remap_0.25-0.75", "OrvantaRemap", {{"SORL", 0.25}, {"SORH", 0.75}}),
      Plain("ToneGate_inside_cut", "OrvantaToneGate",
            {{"FLTO", 4}, {"LUML", 0.25}, {"LUMH", 0.75}, {"0x534D5300", 0.125}}),
      Plain("Raster_stretch_1:1", "OrvantaRaster", {{"MODH", 1}}),
      Plain("Billboard_TV", "OrvantaBillboard", {{"Type", 0}}),
      Plain("Scope_type_4", "OrvantaScope", {{"TYPE", 4}}),
      Crowd(),
  };
  return setups;
}

// A control's id from its text: four characters, or 0x and eight hex digits.
uint32_t IdOf(const std::string& text) {
  if (text.rfind("0x", 0) == 0) return uint32_t(std::stoul(text, nullptr, 16));
  uint32_t word = 0;
  for (size_t i = 0; i < 4 && i < text.size(); ++i) word |= uint32_t(uint8_t(text[i])) << (8 * i);
  return word;
}

const ofxtest::Picture& Frame() {
  static const ofxtest::Picture frame = ofxtest::Pattern(kW, kH, Depth::Short, 1);
  return frame;
}

// A picture as the runtime's own image (RGBA samples into BGRA storage).
host::ImagePtr RuntimeImage(const ofxtest::Picture& f) {
  host::ImagePtr im = host::MakeImage(f.width, f.height, Depth16, false);
  for (int y = 0; y < f.height; ++y) {
    const uint16_t* s = reinterpret_cast<const uint16_t*>(f.bytes.data() + size_t(y) * f.RowBytes());
    uint16_t* d = reinterpret_cast<uint16_t*>(host::RowBytes(im.get(), y));
    for (int x = 0; x < f.width; ++x, s += 4, d += 4) d[0] = s[2], d[1] = s[1], d[2] = s[0], d[3] = s[3];
  }
  return im;
}

void Runtime(benchmark::State& state, const Setup& setup, int32_t threads) {
  const host::ClassInfo* cls = host::FindClass(setup.tool);
  if (!cls) return state.SkipWithError((setup.tool + " is not loaded").c_str());
  host::SetThreadCount(threads);
  host::Node node(*cls);
  std::vector<host::ImagePtr> images;
  images.push_back(RuntimeImage(Frame()));
  host::Connect(node.FindInput(MainImageId), images.back().get(), "frame");
  for (const auto& [id, picture] : setup.inputs) {
    images.push_back(RuntimeImage(picture));
    host::Connect(node.FindInput(IdOf(id)), images.back().get(), id);
  }
  for (const auto& [id, value] : setup.controls) {
    AutoNumber v(value);
    node.FindInput(IdOf(id))->SetValue(v.get(), 0.0, 1);
  }
  for (auto _ : state) {
    host::RenderResult r = node.Render(0.0);
    if (!r.ok()) return state.SkipWithError(r.error.c_str());
    benchmark::DoNotOptimize(r.image->RowTable[0]);
  }
}

void Bundle(benchmark::State& state, const Setup& setup, int32_t threads, bool hostThreads) {
  host::SetThreadCount(threads);
  ofxtest::HostOptions options;
  options.multiThread = hostThreads;
  options.cpus = unsigned(threads);
  ofxtest::Host host(options);
  host.Open(ofxtest::BundlePath());
  OfxPlugin* p = host.ByName(setup.tool);
  if (!p) return state.SkipWithError("the bundle has no such tool");
  ofxtest::Instance inst(host, p,
                         host.Descriptor(p).AllStrings(ofx::kOfxImageEffectPropSupportedContexts).front());
  inst.Connect("Source", Frame(), ofxtest::Layout::Packed);
  for (const auto& [id, picture] : setup.inputs) inst.Connect(id, picture, ofxtest::Layout::Packed);
  for (const auto& [id, value] : setup.params) inst.Set(id, value);
  inst.keepOutput = true;  // the host's output image is made once, as a host keeps its buffers
  for (auto _ : state)
    if (inst.Render(0.0, {1, 1}, ofxtest::Layout::Packed, Depth::Short) != ofx::kOfxStatOK)
      return state.SkipWithError("the render failed");
}

}  // namespace
}  // namespace orvanta

int main(int argc, char** argv) {
  using namespace orvanta;
  {
    ofxtest::Host opener;  // loads the bundle's tools into the runtime the benchmark shares
    opener.Open(ofxtest::BundlePath());
  }
  const int32_t all = int32_t(std::max(1u, std::thread::hardware_concurrency()));
  for (const Setup& s : Setups())
    for (int32_t t : {1, all}) {
      const std::string row = s.name + "/16bit/threads:" + std::to_string(t);
      benchmark::RegisterBenchmark((row + "/runtime").c_str(),
                                   [&s, t](benchmark::State& st) { Runtime(st, s, t); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      benchmark::RegisterBenchmark((row + "/bundle").c_str(),
                                   [&s, t](benchmark::State& st) { Bundle(st, s, t, false); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      if (t > 1)
        benchmark::RegisterBenchmark((row + "/bundle_host_threads").c_str(),
                                     [&s, t](benchmark::State& st) { Bundle(st, s, t, true); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
