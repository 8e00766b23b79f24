#include "demo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <vector>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/controls.h"
#include "orvanta/graph/evaluate.h"
#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"
#include "orvanta/io/files.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/movie.h"
#include "orvanta/io/sequence.h"

namespace orvanta::cli {
namespace fs = std::filesystem;

namespace {

constexpr int32_t kW = 160, kH = 120;
constexpr uint32_t kFull = 65535;
// The numbered sequence shot.0001.exr ... and the movie tape.mov: one second each.
constexpr int32_t kShotFrames = 24, kTapeFrames = 24, kTapeRate = 24, kSoundRate = 48000;

// ---- footage: 16-bit pictures computed from integers, the same on every run ----------------------

void Put(Image& im, int32_t x, int32_t y, uint32_t r, uint32_t g, uint32_t b, uint32_t a = kFull) {
  im.SetPixel(x, y, Pixel{b, g, r, a});
}

uint32_t Ramp(int32_t i, int32_t n) { return n <= 1 ? 0 : uint32_t(int64_t(i) * kFull / (n - 1)); }

// Seven 75% colour bars and black over a grey ramp.
host::ImagePtr Bars() {
  auto im = host::MakeImage(kW, kH, Depth16);
  const uint32_t v = 49151;
  const uint32_t bars[8][3] = {{v, v, v}, {v, v, 0}, {0, v, v}, {0, v, 0},
                               {v, 0, v}, {v, 0, 0}, {0, 0, v}, {0, 0, 0}};
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) {
      if (y < kH * 3 / 4) {
        const uint32_t* c = bars[x * 8 / kW];
        Put(*im, x, y, c[0], c[1], c[2]);
      } else {
        uint32_t g = Ramp(x, kW);
        Put(*im, x, y, g, g, g);
      }
    }
  return im;
}

// A grey ramp from black at the left to white at the right.
host::ImagePtr GreyRamp() {
  auto im = host::MakeImage(kW, kH, Depth16);
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) {
      uint32_t g = Ramp(x, kW);
      Put(*im, x, y, g, g, g);
    }
  return im;
}

// Two pictures woven row by row, as two fields of interlaced video: bars on even rows, a
// diagonal colour ramp on odd rows.
host::ImagePtr Interlaced() {
  auto bars = Bars();
  auto im = host::MakeImage(kW, kH, Depth16);
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) {
      if (y % 2 == 0) {
        Pixel p;
        bars->GetPixel(x, y, p);
        im->SetPixel(x, y, p);
      } else {
        Put(*im, x, y, Ramp(x, kW), Ramp(y, kH), Ramp(kW - 1 - x, kW));
      }
    }
  return im;
}

// A dark blue backdrop, light at the top.
host::ImagePtr Backdrop() {
  auto im = host::MakeImage(kW, kH, Depth16);
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) Put(*im, x, y, 4000, 8000, 20000 + Ramp(kH - 1 - y, kH) / 3);
  return im;
}

// Small generator for placing things, so the footage is the same on every run.
struct Lcg {
  uint32_t s;
  uint32_t Next() { return (s = s * 1664525u + 1013904223u) >> 8; }
};

// Transparent map with single-pixel dots of pure red, green and blue, the key colours of the
// figures.
host::ImagePtr DotMap() {
  auto im = host::MakeImage(kW, kH, Depth16);
  Lcg r{12345};
  int n = 0;
  for (int32_t gy = 0; gy < 4; ++gy)
    for (int32_t gx = 0; gx < 7; ++gx, ++n) {
      int32_t x = 12 + gx * 22 + int32_t(r.Next() % 9) - 4;
      int32_t y = 20 + gy * 26 + int32_t(r.Next() % 9) - 4;
      uint32_t c[3] = {0, 0, 0};
      c[n % 3] = kFull;
      Put(*im, x, y, c[0], c[1], c[2]);
    }
  return im;
}

