#include "orvanta/io/colour.h"

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "oiio_util.h"
#include "orvanta/host/failure.h"

namespace orvanta::io {
namespace OCIO = OCIO_NAMESPACE;

// Linear Rec.709 (the sRGB primaries, D65 white) is the reference. sRGB encodes it with the sRGB
// curve (IEC 61966-2-1: a 2.4 power with a linear toe). ACEScg holds the AP1 primaries with the
// ACES white point: the matrix is Rec.709 to XYZ, Bradford adaptation from D65 (0.3127, 0.3290) to
// the ACES white (0.32168, 0.33767), then XYZ to AP1 (0.713, 0.293; 0.165, 0.830; 0.128, 0.044).
// Raw is data: never converted.
const char* BuiltInColourConfig() {
  return R"(ocio_profile_version: 2

description: Orvanta's own colour configuration - linear Rec.709, sRGB, ACEScg and raw.

roles:
  default: raw
  data: raw
  scene_linear: lin_rec709
  compositing_linear: lin_rec709
  rendering: lin_rec709
  color_picking: srgb
  texture_paint: srgb

file_rules:
  - !<Rule> {name: Default, colorspace: raw}

displays:
  sRGB:
    - !<View> {name: Standard, colorspace: srgb}
    - !<View> {name: Raw, colorspace: raw}

active_displays: [sRGB]
active_views: [Standard, Raw]

colorspaces:
  - !<ColorSpace>
    name: lin_rec709
    aliases: [Linear, linear, lin_srgb, Rec709 linear]
    family: Linear
    bitdepth: 32f
    description: Scene-linear light with the Rec.709 (sRGB) primaries and a D65 white.
    isdata: false

  - !<ColorSpace>
    name: srgb
    aliases: [sRGB, srgb_texture, sRGB - Texture]
    family: Display
    bitdepth: 32f
    description: Linear Rec.709 encoded with the sRGB curve.
    isdata: false
    to_scene_reference: !<ExponentWithLinearTransform> {gamma: 2.4, offset: 0.055}

  - !<ColorSpace>
    name: acescg
    aliases: [ACEScg, ACES - ACEScg, lin_ap1]
    family: Linear
    bitdepth: 32f
    description: Scene-linear light with the ACES AP1 primaries and the ACES white.
    isdata: false
    from_scene_reference: !<MatrixTransform> {matrix: [0.6130974024, 0.3395231462, 0.0473794514, 0, 0.0701937225, 0.9163538791, 0.0134523985, 0, 0.0206155929, 0.1095697729, 0.8698146342, 0, 0, 0, 0, 1]}

  - !<ColorSpace>
    name: raw
    aliases: [Raw, Utility - Raw]
    family: Data
    bitdepth: 32f
    description: Values that are not colour; never converted.
    isdata: true
)";
}

struct ColourConversion::Processor {
  OCIO::ConstCPUProcessorRcPtr cpu;
};

ColourConversion::ColourConversion(std::unique_ptr<Processor> p) : p_(std::move(p)) {}
ColourConversion::~ColourConversion() = default;

namespace {

// Whether a premultiplied pixel's colour is divided by its alpha before a conversion.
bool Divided(float a) { return a != 0.0f && a != 1.0f && std::isfinite(a); }

void ScaleColour(float* pixels, size_t n, bool divide) {
  for (float* p = pixels; p < pixels + n * 4; p += 4) {
    const float a = p[3];
    if (!Divided(a)) continue;
    if (divide)
      p[0] /= a, p[1] /= a, p[2] /= a;
    else
      p[0] *= a, p[1] *= a, p[2] *= a;
  }
}

}  // namespace

void ColourConversion::Apply(float* pixels, size_t n, bool bgra, bool premultiplied) const {
  // In runs, so that a picture's size never overflows the description's 32-bit width.
  constexpr size_t kRun = 1 << 16;
  for (size_t done = 0; done < n; done += kRun) {
    const size_t run = std::min(kRun, n - done);
    float* at = pixels + done * 4;
    if (premultiplied) ScaleColour(at, run, true);
    OCIO::PackedImageDesc desc(at, long(run), 1,
                               bgra ? OCIO::CHANNEL_ORDERING_BGRA : OCIO::CHANNEL_ORDERING_RGBA);
    p_->cpu->apply(desc);
    if (premultiplied) ScaleColour(at, run, false);
  }
}

