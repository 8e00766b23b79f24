// Times the browser host's preview of a 1920 x 1080 frame through a Remap node: the render and
// the encoding the page receives, for 8-bit footage (exact PNG bytes at full scale, a cached
// half-scale proxy, the canvas's raw bytes) and float footage (through the sRGB view); and a
// control change as the page makes it, over HTTP: the new value sent, the new picture rendered,
// encoded and received.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <tuple>

#include "orvanta/host/host.h"
#include "orvanta/io/image_io.h"
#include "server.h"
#include "session.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;

constexpr int32_t kW = 1920, kH = 1080;

// Footage files written once per run: a gradient with a little hash noise.
std::string Footage(uint32_t depth) {
  static const fs::path dir =
      fs::temp_directory_path() / ("orvanta-bench-serve-" + std::to_string(::getpid()));
  const fs::path path = dir / (depth == DepthFloat ? "hd.exr" : depth == Depth16 ? "hd16.png" : "hd.png");
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

serve::StartOptions Remap(uint32_t depth) {
  serve::StartOptions o;
  o.tool = "OrvantaRemap";
  o.inputs = {Footage(depth)};
  o.settings = {"SORL=0.1", "SORH=0.8"};
  return o;
}

void Preview(benchmark::State& state, uint32_t depth, double scale, serve::PreviewFormat format) {
  serve::Session session(Remap(depth));
  const serve::PreviewOptions options{format, {}};
  session.Render("remap", 1, scale, options);  // reads the file (and makes the proxy) before timing
  double render = 0, encode = 0;
  for (auto _ : state) {
    serve::Preview p = session.Render("remap", 1, scale, options);
    render += p.renderMs, encode += p.encodeMs;
    benchmark::DoNotOptimize(p.bytes.data());
  }
  state.counters["render_ms"] = render / double(state.iterations());
  state.counters["encode_ms"] = encode / double(state.iterations());
}

// What the page does when a control moves: the value posted, then the picture fetched, each on
// the page's one keep-alive connection to the server.
void ControlChange(benchmark::State& state, uint32_t depth, double scale, const char* format) {
  serve::Session session(Remap(depth));
  serve::Server server(session);
  const int port = server.Bind("127.0.0.1", 0);
  std::thread serving([&server] { server.Run(); });
  httplib::Client client("127.0.0.1", port);
  client.set_bearer_token_auth(server.Token().c_str());
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);  // as browsers do
  client.set_read_timeout(30);
  const std::string query = "/api/render?node=remap&frame=1&scale=" + std::to_string(scale) +
                            "&format=" + format + "&client=bench&gen=0";
  (void)client.Get(query.c_str());  // reads the file (and makes the proxy) before timing
  size_t bytes = 0;
  int step = 0;
  for (auto _ : state) {
    const std::string body =
        R"({"node":"remap","control":"SORL","value":)" + std::string(++step % 2 ? "0.1" : "0.15") + "}";
    auto set = client.Post("/api/set", body, "application/json");
    auto picture = client.Get(query.c_str());
    if (!set || set->status != 200 || !picture || picture->status != 200) {
      state.SkipWithError("the server did not answer the change");
      break;
    }
    bytes = picture->body.size();
  }
  state.counters["picture_MB"] = double(bytes) / 1e6;
  server.Stop();
  serving.join();
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
  using orvanta::serve::PreviewFormat;
  for (auto [name, depth, scale, format] :
       {std::tuple{"Preview/8bit/full/png", orvanta::Depth8, 1.0, PreviewFormat::Png},
        std::tuple{"Preview/8bit/half/png", orvanta::Depth8, 0.5, PreviewFormat::Png},
        std::tuple{"Preview/float/full/png", orvanta::DepthFloat, 1.0, PreviewFormat::Png},
        std::tuple{"Preview/float/half/png", orvanta::DepthFloat, 0.5, PreviewFormat::Png},
        std::tuple{"Preview/8bit/full/rgba", orvanta::Depth8, 1.0, PreviewFormat::Rgba8},
        std::tuple{"Preview/8bit/half/rgba", orvanta::Depth8, 0.5, PreviewFormat::Rgba8},
        std::tuple{"Preview/float/full/rgba", orvanta::DepthFloat, 1.0, PreviewFormat::Rgba8}})
    benchmark::RegisterBenchmark(name, Preview, depth, scale, format)->Unit(benchmark::kMillisecond);
  // Auto scale previews 1080p at half scale.
  for (auto [name, depth, scale, format] :
       {std::tuple{"ControlChange/8bit/auto/rgba", orvanta::Depth8, 0.5, "rgba"},
        std::tuple{"ControlChange/8bit/full/rgba", orvanta::Depth8, 1.0, "rgba"},
        std::tuple{"ControlChange/16bit/full/rgba", orvanta::Depth16, 1.0, "rgba"},
        std::tuple{"ControlChange/float/full/rgba", orvanta::DepthFloat, 1.0, "rgba"},
        std::tuple{"ControlChange/8bit/full/png", orvanta::Depth8, 1.0, "png"}})
    benchmark::RegisterBenchmark(name, orvanta::ControlChange, depth, scale, format)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(
      std::filesystem::temp_directory_path() / ("orvanta-bench-serve-" + std::to_string(::getpid())), ec);
  return 0;
}