// A 11 x 21 stick figure in the colour given, on transparency.
host::ImagePtr Figure(uint32_t r, uint32_t g, uint32_t b) {
  auto im = host::MakeImage(11, 21, Depth16);
  auto dot = [&](int32_t x, int32_t y) { Put(*im, x, y, r, g, b); };
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 3; x < 8; ++x)
      if ((x - 5) * (x - 5) + (y - 2) * (y - 2) <= 5) dot(x, y);
  for (int32_t y = 5; y < 14; ++y)
    for (int32_t x = 3; x < 8; ++x) dot(x, y);
  for (int32_t y = 6; y < 12; ++y) dot(1, y), dot(2, y), dot(8, y), dot(9, y);
  for (int32_t y = 14; y < 21; ++y) dot(3, y), dot(4, y), dot(6, y), dot(7, y);
  return im;
}

// A 32 x 16 brick with a light mortar edge and a little grain.
host::ImagePtr Brick(uint32_t r, uint32_t g, uint32_t b, uint32_t seed) {
  auto im = host::MakeImage(32, 16, Depth16);
  Lcg n{seed};
  for (int32_t y = 0; y < 16; ++y)
    for (int32_t x = 0; x < 32; ++x) {
      if (x == 0 || y == 0) {
        Put(*im, x, y, 52000, 50000, 46000);
        continue;
      }
      uint32_t grain = n.Next() % 6000;
      Put(*im, x, y, r + grain, g + grain, b + grain);
    }
  return im;
}

// A frame of the numbered sequence, in float: a sky ramp with a sun above white (4.0) that
// crosses the picture from left to right over the frames.
host::ImagePtr ShotFrame(int32_t frame) {
  auto im = host::MakeImage(kW, kH, DepthFloat);
  const int32_t sunX = 10 + (frame - 1) * (kW - 20) / (kShotFrames - 1), sunY = kH / 3;
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) {
      const float sky = 0.05f + 0.45f * float(kH - 1 - y) / float(kH - 1);
      const int32_t dx = x - sunX, dy = y - sunY;
      FltPixel p{sky, sky * 0.8f, sky * 0.4f, 1.0f};  // blue, green, red
      if (dx * dx + dy * dy <= 64) p = FltPixel{1.5f, 3.0f, 4.0f, 1.0f};
      if (y > kH * 3 / 4) p = FltPixel{0.02f, 0.08f, 0.05f, 1.0f};  // the ground
      im->SetPixel(x, y, p);
    }
  return im;
}

// A frame of the movie: interlaced as a video camera records, the bars sliding to the right by
// two pixels a field, so the two fields of each frame show the bars at different places.
host::ImagePtr TapeFrame(const Image& bars, int32_t frame) {
  auto im = host::MakeImage(kW, kH, Depth16);
  for (int32_t y = 0; y < kH; ++y) {
    const int32_t shift = (2 * (frame - 1) + (y % 2)) * 2;
    for (int32_t x = 0; x < kW; ++x) {
      Pixel p;
      bars.GetPixel(((x - shift) % kW + kW) % kW, y, p);
      im->SetPixel(x, y, p);
    }
  }
  return im;
}

// A mono 16-bit WAV file of the movie's length: a 440 Hz tone that fades in and out.
std::vector<uint8_t> ToneWav(int32_t samples, int32_t rate) {
  constexpr size_t kHeader = 44;
  const uint32_t data = uint32_t(samples) * 2;
  std::vector<uint8_t> wav(kHeader + data);
  size_t at = 0;
  auto word = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) wav[at++] = uint8_t(v >> (8 * i));
  };
  auto text = [&](const char(&t)[5]) {
    for (int i = 0; i < 4; ++i) wav[at++] = uint8_t(t[i]);
  };
  text("RIFF"), word(36 + data, 4), text("WAVE");
  text("fmt "), word(16, 4), word(1, 2), word(1, 2), word(uint32_t(rate), 4), word(uint32_t(rate) * 2, 4);
  word(2, 2), word(16, 2);
  text("data"), word(data, 4);
  for (int32_t i = 0; i < samples; ++i) {
    const double fade = std::min(1.0, std::min(i, samples - 1 - i) / (0.05 * rate));
    const double v = 8000.0 * fade * std::sin(2.0 * M_PI * 440.0 * i / rate);
    word(uint32_t(uint16_t(int16_t(std::lround(v)))), 2);
  }
  return wav;
}

// ---- the demo runs ----------------------------------------------------------------------------

struct Footage {
  host::ImagePtr image;
  std::string file;  // relative to the demo folder
};