struct ColourConfig::Handle {
  OCIO::ConstConfigRcPtr config;
};

ColourConfig::ColourConfig(std::unique_ptr<Handle> h, std::string source, bool builtIn)
    : h_(std::move(h)), source_(std::move(source)), builtIn_(builtIn) {}
ColourConfig::~ColourConfig() = default;

std::shared_ptr<const ColourConfig> ColourConfig::BuiltIn() {
  static const std::shared_ptr<const ColourConfig> config = [] {
    std::istringstream text(BuiltInColourConfig());
    auto h = std::make_unique<Handle>();
    h->config = OCIO::Config::CreateFromStream(text);
    return std::make_shared<const ColourConfig>(std::move(h), "the built-in colour configuration", true);
  }();
  return config;
}

std::shared_ptr<const ColourConfig> ColourConfig::Load(const std::string& path) {
  std::string file = path;
  const char* env = std::getenv("OCIO");
  if (file.empty() && env && *env) file = env;
  if (file.empty()) return BuiltIn();
  try {
    auto h = std::make_unique<Handle>();
    h->config = OCIO::Config::CreateFromFile(file.c_str());
    return std::make_shared<const ColourConfig>(std::move(h), "the colour configuration " + file, false);
  } catch (const OCIO::Exception& e) {
    throw Failure("the colour configuration " + file + (path.empty() ? " (from $OCIO)" : "") +
                  " cannot be used: " + OneLine(e.what()));
  }
}

std::string ColourConfig::Find(const std::string& name) const {
  if (name.empty()) return "";
  OCIO::ConstColorSpaceRcPtr cs = h_->config->getColorSpace(name.c_str());  // names, aliases and roles
  return cs ? cs->getName() : "";
}

std::string ColourConfig::Need(const std::string& name, const std::string& what) const {
  std::string found = Find(name);
  if (!found.empty()) return found;
  std::string known;
  const int n = h_->config->getNumColorSpaces();
  for (int i = 0; i < n; ++i) known += std::string(i ? ", " : "") + h_->config->getColorSpaceNameByIndex(i);
  throw Failure(what + " " + Quoted(name) + " is not a colour space of " + source_ + "; it has " + known);
}

std::shared_ptr<const ColourConversion> ColourConfig::Conversion(const std::string& from,
                                                                 const std::string& to) const {
  if (from == to) return nullptr;
  try {
    auto p = std::make_unique<ColourConversion::Processor>();
    p->cpu = h_->config->getProcessor(from.c_str(), to.c_str())->getDefaultCPUProcessor();
    if (p->cpu->isNoOp()) return nullptr;
    return std::make_shared<const ColourConversion>(std::move(p));
  } catch (const OCIO::Exception& e) {
    throw Failure("cannot convert from the colour space " + Quoted(from) + " to " + Quoted(to) + ": " +
                  OneLine(e.what()));
  }
}

std::shared_ptr<const ColourConversion> ColourConfig::DefaultView(std::string* name, double exposure,
                                                                  double gamma) const {
  const char* display = h_->config->getDefaultDisplay();
  if (!display || !*display) throw Failure(source_ + " has no display");
  const char* view = h_->config->getDefaultView(display);
  try {
    OCIO::GroupTransformRcPtr group = OCIO::GroupTransform::Create();
    if (exposure != 0.0) {
      // A gain of 2 ^ exposure on the scene-linear colour, before the view.
      const double g = std::exp2(exposure);
      const double scale[16] = {g, 0, 0, 0, 0, g, 0, 0, 0, 0, g, 0, 0, 0, 0, 1};
      OCIO::MatrixTransformRcPtr m = OCIO::MatrixTransform::Create();
      m->setMatrix(scale);
      group->appendTransform(m);
    }
    OCIO::DisplayViewTransformRcPtr dv = OCIO::DisplayViewTransform::Create();
    dv->setSrc(OCIO::ROLE_SCENE_LINEAR);
    dv->setDisplay(display);
    dv->setView(view ? view : "");
    group->appendTransform(dv);
    if (gamma != 1.0) {
      // display ^ (1 / gamma) on the colour, after the view.
      OCIO::ExponentTransformRcPtr e = OCIO::ExponentTransform::Create();
      const double v[4] = {1.0 / gamma, 1.0 / gamma, 1.0 / gamma, 1.0};
      e->setValue(v);
      group->appendTransform(e);
    }
    auto p = std::make_unique<ColourConversion::Processor>();
    p->cpu = h_->config->getProcessor(group)->getDefaultCPUProcessor();
    if (name) *name = std::string(display) + " / " + (view ? view : "");
    return std::make_shared<const ColourConversion>(std::move(p));
  } catch (const OCIO::Exception& e) {
    throw Failure(source_ + " cannot be used: " + OneLine(e.what()));
  }
}

