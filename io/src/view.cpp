#include "orvanta/io/view.h"

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "orvanta/host/failure.h"
#include "orvanta/io/colour.h"

namespace orvanta::io {
namespace OCIO = OCIO_NAMESPACE;

struct ViewTransform::Processor {
  OCIO::ConstCPUProcessorRcPtr cpu;
  std::shared_ptr<const ColourConversion> view;  // a configuration's display and view
  // For a transform that treats each channel alike and alone (the built-in curve): display bytes
  // of kLutSteps + 1 evenly spaced values over 0..1, computed once, so a picture costs a lookup
  // per sample instead of the curve.
  std::vector<uint8_t> lut;
};

namespace {

constexpr int kLutSteps = 16384;

// The sRGB curve: a 2.4 power with a linear toe, applied from linear to display values.
OCIO::ConstCPUProcessorRcPtr SrgbProcessor() {
  OCIO::ExponentWithLinearTransformRcPtr curve = OCIO::ExponentWithLinearTransform::Create();
  const double gamma[4] = {2.4, 2.4, 2.4, 1.0};
  const double offset[4] = {0.055, 0.055, 0.055, 0.0};
  curve->setGamma(gamma);
  curve->setOffset(offset);
  curve->setDirection(OCIO::TRANSFORM_DIR_INVERSE);
  return OCIO::Config::CreateRaw()->getProcessor(curve)->getDefaultCPUProcessor();
}

uint8_t ToByte(float v) {
  if (!(v > 0.0f)) return 0;  // also NaN
  if (v >= 1.0f) return 255;
  return uint8_t(v * 255.0f + 0.5f);
}

}  // namespace

ViewTransform::ViewTransform(std::unique_ptr<Processor> p, std::string name)
    : processor_(std::move(p)), name_(std::move(name)) {}
ViewTransform::~ViewTransform() = default;

std::unique_ptr<ViewTransform> ViewTransform::Srgb() {
  auto p = std::make_unique<Processor>();
  p->cpu = SrgbProcessor();
  std::vector<float> ramp(size_t(kLutSteps + 1) * 4);
  for (int i = 0; i <= kLutSteps; ++i)
    for (int c = 0; c < 4; ++c) ramp[4 * size_t(i) + c] = float(i) / kLutSteps;
  OCIO::PackedImageDesc desc(ramp.data(), kLutSteps + 1, 1, 4);
  p->cpu->apply(desc);
  p->lut.resize(size_t(kLutSteps + 1));
  for (int i = 0; i <= kLutSteps; ++i) p->lut[size_t(i)] = ToByte(ramp[4 * size_t(i)]);
  return std::unique_ptr<ViewTransform>(new ViewTransform(std::move(p), "sRGB (built in)"));
}

std::unique_ptr<ViewTransform> ViewTransform::FromEnvironment() { return FromConfig(""); }

std::unique_ptr<ViewTransform> ViewTransform::FromConfig(const std::string& path) {
  // The configuration renders use; the built-in one's view is the sRGB curve, kept as a table.
  const std::shared_ptr<const ColourConfig> config = ColourConfig::Load(path);
  if (config->IsBuiltIn()) return Srgb();
  std::string name;
  std::shared_ptr<const ColourConversion> view = config->DefaultView(&name);
  auto p = std::make_unique<Processor>();
  p->view = std::move(view);
  const std::string source = config->Source().substr(std::string("the colour configuration ").size());
  return std::unique_ptr<ViewTransform>(new ViewTransform(std::move(p), name + " from " + source));
}

host::ImagePtr ViewTransform::Apply(const Image& im) const {
  if (im.Depth != DepthFloat) throw Failure("the view transform takes float images only");
  host::ImagePtr out = host::MakeImage(im.Width, im.Height, Depth8, false);
  if (!processor_->lut.empty()) {
    const uint8_t* lut = processor_->lut.data();
    auto colour = [lut](float v) {
      return v > 0.0f ? lut[v >= 1.0f ? kLutSteps : int(v * kLutSteps + 0.5f)] : lut[0];
    };
    for (int32_t y = 0; y < im.Height; ++y) {
      const float* s = reinterpret_cast<const float*>(host::RowBytes(&im, y));
      uint8_t* d = host::RowBytes(out.get(), y);
      for (size_t i = 0; i < size_t(im.Width) * 4; i += 4) {
        d[i] = colour(s[i]), d[i + 1] = colour(s[i + 1]), d[i + 2] = colour(s[i + 2]);
        d[i + 3] = ToByte(s[i + 3]);
      }
    }
    return out;
  }
  // The transform runs in place, on a copy of each row, told the samples are in BGRA order.
  std::vector<float> row(size_t(im.Width) * 4);
  for (int32_t y = 0; y < im.Height; ++y) {
    const float* s = reinterpret_cast<const float*>(host::RowBytes(&im, y));
    std::copy(s, s + row.size(), row.begin());
    processor_->view->Apply(row.data(), size_t(im.Width), true);
    uint8_t* d = host::RowBytes(out.get(), y);
    for (size_t i = 0; i < row.size(); ++i) d[i] = ToByte(row[i]);
  }
  return out;
}

}  // namespace orvanta::io