struct Job {
  std::string file, tool, title, what;
  std::vector<std::pair<std::string, std::string>> inputs;  // image input ("" = main) -> footage
  std::vector<std::string> settings;
};

std::vector<Job> Jobs() {
  return {
      {"linedrop",
       "OrvantaLineDrop",
       "OrvantaLineDrop",
       "Keeps one row and drops the next: the even field of interlaced footage, at half height.",
       {{"", "interlaced"}},
       {"BSCH=1", "CSCH=1"}},
      {"raster",
       "OrvantaRaster",
       "OrvantaRaster",
       "Red lines every fourth row and blue lines in pairs every six columns, added where they cross.",
       {{"", "bars"}},
       {"0x48536100=on", "BSCH=3", "CSCH=1", "0x48524300=1", "0x48414300=1", "0x56536100=on", "BSCV=4",
        "CSCV=2", "0x56424300=1", "0x56414300=1", "BMDV=add"}},
      {"tonegate",
       "OrvantaToneGate",
       "OrvantaToneGate",
       "Range inside cut: values from 0.3 to 0.7 are cut to black, with a soft edge of 0.05.",
       {{"", "ramp"}},
       {"FLTO=range inside cut", "LUML=0.3", "LUMH=0.7", "0x534D5300=0.05"}},
      {"remap",
       "OrvantaRemap",
       "OrvantaRemap",
       "The range 0.25 to 0.75 stretched onto 0 to 1; values outside it keep their level.",
       {{"", "ramp"}},
       {"SORL=0.25", "SORH=0.75", "SOTL=0", "SOTH=1"}},
      {"billboard-tv",
       "OrvantaBillboard",
       "OrvantaBillboard: TV + Monitors",
       "Every pixel rebuilt from red, green and blue display stripes.",
       {{"", "bars"}},
       {"Type=TV + Monitors"}},
      {"billboard-airport",
       "OrvantaBillboard",
       "OrvantaBillboard: Airport",
       "An airport display: amber plaquettes lit by the red channel.",
       {{"", "bars"}},
       {"Type=Airport"}},
      {"multitude",
       "OrvantaMultitude",
       "OrvantaMultitude Generator",
       "Every red, green and blue dot of the dot map replaced by the figure of that key colour.",
       {{"", "backdrop"}, {"Crowd", "dots"}, {"Folk 1", "man"}, {"Folk 2", "woman"}, {"Folk 3", "child"}},
       {"CM1R=1", "CM1A=1", "CM2G=1", "CM2A=1", "CM3B=1", "CM3A=1"}},
      {"mosaic",
       "OrvantaMosaic",
       "OrvantaMosaic",
       "A brick wall laid from four tiles chosen at random (seed 7), rows offset by half a brick.",
       {{"", "backdrop"},
        {"Tile 1", "brick1"},
        {"Tile 2", "brick2"},
        {"Tile 3", "brick3"},
        {"Tile 4", "brick4"}},
       {"SEED=7", "PRBL=1", "PRBH=4"}},
      {"scope-luminance",
       "OrvantaScope",
       "OrvantaScope: Luminance",
       "Waveform of the brightest component.",
       {{"", "bars"}},
       {"TYPE=0"}},
      {"scope-parade",
       "OrvantaScope",
       "OrvantaScope: RGBA parade",
       "Red, green and blue waveforms side by side.",
       {{"", "bars"}},
       {"TYPE=4"}},
      {"scope-red",
       "OrvantaScope",
       "OrvantaScope: static Red",
       "The red values alone, at a fixed scale.",
       {{"", "bars"}},
       {"TYPE=5"}},
  };
}