ColourPlan::ColourPlan(std::shared_ptr<const ColourConfig> config, const std::string& input,
                       const std::string& working, const std::string& output)
    : config_(std::move(config)) {
  active_ = !input.empty() || !working.empty() || !output.empty();
  if (!active_) return;
  if (!config_) config_ = ColourConfig::Load();
  if (!input.empty()) input_ = config_->Need(input, "--colorspace");
  if (!working.empty()) working_ = config_->Need(working, "--working-space");
  if (!output.empty()) output_ = config_->Need(output, "--out-colorspace");
}

std::string ColourPlan::SpaceOf(const FileHeader& file) const {
  if (!input_.empty()) return input_;
  const std::string& tag = file.Internal().colourSpace;
  if (tag.empty()) throw Failure(file.Path() + " names no colour space; give its space with --colorspace");
  std::string found = config_->Find(tag);
  if (found.empty())
    throw Failure(file.Path() + " is in the colour space " + Quoted(tag) + ", which " + config_->Source() +
                  " does not have; give its space with --colorspace");
  return found;
}

std::shared_ptr<const ColourConversion> ColourPlan::Cached(const std::string& from,
                                                           const std::string& to) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto key = std::make_pair(from, to);
  auto it = cache_.find(key);
  if (it == cache_.end()) it = cache_.emplace(key, config_->Conversion(from, to)).first;
  return it->second;
}

std::shared_ptr<const ColourConversion> ColourPlan::ToWorking(const FileHeader& file) const {
  if (!active_ || working_.empty()) return nullptr;
  return Cached(SpaceOf(file), working_);
}

std::shared_ptr<const ColourConversion> ColourPlan::ToOutput(const FileHeader* main) const {
  if (!active_ || (working_.empty() && output_.empty())) return nullptr;
  const std::string from = !working_.empty() ? working_ : main ? SpaceOf(*main) : input_;
  const std::string to = OutputSpace(main);
  if (from.empty() || to.empty()) return nullptr;
  return Cached(from, to);
}

std::string ColourPlan::OutputSpace(const FileHeader* main) const {
  if (!active_) return "";
  if (!output_.empty()) return output_;
  if (main) return SpaceOf(*main);
  return !input_.empty() ? input_ : working_;
}

host::ImagePtr ConvertedImage(const Image& im, const ColourConversion& conversion, bool premultiplied) {
  // Stored samples are read as they lie, so the copy keeps the picture's sample order.
  const host::SampleOrder order = host::OrderOf(&im);
  host::ImagePtr out = host::MakeImage(im.Width, im.Height, DepthFloat, false, order);
  const size_t n = size_t(im.Width);
  for (int32_t y = 0; y < im.Height; ++y) {
    float* d = reinterpret_cast<float*>(host::RowBytes(out.get(), y));
    const uint8_t* s = host::RowBytes(&im, y);
    if (im.Depth == DepthFloat) {
      std::memcpy(d, s, n * 16);
    } else if (im.Depth == Depth8) {
      for (size_t i = 0; i < n * 4; ++i) d[i] = float(s[i]) / 255.0f;
    } else {
      const uint16_t* w = reinterpret_cast<const uint16_t*>(s);
      for (size_t i = 0; i < n * 4; ++i) d[i] = float(w[i]) / 65535.0f;
    }
    conversion.Apply(d, n, order == host::SampleOrder::kBgra, premultiplied);
  }
  return out;
}

}  // namespace orvanta::io