std::string Html(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

struct Outcome {
  enum { kDone, kSkipped, kFailed } state;
  std::string detail;   // the error, or the result's size
  std::string figures;  // the sheet's figures of the results
};

// Whether every pixel's alpha is full.
bool Opaque(const Image& im) {
  for (int32_t y = 0; y < im.Height; ++y)
    for (int32_t x = 0; x < im.Width; ++x) {
      FltPixel p;
      im.GetPixel(x, y, p);
      if (!(p.A >= 1.0f)) return false;
    }
  return true;
}

// The sheet's figure of a result written as file. A browser shows a picture through its alpha,
// a compositing viewer shows its colour as it is: a result with alpha below full (a scope's
// traces) is shown by a copy with full alpha, written under rgb/, and links to the file itself.
std::string ResultFigure(const fs::path& dir, const Image& im, const std::string& file,
                         const std::string& caption) {
  if (Opaque(im))
    return "<figure><img src=\"" + file + "\"><figcaption>" + Html(caption) + "</figcaption></figure>\n";
  host::ImagePtr rgb(im.CopyOfImage());
  for (int32_t y = 0; y < rgb->Height; ++y)
    for (int32_t x = 0; x < rgb->Width; ++x) {
      FltPixel p;
      rgb->GetPixel(x, y, p);
      p.A = 1.0f;
      rgb->SetPixel(x, y, p);
    }
  std::error_code ec;
  fs::create_directories(dir / "rgb", ec);
  io::WriteImage(*rgb, (dir / "rgb" / file).string(),
                 im.Depth == DepthFloat ? io::Bits::U16 : io::Bits::Keep);
  return "<figure><img src=\"rgb/" + file + "\"><figcaption>" + Html(caption) +
         " (RGB as a viewer shows it; <a href=\"" + file + "\">with its alpha</a>)</figcaption></figure>\n";
}

// The node graph of the demo: the even field of the interlaced footage, its levels stretched
// (the top of the range moving with the frame, by an expression), shown on a TV display, and a
// scope of the levels. Written as graph.json beside the results, read back and rendered from it.
constexpr const char* kGraphFile = "graph.json";
const std::vector<std::pair<std::string, std::string>> kGraphResults = {{"board", "graph-board"},
                                                                        {"scope", "graph-scope"}};

std::string SizeText(const Image& im) { return std::to_string(im.Width) + " x " + std::to_string(im.Height); }

Outcome RenderGraphDemo(const fs::path& dir, const std::map<std::string, Footage>& footage) {
  for (const char* tool : {"OrvantaLineDrop", "OrvantaRemap", "OrvantaBillboard", "OrvantaScope"})
    if (!host::FindClass(tool)) return {Outcome::kSkipped, std::string(tool) + " is not installed", ""};
  try {
    graph::Graph g;
    g.baseDir = dir.string();
    auto add = [&](const char* name, const char* tool) -> graph::GraphNode& {
      return g.Add(name, *host::FindClass(tool));
    };
    graph::GraphNode& fields = add("fields", "OrvantaLineDrop");
    g.ConnectFile(fields, graph::MainImageInput(*fields.node), footage.at("interlaced").file);
    graph::ApplySetting(*fields.node, "BSCH=1");
    graph::ApplySetting(*fields.node, "CSCH=1");
    graph::GraphNode& levels = add("levels", "OrvantaRemap");
    g.ConnectNode(levels, graph::MainImageInput(*levels.node), "fields");
    for (const char* s : {"SORL=0.2", "SOTL=0", "SOTH=1"}) graph::ApplySetting(*levels.node, s);
    g.SetExpression(levels, graph::FindControl(*levels.node, "SORH"), "0.6 + frame / 50");
    graph::GraphNode& board = add("board", "OrvantaBillboard");
    g.ConnectNode(board, graph::MainImageInput(*board.node), "levels");
    graph::ApplySetting(*board.node, "Type=TV + Monitors");
    graph::GraphNode& scope = add("scope", "OrvantaScope");
    g.ConnectNode(scope, graph::MainImageInput(*scope.node), "levels");
    graph::ApplySetting(*scope.node, "TYPE=4");
    g.output = "board";  // what `render --comp graph.json` writes, and what `serve` opens on
    io::SaveCompositionFile(g, (dir / kGraphFile).string());

    // Rendered from the file, as `orvanta render --comp graph.json --node board` would.
    graph::Graph read = io::LoadCompositionFile((dir / kGraphFile).string());
    io::FileCache files;
    graph::Evaluator eval(read, files);
    std::vector<graph::GraphNode*> ends;
    for (const auto& [node, file] : kGraphResults) ends.push_back(&read.Get(node));
    std::vector<host::ImagePtr> images = eval.Render(ends, 1);
    std::string sizes, figures;
    for (size_t i = 0; i < images.size(); ++i) {
      const std::string file = kGraphResults[i].second + ".png";
      io::WriteImage(*images[i], (dir / file).string());
      sizes += (i ? ", " : "") + SizeText(*images[i]);
      figures += ResultFigure(dir, *images[i], file, kGraphResults[i].first);
    }
    std::cout << "  node graph: " << (dir / kGraphFile).string() << " (" << sizes << ")\n";
    return {Outcome::kDone, sizes, figures};
  } catch (const std::exception& e) {
    std::cerr << "orvanta: the demo of the node graph failed: " << e.what() << "\n";
    return {Outcome::kFailed, e.what(), ""};
  }
}

// The footage that moves: the numbered sequence shot.#.exr (half float) and the interlaced movie
// tape.mov with a tone, whose sound is written to a WAV file first and copied in.
void WriteMovingFootage(const fs::path& dir, const Image& bars) {
  for (int32_t f = 1; f <= kShotFrames; ++f)
    io::WriteImage(*ShotFrame(f), io::FramePath((dir / "shot.#.exr").string(), f), io::Bits::Half);
  const std::string sound = (dir / ".tape-sound.wav").string();
  const std::vector<uint8_t> wav = ToneWav(kSoundRate * kTapeFrames / kTapeRate, kSoundRate);
  host::WriteFileAtomically(sound, wav);
  try {
    io::MovieSettings m;
    m.rate = io::Ratio{kTapeRate, 1};
    m.audioFrom = sound;
    const std::string tape = (dir / "tape.mov").string();
    io::CheckMovieWritable(tape, m);
    io::MovieWriter movie(tape, m);
    for (int32_t f = 1; f <= kTapeFrames; ++f) movie.Write(*TapeFrame(bars, f));
    movie.Finish();
  } catch (...) {
    fs::remove(sound);
    throw;
  }
  fs::remove(sound);
}

// One tool on the footage, its result written as job.file.png.
Outcome RenderJob(const fs::path& dir, const Job& job, const std::map<std::string, Footage>& footage) {
  const host::ClassInfo* cls = host::FindClass(job.tool);
  if (!cls) {
    std::cout << "  " << job.title << ": skipped, not installed\n";
    return {Outcome::kSkipped, "not installed", ""};
  }
  try {
    host::Node node(*cls);
    for (const auto& [name, key] : job.inputs) {
      Input* in = name.empty() ? graph::MainImageInput(node) : graph::FindImageInput(node, name);
      if (!in) throw Failure(job.tool + " has no image input " + Quoted(name));
      host::Connect(in, footage.at(key).image.get(), footage.at(key).file);
    }
    for (const std::string& s : job.settings) graph::ApplySetting(node, s);
    host::RenderResult r = node.Render(1.0);
    if (!r.ok()) throw Failure(r.error);
    const std::string file = job.file + ".png";
    io::WriteImage(*r.image, (dir / file).string(),
                   r.image->Depth == DepthFloat ? io::Bits::U16 : io::Bits::Keep);
    const std::string size = SizeText(*r.image);
    std::cout << "  " << job.title << ": " << (dir / file).string() << " (" << size << ")\n";
    return {Outcome::kDone, size, ResultFigure(dir, *r.image, file, "result, " + size)};
  } catch (const std::exception& e) {
    std::cerr << "orvanta: the demo of " << job.title << " failed: " << e.what() << "\n";
    return {Outcome::kFailed, e.what(), ""};
  }
}

// index.html: per tool its settings, inputs and result; then the node graph.
std::string ContactSheet(const std::vector<Job>& jobs, const std::vector<Outcome>& outcomes,
                         const Outcome& graphOutcome, const std::map<std::string, Footage>& footage) {
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Orvanta demo</title>\n<style>"
      "body{font-family:sans-serif;background:#222;color:#ddd;margin:2em}"
      "section{margin-bottom:2em;border-top:1px solid #555;padding-top:1em}"
      "figure{display:inline-block;margin:0 1em 1em 0;vertical-align:top}"
      "img{image-rendering:pixelated;max-width:480px;min-width:160px;background:"
      "repeating-conic-gradient(#444 0 25%,#666 0 50%) 0 0/16px 16px}"
      "figcaption{font-size:80%;color:#aaa}figcaption a{color:#aaa}code{color:#fc6}</style></head><body>\n"
      "<h1>Orvanta tools on generated footage</h1>\n";
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    const Outcome& o = outcomes[i];
    html += "<section><h2>" + Html(job.title) + "</h2>\n<p>" + Html(job.what) + "</p>\n";
    if (o.state == Outcome::kSkipped) {
      html += "<p><em>Not installed; skipped.</em></p></section>\n";
      continue;
    }
    std::string settings;
    for (const std::string& s : job.settings) settings += " -s " + Quoted(s);
    html += "<p><code>" + Html(settings) + "</code></p>\n";
    for (const auto& [name, key] : job.inputs)
      html += "<figure><img src=\"" + footage.at(key).file + "\"><figcaption>" +
              Html(name.empty() ? "main input" : name) + ": " + Html(key) + "</figcaption></figure>\n";
    if (o.state == Outcome::kDone)
      html += o.figures;
    else
      html += "<p><strong>Failed:</strong> " + Html(o.detail) + "</p>\n";
    html += "</section>\n";
  }
  html +=
      "<section><h2>A node graph</h2>\n<p>The even field of the interlaced footage, its levels stretched "
      "(the top of the range follows the expression <code>0.6 + frame / 50</code>), on a TV display and "
      "in a scope, all in one composition: <a href=\"" +
      std::string(kGraphFile) + "\"><code>" + kGraphFile +
      "</code></a>.</p>\n<p><code>orvanta render --comp graph.json -o board.png</code></p>\n";
  if (graphOutcome.state == Outcome::kDone) {
    html += "<figure><img src=\"" + footage.at("interlaced").file +
            "\"><figcaption>fields: interlaced</figcaption></figure>\n" + graphOutcome.figures;
  } else {
    html += "<p><strong>" + std::string(graphOutcome.state == Outcome::kSkipped ? "Skipped" : "Failed") +
            ":</strong> " + Html(graphOutcome.detail) + "</p>\n";
  }
  return html + "</section>\n</body></html>\n";
}

}  // namespace

int RunDemo(const std::string& dirName) {
  const fs::path dir(dirName.empty() ? "orvanta-demo" : dirName);
  std::error_code ec;
  fs::create_directories(dir / "footage", ec);
  if (ec) throw Failure("cannot make the demo folder " + (dir / "footage").string() + ": " + ec.message());

  std::map<std::string, Footage> footage;
  auto add = [&](const std::string& key, host::ImagePtr im) {
    footage[key] = Footage{std::move(im), "footage/" + key + ".png"};
  };
  add("bars", Bars());
  add("ramp", GreyRamp());
  add("interlaced", Interlaced());
  add("backdrop", Backdrop());
  add("dots", DotMap());
  add("man", Figure(60000, 14000, 9000));
  add("woman", Figure(12000, 50000, 16000));
  add("child", Figure(15000, 24000, 62000));
  add("brick1", Brick(36000, 12000, 8000, 1));
  add("brick2", Brick(28000, 9000, 6000, 2));
  add("brick3", Brick(40000, 20000, 10000, 3));
  add("brick4", Brick(24000, 22000, 20000, 4));
  for (auto& [key, f] : footage) io::WriteImage(*f.image, (dir / f.file).string());
  // The ramp in float as well, for trying the tools on float footage (the README's examples).
  io::WriteImage(*footage.at("ramp").image, (dir / "footage/ramp.exr").string(), io::Bits::Float);
  WriteMovingFootage(dir / "footage", *footage.at("bars").image);

  const std::vector<Job> jobs = Jobs();
  std::vector<Outcome> outcomes;
  int failed = 0;
  for (const Job& job : jobs) {
    outcomes.push_back(RenderJob(dir, job, footage));
    failed += outcomes.back().state == Outcome::kFailed;
  }
  const Outcome graphOutcome = RenderGraphDemo(dir, footage);
  if (graphOutcome.state == Outcome::kFailed) ++failed;

  const std::string sheet = (dir / "index.html").string();
  const std::string html = ContactSheet(jobs, outcomes, graphOutcome, footage);
  try {
    host::WriteFileAtomically(sheet, std::vector<uint8_t>(html.begin(), html.end()));
  } catch (const std::exception& e) {
    throw Failure(e.what());
  }
  std::cout << "orvanta: the contact sheet is " << sheet << "\n";
  return failed;
}

}  // namespace orvanta::cli
